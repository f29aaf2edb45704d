// The nearest accepted reference against the first one, per query, through
// the same reference set and the same candidate index (built once, outside
// the timing), on a seeded whitelist: 737,280 barcodes of 16 letters, k=2,
// 200,000 queries (40% exact copies, 40% with 1 to 3 edits, 20% random).
// The two are timed in alternating slices of the queries, so a machine
// whose load changes during the run weighs on both alike.
//
//   nearest_bench [--quick]
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bench_texts.hpp"
#include "engine/host.hpp"
#include "index/candidate_index.hpp"
#include "match/matcher.hpp"

namespace mendseqs {
namespace {

using Clock = std::chrono::steady_clock;

int run(size_t reference_count, size_t query_count) {
  const intptr_t k = 2;
  std::mt19937_64 rng(737);
  std::vector<std::string> reference_texts, query_texts;
  for (size_t i = 0; i < reference_count; ++i) reference_texts.push_back(bench::random_dna(rng, 16));
  for (size_t i = 0; i < query_count; ++i) {
    const size_t kind = rng() % 10;
    const std::string& source = reference_texts[rng() % reference_count];
    if (kind < 4)
      query_texts.push_back(source);
    else if (kind < 8)
      query_texts.push_back(bench::edited(rng, source, 1 + rng() % 3));
    else
      query_texts.push_back(bench::random_dna(rng, 15 + rng() % 3));
  }
  const std::vector<Text> references = bench::views(reference_texts), queries = bench::views(query_texts);

  NoHooks hooks;
  Checkpoint checkpoint(hooks);
  ReferenceSet set(references);
  const auto build_start = Clock::now();
  set.prepare_index(k, queries.size(), 2, checkpoint, CandidateIndex::Choice::always);
  const double build = std::chrono::duration<double>(Clock::now() - build_start).count();
  if (!set.index(k)) {
    std::printf("  index not built (memory budget)\n");
    return 1;
  }

  std::vector<std::optional<size_t>> first(queries.size());
  std::vector<NearestMatch> nearest(queries.size());
  double first_seconds = 0, nearest_seconds = 0;
  const size_t slice = 10'000;
  for (size_t begin = 0; begin < queries.size(); begin += slice) {
    const size_t end = std::min(queries.size(), begin + slice);
    auto start = Clock::now();
    for (size_t q = begin; q < end; ++q) first[q] = first_accepted(set, queries[q], k, checkpoint);
    first_seconds += std::chrono::duration<double>(Clock::now() - start).count();
    start = Clock::now();
    for (size_t q = begin; q < end; ++q) nearest[q] = nearest_accepted(set, queries[q], k, checkpoint);
    nearest_seconds += std::chrono::duration<double>(Clock::now() - start).count();
  }
  size_t found = 0, unique = 0, disagree = 0;
  for (size_t q = 0; q < queries.size(); ++q) {
    found += nearest[q].position != no_match;
    unique += nearest[q].ties == 1;
    disagree += first[q].has_value() != (nearest[q].position != no_match);
  }
  const double n = static_cast<double>(queries.size());
  const double ratio = nearest_seconds / first_seconds;
  std::printf("  %zu references, k=%zd, %zu queries (index built in %.2f s, not timed):\n", reference_count, k,
              queries.size(), build);
  std::printf("    first accepted %.2f us/query, nearest %.2f us/query: %.2fx (target <= 2x: %s)\n",
              first_seconds / n * 1e6, nearest_seconds / n * 1e6, ratio, ratio <= 2 ? "met" : "NOT met");
  std::printf("    %zu found by both (%zu with no tie), %zu disagreements on whether one is found\n", found, unique,
              disagree);
  return disagree == 0 ? 0 : 1;
}

}  // namespace
}  // namespace mendseqs

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  return mendseqs::run(737'280, quick ? 20'000 : 200'000);
}
