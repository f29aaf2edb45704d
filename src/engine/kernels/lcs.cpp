#include "kernels/lcs.hpp"

#include <algorithm>
#include <bit>

#include "kernels/match_words.hpp"

namespace mendseqs {
namespace {

// Above this many mask words (8 MiB) a query keeps the positions of each
// character instead of dense masks: only text with a great many distinct
// characters gets there.
constexpr size_t max_mask_words = size_t{1} << 20;

}  // namespace

QueryPattern::QueryPattern(const Text& query) : length_(query.length()), words_((length_ + 63) / 64) {
  // Numbers in order of first appearance, as the reference blocks number
  // theirs (one numbering, kernels/alphabet.hpp).
  std::vector<uint32_t> number_of(length_);
  query.visit([&](auto code_points) {
    for (size_t i = 0; i < code_points.size(); ++i) number_of[i] = alphabet_.add(code_points[i]);
  });
  const size_t distinct = alphabet_.size();

  if (distinct <= max_mask_words / std::max<size_t>(words_, 1)) {
    masks_.assign(distinct * words_, 0);
    for (size_t i = 0; i < length_; ++i) masks_[number_of[i] * words_ + i / 64] |= uint64_t{1} << (i % 64);
    return;
  }
  // Counting sort of the positions by character number.
  offsets_.assign(distinct + 1, 0);
  for (const uint32_t n : number_of) ++offsets_[n + 1];
  for (size_t n = 0; n < distinct; ++n) offsets_[n + 1] += offsets_[n];
  positions_.resize(length_);
  std::vector<size_t> next(offsets_.begin(), offsets_.end() - 1);
  for (size_t i = 0; i < length_; ++i) positions_[next[number_of[i]]++] = i;
}

uint32_t QueryPattern::number(char32_t character) const noexcept { return alphabet_.number(character); }

void QueryPattern::match_words(uint32_t number, size_t first, size_t last, uint64_t* out,
                               std::vector<size_t>& cursor) const noexcept {
  std::fill(out, out + (last - first + 1), uint64_t{0});
  const size_t begin = offsets_[number], end = offsets_[number + 1];
  size_t at = begin + cursor[number];
  while (at < end && positions_[at] / 64 < first) ++at;
  cursor[number] = at - begin;
  for (; at < end && positions_[at] / 64 <= last; ++at)
    out[positions_[at] / 64 - first] |= uint64_t{1} << (positions_[at] % 64);
}

}  // namespace mendseqs
