// Approximate search of a short DNA pattern (up to 64 letters) anywhere in a
// text, for the adapter sequences of a read: the bit-parallel edit-distance
// recurrence, one machine word for the whole pattern, a handful of word
// operations per text letter.
//
// For every text position j the search knows D(j), the fewest edits
// (substitutions, insertions, deletions) of an alignment of the whole
// pattern with some stretch of text ending at j. A hit is reported where
// D(j) is at most the bound and is a local best: lower than just before,
// and the first of its plateau, which then rises (or reaches the text's
// end) rather than falls further. A plateau's first end is the alignment's
// tightest: with the pattern's last letter substituted and the next text
// letter equal to it, ending one letter later costs the same, and the
// letters after an adapter belong to what follows it.
//
// Each hit's start is then recovered by running the recurrence backwards
// from its end over the reversed pattern, anchored at that end: the start
// of the shortest alignment that reaches the hit's edit count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "support/dna.hpp"

namespace mendseqs {

// Letters as the search reads them are base_code's (support/dna.hpp): A,
// C, G, T in either case; anything else, N included, is `unmatched_code`,
// which matches nothing.

inline constexpr size_t max_search_pattern = 64;

struct PatternHit {
  size_t start;  // the first text letter of the alignment
  size_t end;    // one past its last
  uint32_t edits;

  bool operator==(const PatternHit&) const = default;
};

class SearchPattern {
 public:
  // `codes`: 1 to 64 letters, each 0 to 3. Throws std::invalid_argument
  // otherwise (callers check their layouts before this).
  explicit SearchPattern(std::span<const uint8_t> codes);

  size_t length() const noexcept { return length_; }

  // Appends to `hits`, in increasing end order, every local-best end of an
  // alignment with at most `max_edits` edits (a bound of the pattern's
  // length or more counts as length - 1: an alignment of no text letter at
  // all is no hit), with its start.
  void find(std::span<const uint8_t> text, uint32_t max_edits, std::vector<PatternHit>& hits) const;

  // The same for two texts at once (a read and its reverse complement):
  // their two chains of dependent steps advance side by side, so one
  // runs while the other waits.
  void find_both(std::span<const uint8_t> first, std::span<const uint8_t> second, uint32_t max_edits,
                 std::vector<PatternHit>& first_hits, std::vector<PatternHit>& second_hits) const;

  // D(j) for every position j of the text, into `scores` (resized): the
  // forward pass alone, for the tests.
  void scores(std::span<const uint8_t> text, std::vector<uint8_t>& scores) const;

  // The start of the shortest alignment ending just before `end` with
  // `edits` edits, `edits` being D(end - 1) as the forward pass found it.
  size_t start_of(std::span<const uint8_t> text, size_t end, uint32_t edits) const noexcept;

  // The local-best ends of a row of scores (D(j) per position), by the
  // rule above, with their starts, appended to `hits`.
  void hits_of_scores(std::span<const uint8_t> text, std::span<const uint8_t> scores, uint32_t max_edits,
                      std::vector<PatternHit>& hits) const;

 private:
  template <class Word>
  void find_in(std::span<const uint8_t> text, uint32_t limit, std::vector<PatternHit>& hits) const;
  template <class Word>
  void find_in_both(std::span<const uint8_t> first, std::span<const uint8_t> second, uint32_t limit,
                    std::vector<PatternHit>& first_hits, std::vector<PatternHit>& second_hits) const;
  uint32_t bound(uint32_t max_edits) const noexcept {
    return max_edits < length_ ? max_edits : static_cast<uint32_t>(length_ - 1);
  }

  size_t length_ = 0;
  // Bit i of forward_[c]: pattern letter i is c; backward_ the same for the
  // reversed pattern. Entry unmatched_code stays 0.
  uint64_t forward_[unmatched_code + 1] = {};
  uint64_t backward_[unmatched_code + 1] = {};
};

}  // namespace mendseqs
