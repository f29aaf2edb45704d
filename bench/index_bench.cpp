// The candidate index against the engine's own scan, both through the
// matcher every call uses (ReferenceSet and first_accepted, with the index
// forced on one and absent from the other), on seeded whitelist workloads in
// one run: build time, matching time per query, the whole call, memory per
// reference, and whether both give the same answers.
//
//   index_bench [--quick] [--large] [--only NAME]
// --large runs W6 and W7 (6,794,880 references, k=1 and k=2) instead; run
// each alone (--large --only W7) so that its peak resident set is its own.
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

#include "bench_texts.hpp"
#include "engine/host.hpp"
#include "index/candidate_index.hpp"
#include "match/matcher.hpp"

namespace mendseqs {
namespace {

using bench::edited;
using bench::random_dna;
using bench::views;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

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
    if (kind < 4)
      queries.push_back(source);
    else if (kind < 8)
      queries.push_back(edited(rng, source, 1 + rng() % static_cast<size_t>(w.max_flex + 1)));
    else
      queries.push_back(random_dna(rng, 15 + rng() % 3));
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

struct Measured {
  double build = 0, build_2 = 0;  // seconds, threads 1 (when measured) and 2
  double index_1 = 0, index_2 = 0;
  double bytes = 0;
  size_t entries = 0;
  size_t differ = 0;
  bool packed = false;
};

// One layout on one workload: built (by one thread, unless `large`, then by
// two), then every query matched through it.
std::optional<Measured> measure(ReferenceSet& indexed_set, const std::vector<Text>& queries, intptr_t k,
                                CandidateIndex::Layout layout, bool large,
                                const std::vector<std::optional<size_t>>& scanned) {
  NoHooks hooks;
  Checkpoint caller(hooks);
  Measured m;
  auto start = Clock::now();
  if (!large) {
    indexed_set.prepare_index(k, queries.size(), 1, caller, CandidateIndex::Choice::always, layout);
    m.build = seconds_since(start);
    start = Clock::now();
  }
  indexed_set.prepare_index(k, queries.size(), 2, caller, CandidateIndex::Choice::always, layout);
  m.build_2 = seconds_since(start);
  const CandidateIndex* index = indexed_set.index(k);
  if (!index) return std::nullopt;
  std::vector<std::optional<size_t>> found(queries.size());
  const auto match_one = [&](size_t q, Checkpoint& checkpoint) {
    found[q] = first_accepted(indexed_set, queries[q], k, checkpoint);
  };
  if (!large) m.index_1 = timed_parallel(queries.size(), 1, match_one);
  m.index_2 = timed_parallel(queries.size(), 2, match_one);
  for (size_t q = 0; q < scanned.size(); ++q) m.differ += found[q] != scanned[q];
  m.bytes = static_cast<double>(index->memory_bytes());
  m.entries = index->entry_count();
  m.packed = index->packed();
  indexed_set.drop_index();
  return m;
}

bool run(const Workload& w, size_t scan_sample, const char* only, bool large = false) {
  if (only && std::strcmp(only, w.name) != 0) return true;
  Strings reference_texts, query_texts;
  make_inputs(w, reference_texts, query_texts);
  const std::vector<Text> references = views(reference_texts), queries = views(query_texts);
  const intptr_t k = w.max_flex;

  // The scan: the reference set a call makes, and its walk per query, on
  // the first `scan_sample` queries (they are in random order, so a fair
  // sample).
  auto start = Clock::now();
  ReferenceSet set(references);
  const double scan_setup = seconds_since(start);
  const size_t sample = std::min(scan_sample, queries.size());
  std::vector<std::optional<size_t>> scanned(sample);
  const auto scan_one = [&](size_t q, Checkpoint& checkpoint) {
    scanned[q] = first_accepted(set, queries[q], k, checkpoint);
  };
  const double scan_1 = large ? 0 : timed_parallel(sample, 1, scan_one);
  const double scan_2 = timed_parallel(sample, 2, scan_one);
  const IndexPlan plan = CandidateIndex::plan(references, k, queries.size(), index_memory_budget(), 2);

  const auto n = static_cast<double>(queries.size());
  const double scan_per_query_1 = scan_1 / static_cast<double>(sample);
  const double scan_per_query_2 = scan_2 / static_cast<double>(sample);
  std::printf("%s: %zu random 16-letter references, k=%td, %zu queries\n", w.name, w.references, k, queries.size());
  std::printf(
      "  scan (timed on %zu of %zu queries, extrapolated): reference set %.3f s, threads 1 %.1f us/query,"
      " threads 2 %.1f us/query (per thread %.1f us)\n",
      sample, queries.size(), scan_setup, scan_per_query_1 * 1e6, scan_per_query_2 * 1e6, 2 * scan_per_query_2 * 1e6);
  std::printf("  cost model: %s, %s layout (estimated index %.2f s, scan %.2f s; build peak at most %.0f MB)\n",
              plan.use_index ? "index" : "scan", plan.packed ? "packed" : "hashed", plan.index_seconds,
              plan.scan_seconds, plan.memory_bytes / 1e6);
  bool same = true;
  // The layout a call gets and, where that is the packed one and memory
  // allows, the hashed one side by side.
  std::vector<CandidateIndex::Layout> layouts{CandidateIndex::Layout::automatic};
  if (plan.packed && !large) layouts.push_back(CandidateIndex::Layout::hashed);
  for (const CandidateIndex::Layout layout : layouts) {
    const std::optional<Measured> m = measure(set, queries, k, layout, large, scanned);
    if (!m) {
      std::printf("  index not built (memory budget %zu bytes)\n", index_memory_budget());
      return false;
    }
    const double bytes_per_reference = m->bytes / static_cast<double>(w.references);
    const double whole_index_2 = scan_setup + m->build_2 + m->index_2;
    const double whole_scan_2 = scan_setup + scan_per_query_2 * n;
    std::printf("  %s layout: build %.2f s (threads 2)", m->packed ? "packed" : "hashed", m->build_2);
    if (!large) std::printf(", %.2f s (threads 1)", m->build);
    std::printf("; %zu postings, %.1f MB = %.1f bytes/reference\n", m->entries, m->bytes / 1e6, bytes_per_reference);
    if (!large)
      std::printf("    matching: threads 1 %.2f us/query = %.1fx the scan; threads 2 %.2f us/query = %.1fx the scan\n",
                  m->index_1 / n * 1e6, scan_per_query_1 / (m->index_1 / n), m->index_2 / n * 1e6,
                  scan_per_query_2 / (m->index_2 / n));
    else
      std::printf("    matching: threads 2 %.2f us/query = %.1fx the scan\n", m->index_2 / n * 1e6,
                  scan_per_query_2 / (m->index_2 / n));
    std::printf("    whole call incl. reference set and build, threads 2: %.1f s against %.1f s = %.1fx\n",
                whole_index_2, whole_scan_2, whole_scan_2 / whole_index_2);
    if (m->packed && w.references == 737'280 && k == 2)
      // The same arrays on a 32-bit build; the budget there is 1 GiB.
      std::printf("    armhf estimate: index %.0f MB, build peak at most %.0f MB, of the 1 GiB budget: %s\n",
                  m->bytes / 1e6, plan.memory_bytes / 1e6,
                  plan.memory_bytes <= double(1 << 30) ? "fits" : "does NOT fit");
    std::printf("    same answers as the scan on the %zu sampled queries: %s\n", sample,
                m->differ == 0 ? "yes" : (std::to_string(m->differ) + " differ").c_str());
    same &= m->differ == 0;
  }
  std::printf("  peak RSS of this process: %.0f MB\n", static_cast<double>(peak_rss_bytes()) / 1e6);
  return same;
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
    // Each alone in its process (--only), so that the peak RSS is its own.
    same &= mendseqs::run(Workload{"W6", 6'794'880, 1, 100'000}, 200, only, true);
    same &= mendseqs::run(Workload{"W7", 6'794'880, 2, 1'000'000}, 100, only, true);
  } else {
    same &= mendseqs::run(Workload{"W5a", 737'280, 1, queries}, sample, only);
    same &= mendseqs::run(Workload{"W5b", 100'000, 2, queries}, sample, only);
    same &= mendseqs::run(Workload{"W5b at 737,280 references", 737'280, 2, queries}, sample, only);
    same &= mendseqs::run(Workload{"W2 shape k=1", 5'000, 1, 50'000}, quick ? 5'000 : 50'000, only);
    same &= mendseqs::run(Workload{"W2 shape k=2", 5'000, 2, 50'000}, quick ? 5'000 : 50'000, only);
  }
  return same ? 0 : 1;
}
