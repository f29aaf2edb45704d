#include "kernels/approximate_search.hpp"

#include <algorithm>
#include <stdexcept>

namespace mendseqs {
namespace {

// Any byte above the last code reads as unmatched: no table is read out
// of its bounds, whatever the text holds.
inline uint8_t clamp_code(uint8_t code) noexcept { return code < unmatched_code ? code : unmatched_code; }

// One column of the recurrence over the pattern's rows: the vertical
// deltas (pv, mv: +1 and -1 per row) of column j - 1 become those of
// column j. Returns the change of the bottom row's value, -1, 0 or +1.
// `top_carry` is the top row's own horizontal delta: 0 when the pattern
// may start anywhere in the text (search), 1 when it must start at the
// text's first letter (anchored).
inline int step(uint64_t& pv, uint64_t& mv, uint64_t eq, uint64_t high, uint64_t top_carry) noexcept {
  const uint64_t xv = eq | mv;
  const uint64_t xh = (((eq & pv) + pv) ^ pv) | eq;
  uint64_t ph = mv | ~(xh | pv);
  uint64_t mh = pv & xh;
  const int change = static_cast<int>((ph & high) != 0) - static_cast<int>((mh & high) != 0);
  ph = (ph << 1) | top_carry;
  mh <<= 1;
  pv = mh | ~(xv | ph);
  mv = ph & xv;
  return change;
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

void SearchPattern::find(std::span<const uint8_t> text, uint32_t max_edits, std::vector<PatternHit>& hits) const {
  const uint32_t limit = bound(max_edits);
  const uint64_t high = uint64_t{1} << (length_ - 1);
  uint64_t pv = ~uint64_t{0}, mv = 0;
  auto score = static_cast<uint32_t>(length_);  // D before any letter: every pattern letter deleted
  uint32_t previous = score;
  // The first end of the latest descent to at most the bound, until the
  // scores rise again (then it is a hit) or fall further (then a later one
  // replaces it).
  bool pending = false;
  size_t pending_end = 0;
  uint32_t pending_edits = 0;
  const auto emit = [&] {
    hits.push_back(PatternHit{start_of(text, pending_end, pending_edits), pending_end, pending_edits});
    pending = false;
  };
  for (size_t j = 0; j < text.size(); ++j) {
    score += step(pv, mv, forward_[clamp_code(text[j])], high, 0);
    if (score < previous) {
      pending = score <= limit;
      pending_end = j + 1;
      pending_edits = score;
    } else if (score > previous && pending) {
      emit();
    }
    previous = score;
  }
  if (pending) emit();
}

void SearchPattern::scores(std::span<const uint8_t> text, std::vector<uint8_t>& scores) const {
  scores.resize(text.size());
  const uint64_t high = uint64_t{1} << (length_ - 1);
  uint64_t pv = ~uint64_t{0}, mv = 0;
  auto score = static_cast<int>(length_);
  for (size_t j = 0; j < text.size(); ++j) {
    score += step(pv, mv, forward_[clamp_code(text[j])], high, 0);
    scores[j] = static_cast<uint8_t>(score);
  }
}

void SearchPattern::hits_of_scores(std::span<const uint8_t> text, std::span<const uint8_t> scores, uint32_t max_edits,
                                   std::vector<PatternHit>& hits) const {
  const uint32_t limit = bound(max_edits);
  uint32_t previous = static_cast<uint32_t>(length_);
  bool pending = false;
  size_t pending_end = 0;
  for (size_t j = 0; j < scores.size(); ++j) {
    const uint32_t score = scores[j];
    if (score < previous) {
      pending = score <= limit;
      pending_end = j + 1;
    } else if (score > previous && pending) {
      hits.push_back(PatternHit{start_of(text, pending_end, scores[pending_end - 1]), pending_end,
                                scores[pending_end - 1]});
      pending = false;
    }
    previous = score;
  }
  if (pending)
    hits.push_back(
        PatternHit{start_of(text, pending_end, scores[pending_end - 1]), pending_end, scores[pending_end - 1]});
}

size_t SearchPattern::start_of(std::span<const uint8_t> text, size_t end, uint32_t edits) const noexcept {
  // Backwards from `end`, the reversed pattern anchored there: after c
  // letters the bottom row holds the edit distance of the pattern and the
  // c letters before `end`. No alignment with `edits` edits is longer than
  // the pattern plus `edits` insertions.
  const uint64_t high = uint64_t{1} << (length_ - 1);
  uint64_t pv = ~uint64_t{0}, mv = 0;
  auto score = static_cast<uint32_t>(length_);
  const size_t longest = std::min(end, length_ + edits);
  for (size_t c = 1; c <= longest; ++c) {
    score += step(pv, mv, backward_[clamp_code(text[end - c])], high, 1);
    if (score <= edits) return end - c;
  }
  // Unreachable for a true D(end - 1); the widest span otherwise.
  return end - longest;
}

}  // namespace mendseqs
