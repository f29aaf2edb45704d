#include "kernels/approximate_search.hpp"

#include <algorithm>
#include <stdexcept>

namespace mendseqs {
namespace {

// Any byte above the last code reads as unmatched: no table is read out
// of its bounds, whatever the text holds.
inline uint8_t clamp_code(uint8_t code) noexcept { return code < unmatched_code ? code : unmatched_code; }

// The recurrence's state over the pattern's rows, in a word of the
// pattern's size: 32 bits for up to 32 letters (a native word on 32-bit
// processors, where 64-bit arithmetic takes two instructions), 64 above.
template <class Word>
struct Column {
  Word pv = static_cast<Word>(~Word{0});  // vertical deltas +1 (all: D(i) = i before any letter)
  Word mv = 0;                            // vertical deltas -1

  // Column j - 1 becomes column j; returns the bottom row's change, -1, 0
  // or +1. `top_carry` is the top row's own horizontal delta: 0 when the
  // pattern may start anywhere in the text (search), 1 when it must start
  // at the text's first letter (anchored).
  int step(Word eq, Word high, Word top_carry) noexcept {
    const Word xv = eq | mv;
    const Word xh = static_cast<Word>((((eq & pv) + pv) ^ pv) | eq);
    auto ph = static_cast<Word>(mv | ~(xh | pv));
    auto mh = static_cast<Word>(pv & xh);
    const int change = static_cast<int>((ph & high) != 0) - static_cast<int>((mh & high) != 0);
    ph = static_cast<Word>((ph << 1) | top_carry);
    mh = static_cast<Word>(mh << 1);
    pv = static_cast<Word>(mh | ~(xv | ph));
    mv = ph & xv;
    return change;
  }
};

// Follows one text's scores and reports its local-best ends: the first end
// of the latest descent to at most the bound, once the scores rise again
// (or the text ends) rather than fall further. Only scores at most the
// bound, and those while a hit is pending, need to be shown to it: any
// other changes nothing.
class EndTracker {
 public:
  explicit EndTracker(uint32_t limit) : limit_(limit) {}

  // Whether the score at end `end` (`previous` just before) completes a
  // hit (then `end()` and `edits()` have it).
  bool next(uint32_t score, uint32_t previous, size_t end) noexcept {
    if (score < previous) {
      pending_ = score <= limit_;
      end_ = end;
      edits_ = score;
    } else if (score > previous && pending_) {
      pending_ = false;
      return true;
    }
    return false;
  }
  bool due(uint32_t score) const noexcept { return score <= limit_ || pending_; }
  bool pending() const noexcept { return pending_; }
  size_t end() const noexcept { return end_; }
  uint32_t edits() const noexcept { return edits_; }

