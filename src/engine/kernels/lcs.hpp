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
#include <utility>
#include <vector>

#include "engine/text.hpp"
#include "kernels/alphabet.hpp"
#include "kernels/lcs_step.hpp"

namespace mendseqs {

class QueryPattern {
 public:
  explicit QueryPattern(const Text& query);

  size_t length() const noexcept { return length_; }  // in code points
  size_t words() const noexcept { return words_; }

  // The number of a character of the query (dense, from 0), or absent.
  static constexpr uint32_t absent = Alphabet::absent;
  uint32_t number(char32_t character) const noexcept;

  // Dense masks: `words()` words per character number (bit i of word w is
  // position 64 * w + i). A query with a great many distinct characters
  // would need more than they are worth; it keeps each character's
  // positions instead, and the words a comparison needs are made from them
  // (match_words). Either way the work of a comparison stays bounded by the
  // words it advances.
  bool dense() const noexcept { return !masks_.empty() || length_ == 0; }
  const uint64_t* mask(uint32_t number) const noexcept { return &masks_[number * words_]; }

  // Fills words first .. last of the mask of character `number` into
  // out[0 .. last - first]. `cursor` (one per character number, all 0
  // at 0) remembers where the last call for that character began, so a
  // comparison whose window only moves forward reads each position once.
  void match_words(uint32_t number, size_t first, size_t last, uint64_t* out,
                   std::vector<size_t>& cursor) const noexcept;
  size_t distinct() const noexcept { return offsets_.empty() ? 0 : offsets_.size() - 1; }

 private:
  size_t length_ = 0;
  size_t words_ = 0;
  Alphabet alphabet_;              // the query's characters, in order of first appearance
  std::vector<uint64_t> masks_;    // dense: number-major, words_ per number
  std::vector<size_t> offsets_;    // sparse: positions of number n are
  std::vector<size_t> positions_;  //   positions_[offsets_[n] .. offsets_[n + 1]]
};

// A machine word of 64 query positions, alone.
struct Word64 {
  using word = uint64_t;
  static word and_(word a, word b) noexcept { return a & b; }
  static word add(word a, word b) noexcept { return a + b; }
  static word or_unmatched(word sum, word s, word, word u) noexcept { return sum | (s - u); }
};

// A word of a longer query: the addition carries from the word below and
// into the word above through `carry` (0 or 1), the words taken lowest
// first.
struct CarriedWord64 : Word64 {
  uint64_t& carry;
  explicit CarriedWord64(uint64_t& carry_in_out) noexcept : carry(carry_in_out) {}
  word add(word a, word b) const noexcept {
    word sum;
    const bool first = __builtin_add_overflow(a, b, &sum);
    const bool second = __builtin_add_overflow(sum, carry, &sum);
    carry = static_cast<word>(first | second);
    return sum;
  }
};

inline uint64_t lcs_step(uint64_t state, uint64_t match) noexcept { return lcs_step(Word64{}, state, match); }

// One word of one step of the recurrence for a query of several words,
// the words advanced lowest first with one carry.
inline void advance_word(uint64_t& state, uint64_t match, uint64_t& carry) noexcept {
  state = lcs_step(CarriedWord64(carry), state, match);
}

}  // namespace mendseqs
