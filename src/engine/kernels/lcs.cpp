#include "kernels/lcs.hpp"

#include <algorithm>
#include <bit>
#include <unordered_map>

#include "support/utf8.hpp"

namespace mendseqs {
namespace {

// Above this many mask words (8 MiB) a query is compared by the plain
// two-row recurrence instead: only text with a great many distinct
// characters gets there.
constexpr size_t max_mask_words = size_t{1} << 20;

std::vector<char32_t> decode(std::string_view text) {
  std::vector<char32_t> code_points;
  code_points.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) code_points.push_back(utf8::next(text, pos));
  return code_points;
}

// The textbook recurrence with two rows of the table, for queries without masks.
size_t lcs_by_rows(std::string_view query, std::string_view reference) {
  const std::vector<char32_t> q = decode(query);
  std::vector<size_t> previous(q.size() + 1, 0), current(q.size() + 1, 0);
  for (size_t pos = 0; pos < reference.size();) {
    const char32_t r = utf8::next(reference, pos);
    for (size_t i = 1; i <= q.size(); ++i)
      current[i] = q[i - 1] == r ? previous[i - 1] + 1 : std::max(previous[i], current[i - 1]);
    std::swap(previous, current);
  }
  return previous[q.size()];
}

}  // namespace

QueryPattern::QueryPattern(std::string_view query) : text_(query) {
  const std::vector<char32_t> code_points = decode(query);
  length_ = code_points.size();
  words_ = (length_ + 63) / 64;

  // Slots in order of first appearance: a table for ASCII, a map for the
  // rest while building (a sorted list afterwards, for lookups).
  std::vector<uint32_t> slot_of(length_);
  std::unordered_map<char32_t, uint32_t> other_slots;
  uint32_t distinct = 0;
  for (size_t i = 0; i < length_; ++i) {
    const char32_t c = code_points[i];
    if (c < ascii_slot_.size()) {
      if (!ascii_slot_[c]) ascii_slot_[c] = ++distinct;
      slot_of[i] = ascii_slot_[c] - 1;
    } else {
      const auto [entry, inserted] = other_slots.try_emplace(c, distinct);
      if (inserted) ++distinct;
      slot_of[i] = entry->second;
    }
  }
  if (distinct > max_mask_words / std::max<size_t>(words_, 1)) {
    ascii_slot_.fill(0);
    return;
  }
  other_slots_.assign(other_slots.begin(), other_slots.end());
  std::sort(other_slots_.begin(), other_slots_.end());
  masks_.assign(distinct * words_, 0);
  for (size_t i = 0; i < length_; ++i) masks_[slot_of[i] * words_ + i / 64] |= uint64_t{1} << (i % 64);
}

const uint64_t* QueryPattern::mask(char32_t character) const noexcept {
  if (character < ascii_slot_.size()) {
    const uint32_t slot = ascii_slot_[character];
    return slot ? &masks_[(slot - 1) * words_] : nullptr;
  }
  auto it = std::lower_bound(other_slots_.begin(), other_slots_.end(), character,
                             [](const auto& entry, char32_t c) { return entry.first < c; });
  if (it == other_slots_.end() || it->first != character) return nullptr;
  return &masks_[it->second * words_];
}

// Bit-parallel LCS (Allison and Dix 1986; Hyyro 2004): bit i of `state` is 0
// exactly where the LCS of the reference prefix with query prefix i + 1 grows,
// so the LCS is the number of zero bits once the whole reference is read.
size_t lcs_length(const QueryPattern& query, std::string_view reference) {
  if (query.length() == 0 || reference.empty()) return 0;
  if (!query.has_masks()) return lcs_by_rows(query.text(), reference);

  const size_t words = query.words();
  std::vector<uint64_t> state(words, ~uint64_t{0});
  for (size_t pos = 0; pos < reference.size();) {
    const uint64_t* matches = query.mask(utf8::next(reference, pos));
    if (!matches) continue;  // no match anywhere: the state is unchanged
    uint64_t carry = 0;
    for (size_t w = 0; w < words; ++w) advance_word(state[w], matches[w], carry);
  }
  size_t common = 0;
  for (size_t w = 0; w < words; ++w) {
    uint64_t zeros = ~state[w];
    if (w == words - 1 && query.length() % 64) zeros &= (uint64_t{1} << (query.length() % 64)) - 1;
    common += static_cast<size_t>(std::popcount(zeros));
  }
  return common;
}

}  // namespace mendseqs
