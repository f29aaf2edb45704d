// The matcher with each instruction set forced, on the same W1-like and
// W2-like inputs, side by side in one run.
//
//   isa_bench                       time every set this processor runs:
//                                   queries/s and ratios (x86-64: the
//                                   AVX-512 against AVX2 target)
//   isa_bench --count ISA W REPS    match W's small fixed input REPS times
//                                   with ISA and nothing else, for counting
//                                   instructions under qemu (bench/count-armhf)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "bench_texts.hpp"
#include "kernels/simd/isa.hpp"
#include "match/matcher.hpp"

namespace mendseqs {
namespace {

using bench::edited;
using bench::random_dna;
using bench::views;

struct Workload {
  const char* name;
  std::vector<std::string> references, queries;
  intptr_t max_flex;
};

// Half the queries a few edits from a reference, half unrelated.
void add_queries(Workload& w, std::mt19937_64& rng, size_t count, size_t max_edits) {
  for (size_t i = 0; i < count; ++i) {
    const std::string& source = w.references[rng() % w.references.size()];
    w.queries.push_back(i % 2 ? edited(rng, source, rng() % (max_edits + 1)) : random_dna(rng, source.size()));
  }
}

// W1: 211 adapter-like references of 22 to 50 letters, k = 3.
Workload w1(size_t queries) {
  std::mt19937_64 rng(11);
  Workload w{"W1", {}, {}, 3};
  for (int i = 0; i < 211; ++i) w.references.push_back(random_dna(rng, 22 + rng() % 29));
  add_queries(w, rng, queries, 3);
  return w;
}

// W2: 5,000 random 16-letter references, k = 1.
Workload w2(size_t queries) {
  std::mt19937_64 rng(22);
  Workload w{"W2", {}, {}, 1};
  for (int i = 0; i < 5000; ++i) w.references.push_back(random_dna(rng, 16));
  add_queries(w, rng, queries, 1);
  return w;
}

size_t match_all(const ReferenceSet& set, const Workload& w, std::vector<size_t>* results) {
  NoHooks hooks;
  Checkpoint checkpoint(hooks);
  size_t matched = 0;
  for (const std::string& query : w.queries) {
    const size_t position = first_accepted(set, Text(query), w.max_flex, checkpoint).value_or(SIZE_MAX);
    matched += position != SIZE_MAX;
    if (results) results->push_back(position);
  }
  return matched;
}

int count(const char* isa_name_arg, const char* workload, int reps) {
  const std::optional<Isa> isa = isa_named(isa_name_arg);
  if (!isa || !isa_supported(*isa)) {
    std::fprintf(stderr, "isa_bench: cannot run '%s' here\n", isa_name_arg);
    return 2;
  }
  // Small and fixed: every instruction is traced.
  const Workload w = std::strcmp(workload, "W1") == 0 ? w1(40) : w2(8);
  const std::vector<Text> references = views(w.references);
  const ReferenceSet set(references, *isa);
  size_t matched = 0;
  for (int r = 0; r < reps; ++r) matched += match_all(set, w, nullptr);
  std::printf("pairs %zu matched %zu\n", w.references.size() * w.queries.size(), matched);
  return 0;
}

int time_all() {
  std::vector<Isa> isas;
  for (const Isa isa : all_isas)
    if (isa_supported(isa)) isas.push_back(isa);
  bool same = true;
  for (Workload w : {w1(40000), w2(4000)}) {
    std::printf("%s: %zu references, %zu queries, k=%ld (best of 5 rounds, sets taking turns, one thread)\n", w.name,
                w.references.size(), w.queries.size(), static_cast<long>(w.max_flex));
    std::vector<double> best(std::size(all_isas), 1e30);
    const std::vector<Text> references = views(w.references);
    std::deque<ReferenceSet> sets;  // built in place: a set is neither copied nor moved
    std::vector<size_t> first_results;
    for (const Isa isa : isas) {
      sets.emplace_back(references, isa);
      std::vector<size_t> results;
      match_all(sets.back(), w, &results);
      if (first_results.empty()) first_results = results;
      same = same && results == first_results;
    }
    // The sets take turns within each round, so that a burst of other work
    // on the machine slows them alike.
    for (int round = 0; round < 5; ++round)
      for (size_t i = 0; i < isas.size(); ++i) {
        const auto start = std::chrono::steady_clock::now();
        match_all(sets[i], w, nullptr);
        double& b = best[static_cast<size_t>(isas[i])];
        b = std::min(b, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      }
    std::vector<double> rates(std::size(all_isas), 0);
    for (const Isa isa : isas)
      rates[static_cast<size_t>(isa)] = static_cast<double>(w.queries.size()) / best[static_cast<size_t>(isa)];
    const double portable = rates[static_cast<size_t>(Isa::portable)];
    for (const Isa isa : isas)
      std::printf("  %-9s %12.0f queries/s  %6.2fx portable\n", std::string(isa_name(isa)).c_str(),
                  rates[static_cast<size_t>(isa)], rates[static_cast<size_t>(isa)] / portable);
    const double avx2 = rates[static_cast<size_t>(Isa::avx2)], avx512 = rates[static_cast<size_t>(Isa::avx512)];
    if (avx2 > 0 && avx512 > 0) {
      std::printf("  avx512 / avx2: %.2fx (target >= 1.4x: %s)\n", avx512 / avx2,
                  avx512 / avx2 >= 1.4 ? "met" : "NOT met");
    }
  }
  std::printf("default instruction set here: %s\n", std::string(isa_name(fastest_isa())).c_str());
  if (!same) {
    std::printf("RESULTS DIFFER between instruction sets\n");
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace mendseqs

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--count") == 0) return mendseqs::count(argv[2], argv[3], std::atoi(argv[4]));
  if (argc == 1) return mendseqs::time_all();
  std::fprintf(stderr, "usage: isa_bench [--count ISA W1|W2 REPS]\n");
  return 2;
}
