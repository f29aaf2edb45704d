// The candidate index against the engine's own scan, both through the
// matcher every call uses (ReferenceSet and first_accepted, with the index
// forced on one and absent from the other), on seeded whitelist workloads in
// one run: build time, matching time per query, the whole call, memory per
// reference, and whether both give the same answers.
//
//   index_bench [--quick] [--large] [--only NAME]
// --large adds W6 (6,794,880 references), alone in its process so that its
// peak resident set is its own.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/host.hpp"
#include "index/candidate_index.hpp"
#include "match/matcher.hpp"
#include "bench_texts.hpp"

namespace mendseqs {
namespace {

using bench::edited;
using bench::random_dna;
using bench::views;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Workload {
  const char* name;
  size_t references;
  intptr_t max_flex;
  size_t queries;
};

// 40% exact copies of a reference, 40% with 1 to k + 1 edits (substitutions,
// insertions, deletions), 20% random of 15 to 17 letters.
using Strings = std::vector<std::string>;

void make_inputs(const Workload& w, Strings& references, Strings& queries) {
  std::mt19937_64 rng(w.references * 31 + static_cast<size_t>(w.max_flex));
  references.clear();
  queries.clear();
  for (size_t i = 0; i < w.references; ++i) references.push_back(random_dna(rng, 16));
  for (size_t i = 0; i < w.queries; ++i) {
    const size_t kind = rng() % 10;
    const std::string& source = references[rng() % references.size()];
    if (kind < 4) queries.push_back(source);
    else if (kind < 8) queries.push_back(edited(rng, source, 1 + rng() % static_cast<size_t>(w.max_flex + 1)));
    else queries.push_back(random_dna(rng, 15 + rng() % 3));
  }
}

// Runs body(i, checkpoint) for i in [0, count) on `threads` threads,
// contiguous chunks, each with a worker's checkpoint.
template <class F>
double timed_parallel(size_t count, unsigned threads, F body) {
  const auto start = Clock::now();
  std::vector<std::thread> workers;
  const std::atomic<bool> never_cancelled{false};
  for (unsigned t = 0; t < threads; ++t)
    workers.emplace_back([&, t] {
      Checkpoint checkpoint(never_cancelled);
      for (size_t i = count * t / threads; i < count * (t + 1) / threads; ++i) body(i, checkpoint);
    });
  for (std::thread& worker : workers) worker.join();
  return seconds_since(start);
}

size_t peak_rss_bytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<size_t>(usage.ru_maxrss) * 1024;
}

bool run(const Workload& w, size_t scan_sample, const char* only) {
  if (only && std::strcmp(only, w.name) != 0) return true;
  Strings reference_texts, query_texts;
  make_inputs(w, reference_texts, query_texts);
  const std::vector<Text> references = views(reference_texts), queries = views(query_texts);
  const intptr_t k = w.max_flex;
  NoHooks hooks;
  Checkpoint caller(hooks);

  // The scan: the reference set a call makes, and its walk per query, on
  // the first `scan_sample` queries (they are in random order, so a fair
  // sample).
  auto start = Clock::now();
  const ReferenceSet scanned_set(references);
  const double scan_setup = seconds_since(start);
  const size_t sample = std::min(scan_sample, queries.size());
  std::vector<std::optional<size_t>> scanned(sample);
  const auto scan_one = [&](size_t q, Checkpoint& checkpoint) {
    scanned[q] = first_accepted(scanned_set, queries[q], k, checkpoint);
  };
  const double scan_1 = timed_parallel(sample, 1, scan_one);
  const double scan_2 = timed_parallel(sample, 2, scan_one);

  // The index, built by one thread and then by two (what a call with
  // threads=2 does), on a reference set of its own.
  const IndexPlan plan = CandidateIndex::plan(references, k, queries.size(), index_memory_budget());
  ReferenceSet indexed_set(references);
  start = Clock::now();
  indexed_set.prepare_index(k, queries.size(), 1, caller, CandidateIndex::Choice::always);
  const double build = seconds_since(start);
  start = Clock::now();
  indexed_set.prepare_index(k, queries.size(), 2, caller, CandidateIndex::Choice::always);
  const double build_2 = seconds_since(start);
  const CandidateIndex* index = indexed_set.index(k);
  if (!index) {
    std::printf("%s: index not built (memory budget %zu bytes)\n", w.name, index_memory_budget());
    return false;
  }
  std::vector<std::optional<size_t>> found(queries.size());
  const auto match_one = [&](size_t q, Checkpoint& checkpoint) {
    found[q] = first_accepted(indexed_set, queries[q], k, checkpoint);
  };
  const double index_1 = timed_parallel(queries.size(), 1, match_one);
  const double index_2 = timed_parallel(queries.size(), 2, match_one);
  size_t differ = 0;
  for (size_t q = 0; q < sample; ++q) differ += found[q] != scanned[q];

  const auto n = static_cast<double>(queries.size());
  const double scan_per_query_1 = scan_1 / static_cast<double>(sample);
  const double scan_per_query_2 = scan_2 / static_cast<double>(sample);
  const double index_per_query_1 = index_1 / n;
  const double whole_index_1 = scan_setup + build + index_1, whole_index_2 = scan_setup + build_2 + index_2;
  const double whole_scan_1 = scan_setup + scan_per_query_1 * n, whole_scan_2 = scan_setup + scan_per_query_2 * n;
  const double bytes_per_reference = static_cast<double>(index->memory_bytes()) / static_cast<double>(w.references);

  std::printf("%s: %zu random 16-letter references, k=%td, %zu queries\n", w.name, w.references, k, queries.size());
  std::printf("  index: build %.3f s (threads 1), %.3f s (threads 2), %zu entries, %.1f MB = %.1f bytes/reference\n", build, build_2, index->entry_count(),
              static_cast<double>(index->memory_bytes()) / 1e6, bytes_per_reference);
  std::printf("  index matching: threads 1 %.3f s (%.2f us/query), threads 2 %.3f s\n", index_1,
              index_per_query_1 * 1e6, index_2);
  std::printf("  scan (timed on %zu of %zu queries, extrapolated): reference set %.3f s, threads 1 %.1f us/query,"
              " threads 2 %.1f us/query; whole call %.1f s (threads 1), %.1f s (threads 2)\n",
              sample, queries.size(), scan_setup, scan_per_query_1 * 1e6, scan_per_query_2 * 1e6, whole_scan_1,
              whole_scan_2);
  std::printf("  matching per query: %.0fx faster than the scan (threads 1)\n", scan_per_query_1 / index_per_query_1);
  std::printf("  whole call incl. build: %.1fx (threads 1), %.1fx (threads 2)\n", whole_scan_1 / whole_index_1,
              whole_scan_2 / whole_index_2);
  std::printf("  cost model: %s (estimated index %.2f s, scan %.2f s)\n", plan.use_index ? "index" : "scan",
              plan.index_seconds, plan.scan_seconds);
  std::printf("  same answers as the scan on the %zu sampled queries: %s\n", sample,
              differ == 0 ? "yes" : (std::to_string(differ) + " differ").c_str());
  std::printf("  peak RSS of this process so far: %.0f MB\n", static_cast<double>(peak_rss_bytes()) / 1e6);
  return differ == 0;
}

}  // namespace
}  // namespace mendseqs