 private:
  uint32_t limit_;
  bool pending_ = false;
  size_t end_ = 0;
  uint32_t edits_ = 0;
};

// The pattern's masks for every byte a text may hold (any above the last
// code matches nothing): a lookup per letter, no test.
template <class Word>
void byte_masks(const uint64_t (&masks)[unmatched_code + 1], Word (&out)[256]) noexcept {
  for (size_t c = 0; c < 256; ++c) out[c] = static_cast<Word>(masks[c < unmatched_code ? c : unmatched_code]);
}

}  // namespace

SearchPattern::SearchPattern(std::span<const uint8_t> codes) : length_(codes.size()) {
  if (codes.empty() || codes.size() > max_search_pattern)
    throw std::invalid_argument("a search pattern has 1 to 64 letters");
  for (size_t i = 0; i < codes.size(); ++i) {
    if (codes[i] >= unmatched_code) throw std::invalid_argument("a search pattern holds A, C, G and T only");
    forward_[codes[i]] |= uint64_t{1} << i;
    backward_[codes[i]] |= uint64_t{1} << (codes.size() - 1 - i);
  }
}

template <class Word>
void SearchPattern::find_in(std::span<const uint8_t> text, uint32_t limit, std::vector<PatternHit>& hits) const {
  Word eq[256];
  byte_masks(forward_, eq);
  const auto high = static_cast<Word>(Word{1} << (length_ - 1));
  Column<Word> column;
  auto score = static_cast<uint32_t>(length_);
  EndTracker ends(limit);
  for (size_t j = 0; j < text.size(); ++j) {
    const int change = column.step(eq[text[j]], high, 0);
    score += change;
    if (ends.due(score) && ends.next(score, score - change, j + 1)) [[unlikely]]
      hits.push_back(PatternHit{start_of(text, ends.end(), ends.edits()), ends.end(), ends.edits()});
  }
  if (ends.pending()) hits.push_back(PatternHit{start_of(text, ends.end(), ends.edits()), ends.end(), ends.edits()});
}

template <class Word>
void SearchPattern::find_in_both(std::span<const uint8_t> first, std::span<const uint8_t> second, uint32_t limit,
                                 std::vector<PatternHit>& first_hits, std::vector<PatternHit>& second_hits) const {
  Word eq[256];
  byte_masks(forward_, eq);
  const auto high = static_cast<Word>(Word{1} << (length_ - 1));
  // Two independent chains in one loop: each step is a chain of dependent
  // operations, so the processor runs the other text's step beside it.
  Column<Word> a, b;
  auto score_a = static_cast<uint32_t>(length_), score_b = score_a;
  EndTracker ends_a(limit), ends_b(limit);
  const auto report = [this](std::span<const uint8_t> text, const EndTracker& ends, std::vector<PatternHit>& hits) {
    hits.push_back(PatternHit{start_of(text, ends.end(), ends.edits()), ends.end(), ends.edits()});
  };
  const size_t common = std::min(first.size(), second.size());
  for (size_t j = 0; j < common; ++j) {
    const int change_a = a.step(eq[first[j]], high, 0);
    const int change_b = b.step(eq[second[j]], high, 0);
    score_a += change_a;
    score_b += change_b;
    // One test for both in the common case: both above the bound, nothing pending.
    if (ends_a.due(score_a) | ends_b.due(score_b)) [[unlikely]] {
      if (ends_a.next(score_a, score_a - change_a, j + 1)) report(first, ends_a, first_hits);
      if (ends_b.next(score_b, score_b - change_b, j + 1)) report(second, ends_b, second_hits);
    }
  }
  // The longer text's remainder alone.
  for (size_t j = common; j < first.size(); ++j) {
    const int change = a.step(eq[first[j]], high, 0);
    score_a += change;
    if (ends_a.due(score_a) && ends_a.next(score_a, score_a - change, j + 1)) report(first, ends_a, first_hits);
  }
  for (size_t j = common; j < second.size(); ++j) {
    const int change = b.step(eq[second[j]], high, 0);
    score_b += change;
    if (ends_b.due(score_b) && ends_b.next(score_b, score_b - change, j + 1)) report(second, ends_b, second_hits);
  }
  if (ends_a.pending()) report(first, ends_a, first_hits);
  if (ends_b.pending()) report(second, ends_b, second_hits);
}

void SearchPattern::find(std::span<const uint8_t> text, uint32_t max_edits, std::vector<PatternHit>& hits) const {
  if (length_ <= 32)
    find_in<uint32_t>(text, bound(max_edits), hits);
  else
    find_in<uint64_t>(text, bound(max_edits), hits);
}

void SearchPattern::find_both(std::span<const uint8_t> first, std::span<const uint8_t> second, uint32_t max_edits,
                              std::vector<PatternHit>& first_hits, std::vector<PatternHit>& second_hits) const {
  if (length_ <= 32)
    find_in_both<uint32_t>(first, second, bound(max_edits), first_hits, second_hits);
  else
    find_in_both<uint64_t>(first, second, bound(max_edits), first_hits, second_hits);
}

void SearchPattern::scores(std::span<const uint8_t> text, std::vector<uint8_t>& scores) const {
  scores.resize(text.size());
  const uint64_t high = uint64_t{1} << (length_ - 1);
  Column<uint64_t> column;
  auto score = static_cast<int>(length_);
  for (size_t j = 0; j < text.size(); ++j) {
    score += column.step(forward_[clamp_code(text[j])], high, 0);
    scores[j] = static_cast<uint8_t>(score);
  }
}

void SearchPattern::hits_of_scores(std::span<const uint8_t> text, std::span<const uint8_t> scores, uint32_t max_edits,
                                   std::vector<PatternHit>& hits) const {
  EndTracker ends(bound(max_edits));
  auto previous = static_cast<uint32_t>(length_);
  for (size_t j = 0; j < scores.size(); ++j) {
    if (ends.next(scores[j], previous, j + 1))
      hits.push_back(PatternHit{start_of(text, ends.end(), ends.edits()), ends.end(), ends.edits()});
    previous = scores[j];
  }
  if (ends.pending()) hits.push_back(PatternHit{start_of(text, ends.end(), ends.edits()), ends.end(), ends.edits()});
}

size_t SearchPattern::start_of(std::span<const uint8_t> text, size_t end, uint32_t edits) const noexcept {
  // Backwards from `end`, the reversed pattern anchored there: after c
  // letters the bottom row holds the edit distance of the pattern and the
  // c letters before `end`. No alignment with `edits` edits is longer than
  // the pattern plus `edits` insertions.
  const uint64_t high = uint64_t{1} << (length_ - 1);
  Column<uint64_t> column;
  auto score = static_cast<uint32_t>(length_);
  const size_t longest = std::min(end, length_ + edits);
  for (size_t c = 1; c <= longest; ++c) {
    score += column.step(backward_[clamp_code(text[end - c])], high, 1);
    if (score <= edits) return end - c;
  }
  // Unreachable for a true D(end - 1); the widest span otherwise.
  return end - longest;
}

}  // namespace mendseqs
