// The matcher exactly as first written down: a full (Lq + 1) x (Lr + 1)
// table per candidate, rebuilt every time. Slow, obviously right, and the
// yardstick every faster kernel is checked against.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "texts.hpp"

namespace oracle {

inline std::vector<char32_t> code_points(std::string_view text) { return mendseqs::test_support::decode_utf8(text); }

inline size_t lcs_length(std::string_view query, std::string_view reference) {
  const auto q = code_points(query), r = code_points(reference);
  std::vector<std::vector<int64_t>> table(q.size() + 1, std::vector<int64_t>(r.size() + 1, 0));
  for (size_t w = 1; w <= r.size(); ++w)
    for (size_t i = 1; i <= q.size(); ++i) {
      const int64_t diagonal = table[i - 1][w - 1] + (r[w - 1] == q[i - 1] ? 1 : 0);
      table[i][w] = std::max(diagonal, std::max(table[i - 1][w], table[i][w - 1]));
    }
  return static_cast<size_t>(table[q.size()][r.size()]);
}

// The selection; nullopt where the tolerance guard fires.
inline std::optional<std::string> correct_seq(const std::vector<std::string>& references,
                                              std::string_view query, intptr_t max_flex) {
  const auto a_count = [](std::string_view s) { return (intptr_t)std::count(s.begin(), s.end(), 'A'); };
  const auto lq = (intptr_t)code_points(query).size();
  for (const std::string& reference : references) {
    const auto lr = (intptr_t)code_points(reference).size();
    if (std::abs(lq - lr) > max_flex) continue;
    if (std::abs(a_count(query) - a_count(reference)) > max_flex) continue;
    if (max_flex > std::min(lq, lr)) return std::nullopt;
    if ((intptr_t)lcs_length(query, reference) >= lr - max_flex) return reference;
  }
  return std::string();
}

}  // namespace oracle
