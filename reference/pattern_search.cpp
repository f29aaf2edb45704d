#include "pattern_search.hpp"

#include <algorithm>

namespace mendseqs::reference {
namespace {

bool same(uint8_t a, uint8_t b) { return a == b && a < 4; }

}  // namespace

std::vector<uint32_t> end_scores(std::span<const uint8_t> pattern, std::span<const uint8_t> text) {
  const size_t m = pattern.size(), n = text.size();
  // table[i][j]: pattern's first i letters against text ending before j,
  // starting anywhere: the top row is all zeros.
  std::vector<std::vector<uint32_t>> table(m + 1, std::vector<uint32_t>(n + 1, 0));
  for (size_t i = 1; i <= m; ++i) {
    table[i][0] = static_cast<uint32_t>(i);
    for (size_t j = 1; j <= n; ++j)
      table[i][j] = std::min({table[i - 1][j - 1] + (same(pattern[i - 1], text[j - 1]) ? 0u : 1u), table[i - 1][j] + 1,
                              table[i][j - 1] + 1});
  }
  return {table[m].begin() + 1, table[m].end()};
}

uint32_t global_distance(std::span<const uint8_t> pattern, std::span<const uint8_t> stretch) {
  const size_t m = pattern.size(), n = stretch.size();
  std::vector<std::vector<uint32_t>> table(m + 1, std::vector<uint32_t>(n + 1, 0));
  for (size_t j = 0; j <= n; ++j) table[0][j] = static_cast<uint32_t>(j);
  for (size_t i = 1; i <= m; ++i) {
    table[i][0] = static_cast<uint32_t>(i);
    for (size_t j = 1; j <= n; ++j)
      table[i][j] = std::min({table[i - 1][j - 1] + (same(pattern[i - 1], stretch[j - 1]) ? 0u : 1u),
                              table[i - 1][j] + 1, table[i][j - 1] + 1});
  }
  return table[m][n];
}

std::vector<SearchHit> search(std::span<const uint8_t> pattern, std::span<const uint8_t> text, uint32_t max_edits) {
  const auto m = static_cast<uint32_t>(pattern.size());
  const uint32_t bound = std::min(max_edits, m - 1);
  const std::vector<uint32_t> scores = end_scores(pattern, text);
  std::vector<SearchHit> hits;
  for (size_t j = 0; j < scores.size(); ++j) {
    const uint32_t d = scores[j];
    if (d > bound || d >= (j == 0 ? m : scores[j - 1])) continue;
    size_t next = j + 1;
    while (next < scores.size() && scores[next] == d) ++next;
    if (next < scores.size() && scores[next] < d) continue;
    size_t start = j + 1;
    while (global_distance(pattern, text.subspan(start, j + 1 - start)) != d) --start;
    hits.push_back(SearchHit{start, j + 1, d});
  }
  return hits;
}

}  // namespace mendseqs::reference
