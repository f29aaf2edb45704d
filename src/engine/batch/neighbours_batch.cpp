// PreparedReferences::neighbours (engine/prepared_references.hpp): every
// accepted reference of each query. The queries are shared as tag shares
// its reads: a few at a time from a common counter, the calling thread
// among the workers so that it keeps checking in with its host.
#include <algorithm>
#include <atomic>

#include "engine/prepared_references.hpp"
#include "match/matcher.hpp"
#include "support/checkpoint.hpp"
#include "support/fork_join.hpp"

namespace mendseqs {
namespace {

// Queries taken at a time: each is a lookup or a short scan, so a grain
// this size keeps the counter cold without leaving a worker a long tail.
constexpr size_t grain = 64;

}  // namespace

std::vector<std::vector<Position>> PreparedReferences::neighbours(std::span<const Text> queries, uint32_t threads,
                                                                  CallerHooks& caller) const {
  Checkpoint checkpoint(caller);
  const ReferenceSet& set = reference_set();
  const intptr_t flex = max_flex();
  std::vector<std::vector<Position>> found(queries.size());
  const auto one = [&](size_t q, Checkpoint& where) {
    std::vector<Position>& accepted = found[q];
    nearest_accepted(set, queries[q], flex, where,
                     [&](size_t position, size_t /*distance*/) { accepted.push_back(position); });
  };
  const size_t workers = std::min<size_t>(std::max<uint32_t>(threads, 1), (queries.size() + grain - 1) / grain);
  if (workers <= 1) {
    for (size_t q = 0; q < queries.size(); ++q) one(q, checkpoint);
    return found;
  }

  std::atomic<size_t> next{0};
  std::atomic<bool> stop{false};
  const auto take_queries = [&](Checkpoint& where) {
    for (;;) {
      if (stop.load(std::memory_order_relaxed)) return;
      const size_t first = next.fetch_add(grain, std::memory_order_relaxed);
      if (first >= queries.size()) return;
      const size_t last = std::min(queries.size(), first + grain);
      for (size_t q = first; q < last; ++q) one(q, where);
    }
  };
  // As in tag: the first failure leaves as raised, after every worker has
  // been joined.
  fork_join(workers, stop, [&](size_t worker) {
    if (worker == 0) {
      take_queries(checkpoint);
      return;
    }
    Checkpoint own(stop);
    try {
      take_queries(own);
    } catch (const Cancelled&) {
      return;
    }
  });
  return found;
}

}  // namespace mendseqs