int main(int argc, char** argv) {
  using mendseqs::Workload;
  bool quick = false, large = false;
  const char* only = nullptr;  // --only NAME: that workload alone
  for (int i = 1; i < argc; ++i) {
    quick |= std::strcmp(argv[i], "--quick") == 0;
    large |= std::strcmp(argv[i], "--large") == 0;
    if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) only = argv[++i];
  }
  const size_t queries = quick ? 20'000 : 200'000;
  const size_t sample = quick ? 300 : 2'000;
  bool same = true;
  if (large) {
    same &= mendseqs::run(Workload{"W6", 6'794'880, 1, 100'000}, 200, only);
  } else {
    same &= mendseqs::run(Workload{"W5a", 737'280, 1, queries}, sample, only);
    same &= mendseqs::run(Workload{"W5b", 100'000, 2, queries}, sample, only);
    same &= mendseqs::run(Workload{"W5b at 737,280 references", 737'280, 2, queries}, sample, only);
    same &= mendseqs::run(Workload{"W2 shape k=1", 5'000, 1, 50'000}, quick ? 5'000 : 50'000, only);
    same &= mendseqs::run(Workload{"W2 shape k=2", 5'000, 2, 50'000}, quick ? 5'000 : 50'000, only);
  }
  return same ? 0 : 1;
}
