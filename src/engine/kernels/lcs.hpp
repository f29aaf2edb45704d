// Length of the longest common subsequence of a query and a reference.
//
// The query is turned once into per-character bit masks over its positions
// (QueryPattern); every candidate reference is then compared with the
// bit-parallel recurrence, one machine word for 64 query positions, in
// O(query length) memory instead of a full (Lq + 1) x (Lr + 1) table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace mendseqs {

class QueryPattern {
 public:
  explicit QueryPattern(std::string_view query);

  std::string_view text() const noexcept { return text_; }
  size_t length() const noexcept { return length_; }  // in code points
  size_t words() const noexcept { return words_; }

  // The query positions holding `character`, as `words()` words (bit i of
  // word w is position 64 * w + i); null when the query lacks it.
  const uint64_t* mask(char32_t character) const noexcept;

  // False when a query has so many distinct characters that its masks would
  // cost more than the plain dynamic programme; lcs_length then uses that.
  bool has_masks() const noexcept { return !masks_.empty() || length_ == 0; }

 private:
  std::string_view text_;
  size_t length_ = 0;
  size_t words_ = 0;
  std::array<uint32_t, 128> ascii_slot_{};  // 0: absent, else 1 + slot
  std::vector<std::pair<char32_t, uint32_t>> other_slots_;  // sorted by character
  std::vector<uint64_t> masks_;  // slot-major, words_ per slot
};

size_t lcs_length(const QueryPattern& query, std::string_view reference);

// One word of one step of the recurrence, S = (S + u) | (S - u) with
// u = S & match, where the addition carries from the word below and into
// the word above through `carry` (0 or 1).
inline void advance_word(uint64_t& state, uint64_t match, uint64_t& carry) noexcept {
  const uint64_t s = state;
  const uint64_t u = s & match;
  uint64_t sum;
  const bool first = __builtin_add_overflow(s, u, &sum);
  const bool second = __builtin_add_overflow(sum, carry, &sum);
  carry = first | second;
  state = sum | (s - u);
}

}  // namespace mendseqs
