#include "index/short_table.hpp"

#include <algorithm>

#include "support/distance.hpp"

namespace mendseqs {

ShortTable::ShortTable(const ReferenceFacts& facts, size_t max_flex) : facts_(&facts), max_flex_(max_flex) {
  // Lengths that can trip the guard for some query (below 2k) or that are
  // accepted on the filters alone (at most k).
  const size_t limit = std::max(2 * max_flex, max_flex + 1);
  const std::span<const uint32_t> lengths = facts.lengths();
  for (size_t i = 0; i < lengths.size(); ++i)
    if (lengths[i] < limit) positions_.push_back(static_cast<uint32_t>(i));
  std::sort(positions_.begin(), positions_.end(), [&](uint32_t a, uint32_t b) {
    if (length(a) != length(b)) return length(a) < length(b);
    return a_count(a) != a_count(b) ? a_count(a) < a_count(b) : a < b;
  });
  positions_.shrink_to_fit();
}

// f(begin, end): the positions of each (length, A-count) pair passing both
// filters for this query.
template <class F>
void ShortTable::each_pair(size_t query_length, size_t query_a_count, F&& f) const {
  const size_t k = max_flex_;
  const auto low = static_cast<uint32_t>(query_length - std::min(query_length, k));
  auto it = std::lower_bound(positions_.begin(), positions_.end(), low,
                             [&](uint32_t p, uint32_t least) { return length(p) < least; });
  while (it != positions_.end() && length(*it) <= query_length + k) {
    const uint32_t pair_length = length(*it), pair_a_count = a_count(*it);
    const Iterator end = std::find_if(
        it, positions_.end(), [&](uint32_t p) { return length(p) != pair_length || a_count(p) != pair_a_count; });
    if (distance<size_t>(pair_a_count, query_a_count) <= k) f(it, end);
    it = end;
  }
}

std::optional<Decision> ShortTable::first(size_t query_length, size_t query_a_count) const {
  const size_t k = max_flex_;
  std::optional<Decision> best;
  each_pair(query_length, query_a_count, [&](Iterator begin, Iterator) {
    const bool guard = k > std::min<size_t>(query_length, length(*begin));
    // Longer references that pass the guard need the LCS: the layouts have them.
    if (!guard && length(*begin) > k) return;
    if (!best || *begin < best->position) best = Decision{*begin, guard};
  });
  return best;
}

bool ShortTable::guard_tripped(size_t query_length, size_t query_a_count) const {
  bool tripped = false;
  each_pair(query_length, query_a_count, [&](Iterator begin, Iterator) {
    tripped = tripped || max_flex_ > std::min<size_t>(query_length, length(*begin));
  });
  return tripped;
}

void ShortTable::each_accepted_outright(size_t query_length, size_t query_a_count,
                                        FunctionRef<void(size_t)> visit) const {
  each_pair(query_length, query_a_count, [&](Iterator begin, Iterator end) {
    if (length(*begin) > max_flex_) return;
    for (auto it = begin; it != end; ++it) visit(*it);
  });
}

}  // namespace mendseqs
