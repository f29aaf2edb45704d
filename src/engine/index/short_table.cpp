#include "index/short_table.hpp"

#include <algorithm>

#include "support/distance.hpp"

namespace mendseqs {

ShortTable::ShortTable(std::span<const uint32_t> lengths, std::span<const uint32_t> a_counts, size_t max_flex)
    : max_flex_(max_flex) {
  // Lengths that can trip the guard for some query (below 2k) or that are
  // accepted on the filters alone (at most k).
  const size_t limit = std::max(2 * max_flex, max_flex + 1);
  for (size_t i = 0; i < lengths.size(); ++i)
    if (lengths[i] < limit) entries_.push_back({lengths[i], a_counts[i], static_cast<uint32_t>(i)});
  std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
    if (a.length != b.length) return a.length < b.length;
    return a.a_count != b.a_count ? a.a_count < b.a_count : a.position < b.position;
  });
  entries_.shrink_to_fit();
}

// f(begin, end): the entries of each (length, A-count) pair passing both
// filters for this query.
template <class F>
void ShortTable::each_pair(size_t query_length, size_t query_a_count, F&& f) const {
  const size_t k = max_flex_;
  const auto low = static_cast<uint32_t>(query_length - std::min(query_length, k));
  auto it = std::lower_bound(entries_.begin(), entries_.end(), low,
                             [](const Entry& e, uint32_t length) { return e.length < length; });
  while (it != entries_.end() && it->length <= query_length + k) {
    const auto end = std::find_if(it, entries_.end(),
                                  [&](const Entry& e) { return e.length != it->length || e.a_count != it->a_count; });
    if (distance<size_t>(it->a_count, query_a_count) <= k) f(it, end);
    it = end;
  }
}

std::optional<Decision> ShortTable::first(size_t query_length, size_t query_a_count) const {
  const size_t k = max_flex_;
  std::optional<Decision> best;
  each_pair(query_length, query_a_count, [&](auto begin, auto) {
    const bool guard = k > std::min<size_t>(query_length, begin->length);
    // Longer references that pass the guard need the LCS: the layouts have them.
    if (!guard && begin->length > k) return;
    if (!best || begin->position < best->position) best = Decision{begin->position, guard};
  });
  return best;
}

bool ShortTable::guard_tripped(size_t query_length, size_t query_a_count) const {
  bool tripped = false;
  each_pair(query_length, query_a_count,
            [&](auto begin, auto) { tripped = tripped || max_flex_ > std::min<size_t>(query_length, begin->length); });
  return tripped;
}

void ShortTable::each_accepted_outright(size_t query_length, size_t query_a_count,
                                        FunctionRef<void(size_t)> visit) const {
  each_pair(query_length, query_a_count, [&](auto begin, auto end) {
    if (begin->length > max_flex_) return;
    for (auto it = begin; it != end; ++it) visit(it->position);
  });
}

}  // namespace mendseqs
