#include <algorithm>

#include "baselines/baselines.hpp"

namespace baselines {
namespace {

// UTF-8 to code points; benchmark input is ASCII, but the unpacking is
// part of the per-candidate cost being measured, so it is done for real.
std::vector<int32_t> unpack(const std::string& text) {
  std::vector<int32_t> code_points;
  for (size_t pos = 0; pos < text.size();) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    const size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    int32_t c = extra ? lead & (0x3F >> extra) : lead;
    for (size_t i = 1; i <= extra && pos + i < text.size(); ++i)
      c = (c << 6) | (static_cast<unsigned char>(text[pos + i]) & 0x3F);
    code_points.push_back(c);
    pos += extra + 1;
  }
  return code_points;
}

intptr_t count_a(const std::string& text) {
  intptr_t count = 0;
  for (int32_t c : unpack(text)) count += c == 'A';
  return count;
}

int32_t full_table_lcs(const std::string& query, const std::string& reference) {
  const std::vector<int32_t> q = unpack(query), r = unpack(reference);
  std::vector<std::vector<int32_t>> table(q.size() + 1, std::vector<int32_t>(r.size() + 1, 0));
  for (size_t w = 1; w <= r.size(); ++w)
    for (size_t i = 1; i <= q.size(); ++i) {
      const int32_t diagonal = table[i - 1][w - 1] + (r[w - 1] == q[i - 1] ? 1 : 0);
      table[i][w] = std::max(diagonal, std::max(table[i - 1][w], table[i][w - 1]));
    }
  return table[q.size()][r.size()];
}

std::string correct_one(const Strings& references, const std::string& query, intptr_t max_flex) {
  const auto query_length = static_cast<intptr_t>(query.size());
  const intptr_t query_a_count = count_a(query);
  for (const std::string& reference : references) {
    const auto reference_length = static_cast<intptr_t>(reference.size());
    if (std::abs(query_length - reference_length) > max_flex) continue;
    if (std::abs(query_a_count - count_a(reference)) > max_flex) continue;
    if (max_flex > std::min(query_length, reference_length)) throw GuardTripped();
    if (full_table_lcs(query, reference) >= reference_length - max_flex) return reference;
  }
  return std::string();
}

}  // namespace

Strings correct_naive(const Strings& references, const Strings& queries, intptr_t max_flex) {
  Strings corrected;
  corrected.reserve(queries.size());
  for (const std::string& query : queries) corrected.push_back(correct_one(references, query, max_flex));
  return corrected;
}

}  // namespace baselines
