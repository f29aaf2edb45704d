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
// (or the text ends) rather than fall further.
class EndTracker {
 public:
  EndTracker(uint32_t length, uint32_t limit) : previous_(length), limit_(limit) {}

  // Whether the score at end `end` completes a hit (then `hit()` has it).
  bool next(uint32_t score, size_t end) noexcept {
    bool completed = false;
    // Scores above the bound with nothing pending change nothing: the
    // common case, kept free of unpredictable branches.
    if (score <= limit_ || pending_) [[unlikely]] {
      if (score < previous_) {
        pending_ = score <= limit_;
        end_ = end;
        edits_ = score;
      } else if (score > previous_ && pending_) {
        pending_ = false;
        completed = true;
      }
    }
    previous_ = score;
    return completed;
  }
  bool pending() const noexcept { return pending_; }
  size_t end() const noexcept { return end_; }
  uint32_t edits() const noexcept { return edits_; }

 private:
  uint32_t previous_;
  uint32_t limit_;
  bool pending_ = false;
  size_t end_ = 0;
  uint32_t edits_ = 0;
};

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
  Word eq[unmatched_code + 1];
  for (size_t c = 0; c <= unmatched_code; ++c) eq[c] = static_cast<Word>(forward_[c]);
  const auto high = static_cast<Word>(Word{1} << (length_ - 1));
  Column<Word> column;
  auto score = static_cast<uint32_t>(length_);
  EndTracker ends(score, limit);
  for (size_t j = 0; j < text.size(); ++j) {
    score += column.step(eq[clamp_code(text[j])], high, 0);
    if (ends.next(score, j + 1)) [[unlikely]]
      hits.push_back(PatternHit{start_of(text, ends.end(), ends.edits()), ends.end(), ends.edits()});
  }
  if (ends.pending()) hits.push_back(PatternHit{start_of(text, ends.end(), ends.edits()), ends.end(), ends.edits()});
}

template <class Word>
void SearchPattern::find_in_both(std::span<const uint8_t> first, std::span<const uint8_t> second, uint32_t limit,
                                 std::vector<PatternHit>& first_hits, std::vector<PatternHit>& second_hits) const {
  Word eq[unmatched_code + 1];
  for (size_t c = 0; c <= unmatched_code; ++c) eq[c] = static_cast<Word>(forward_[c]);
  const auto high = static_cast<Word>(Word{1} << (length_ - 1));
  // Two independent chains in one loop: each step is a chain of dependent
  // operations, so the processor runs the other text's step beside it.
  Column<Word> a, b;
  auto score_a = static_cast<uint32_t>(length_), score_b = score_a;
  EndTracker ends_a(score_a, limit), ends_b(score_b, limit);
  const size_t common = std::min(first.size(), second.size());
  for (size_t j = 0; j < common; ++j) {
    score_a += a.step(eq[clamp_code(first[j])], high, 0);
    score_b += b.step(eq[clamp_code(second[j])], high, 0);
    if (ends_a.next(score_a, j + 1)) [[unlikely]]
      first_hits.push_back(PatternHit{start_of(first, ends_a.end(), ends_a.edits()), ends_a.end(), ends_a.edits()});
    if (ends_b.next(score_b, j + 1)) [[unlikely]]
      second_hits.push_back(PatternHit{start_of(second, ends_b.end(), ends_b.edits()), ends_b.end(), ends_b.edits()});
  }
  // The longer text's remainder alone.
  for (size_t j = common; j < first.size(); ++j) {
    score_a += a.step(eq[clamp_code(first[j])], high, 0);
    if (ends_a.next(score_a, j + 1)) [[unlikely]]
      first_hits.push_back(PatternHit{start_of(first, ends_a.end(), ends_a.edits()), ends_a.end(), ends_a.edits()});
  }
  for (size_t j = common; j < second.size(); ++j) {
    score_b += b.step(eq[clamp_code(second[j])], high, 0);
    if (ends_b.next(score_b, j + 1)) [[unlikely]]
      second_hits.push_back(PatternHit{start_of(second, ends_b.end(), ends_b.edits()), ends_b.end(), ends_b.edits()});
  }
  if (ends_a.pending())
    first_hits.push_back(PatternHit{start_of(first, ends_a.end(), ends_a.edits()), ends_a.end(), ends_a.edits()});
  if (ends_b.pending())
    second_hits.push_back(PatternHit{start_of(second, ends_b.end(), ends_b.edits()), ends_b.end(), ends_b.edits()});
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
  EndTracker ends(static_cast<uint32_t>(length_), bound(max_edits));
  for (size_t j = 0; j < scores.size(); ++j)
    if (ends.next(scores[j], j + 1))
      hits.push_back(PatternHit{start_of(text, ends.end(), ends.edits()), ends.end(), ends.edits()});
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
