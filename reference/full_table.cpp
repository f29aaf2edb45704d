#include "full_table.hpp"

#include <algorithm>
#include <vector>

namespace mendseqs::reference {

size_t lcs_length(const Text& query, const Text& reference) {
  const size_t n = query.length(), m = reference.length();
  // 32-bit entries: no table that fits in memory holds a longer LCS.
  std::vector<std::vector<uint32_t>> table(n + 1, std::vector<uint32_t>(m + 1, 0));
  for (size_t i = 1; i <= n; ++i)
    for (size_t j = 1; j <= m; ++j)
      table[i][j] =
          query[i - 1] == reference[j - 1] ? table[i - 1][j - 1] + 1 : std::max(table[i - 1][j], table[i][j - 1]);
  return table[n][m];
}

size_t count_a(const Text& text) {
  size_t count = 0;
  for (size_t i = 0; i < text.length(); ++i) count += text[i] == U'A';
  return count;
}

bool passes_filters(intptr_t query_length, intptr_t query_a_count, intptr_t length, intptr_t a_count,
                    intptr_t max_flex) {
  // Its own: the oracle shares no code with what it checks.
  const auto distance = [](intptr_t a, intptr_t b) { return a > b ? a - b : b - a; };
  return distance(query_length, length) <= max_flex && distance(query_a_count, a_count) <= max_flex;
}

bool trips_guard(intptr_t query_length, intptr_t length, intptr_t max_flex) {
  return max_flex > std::min(query_length, length);
}

Selection select(std::span<const Text> references, const Text& query, intptr_t max_flex) {
  const auto query_length = static_cast<intptr_t>(query.length());
  const auto query_a_count = static_cast<intptr_t>(count_a(query));
  for (size_t i = 0; i < references.size(); ++i) {
    const auto length = static_cast<intptr_t>(references[i].length());
    if (!passes_filters(query_length, query_a_count, length, static_cast<intptr_t>(count_a(references[i])), max_flex))
      continue;
    if (trips_guard(query_length, length, max_flex)) return {Selection::Outcome::guard_tripped};
    if (static_cast<intptr_t>(lcs_length(query, references[i])) >= length - max_flex)
      return {Selection::Outcome::accepted, i};
  }
  return {Selection::Outcome::none};
}

NearestSelection select_nearest(std::span<const Text> references, const Text& query, intptr_t max_flex) {
  const auto query_length = static_cast<intptr_t>(query.length());
  const auto query_a_count = static_cast<intptr_t>(count_a(query));
  std::vector<std::pair<size_t, size_t>> accepted;  // (distance, index), indexes increasing
  for (size_t i = 0; i < references.size(); ++i) {
    const auto length = static_cast<intptr_t>(references[i].length());
    if (!passes_filters(query_length, query_a_count, length, static_cast<intptr_t>(count_a(references[i])), max_flex))
      continue;
    if (trips_guard(query_length, length, max_flex)) return {Selection::Outcome::guard_tripped, 0, 0, std::nullopt, 0};
    const auto common = static_cast<intptr_t>(lcs_length(query, references[i]));
    if (common >= length - max_flex) accepted.emplace_back(static_cast<size_t>(query_length + length - 2 * common), i);
  }
  if (accepted.empty()) return {Selection::Outcome::none, 0, 0, std::nullopt, 0};
  std::stable_sort(accepted.begin(), accepted.end());
  NearestSelection nearest{Selection::Outcome::accepted, accepted[0].second, accepted[0].first, std::nullopt, 0};
  if (accepted.size() > 1) nearest.runner_up = accepted[1].first;
  for (const auto& [distance, index] : accepted) nearest.ties += distance == nearest.distance;
  return nearest;
}

}  // namespace mendseqs::reference
