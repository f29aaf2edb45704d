#include "kernels/lcs_banded.hpp"

#include <algorithm>
#include <bit>
#include <vector>

#include "kernels/match_words.hpp"

namespace mendseqs {
namespace {

// How often the bound is checked, in reference characters.
constexpr size_t check_interval = 64;

// What a comparison is asked: whether the LCS reaches `needed` (it may stop
// as soon as that is known), or its value (it may stop only once the value
// is known to fall short).
enum class Want { reach, value };

// Queries of up to 64 characters: one word, no band needed; always dense.
// Returns the count: at least `needed` exactly when the LCS is, and then
// the LCS itself when Want::value.
template <Want want, class CodePoints>
size_t common_in_one_word(const QueryPattern& query, CodePoints reference, size_t needed, Checkpoint& checkpoint) {
  uint64_t state = ~uint64_t{0};
  for (size_t read = 1; read <= reference.size(); ++read) {
    const uint32_t number = query.number(reference[read - 1]);
    if (number != QueryPattern::absent) state = lcs_step(state, *query.mask(number));
    if (read % check_interval == 0) {
      // Bits above the query's length stay set: ~state counts matches only.
      const auto common = static_cast<size_t>(std::popcount(~state));
      if (want == Want::reach && common >= needed) return common;
      if (common + (reference.size() - read) < needed) return common;
      checkpoint.charge(check_interval);
    }
  }
  return static_cast<size_t>(std::popcount(~state));
}

// The band: after reading t reference characters, only query rows i (prefix
// lengths) with t - max_flex <= i <= t + Lq - Lr + max_flex can lie on an
// alignment good enough to accept. Words wholly below that range are frozen
// (their matches counted once), words above it have not been touched yet and
// still hold all ones. Leaving both out only ever lowers the count below the
// true LCS, never below the best alignment inside the band, so the count
// reaches `needed` exactly when the true LCS does; and then an optimal
// alignment lies inside the band, so the count is the LCS itself.
class Band {
 public:
  Band(size_t query_length, size_t reference_length, size_t max_flex)
      : words_((query_length + 63) / 64), below_(max_flex + 1), above_(query_length - reference_length + max_flex) {}

  size_t first_word(size_t read) const noexcept { return read > below_ ? (read - below_) / 64 : 0; }
  size_t last_word(size_t read) const noexcept { return std::min(words_ - 1, (read + above_ - 1) / 64); }

 private:
  size_t words_;
  size_t below_;  // row i = read - max_flex is bit i - 1
  size_t above_;  // Lq - Lr + max_flex, never negative here
};

template <Want want, class CodePoints>
size_t common_in_band(const QueryPattern& query, CodePoints reference, size_t max_flex, size_t needed,
                      Checkpoint& checkpoint) {
  const size_t reference_length = reference.size();
  const Band band(query.length(), reference_length, max_flex);
  std::vector<uint64_t> state(query.words(), ~uint64_t{0});
  MatchWords matches(query);
  size_t first = 0;          // lowest word still advanced
  size_t frozen_common = 0;  // matches counted in the frozen words
  for (size_t read = 1; read <= reference_length; ++read) {
    for (const size_t lowest = band.first_word(read); first < lowest; ++first)
      frozen_common += static_cast<size_t>(std::popcount(~state[first]));
    const size_t last = band.last_word(read);
    if (const uint64_t* match = matches.get(reference[read - 1], first, last)) {
      uint64_t carry = 0;
      for (size_t w = first; w <= last; ++w) advance_word(state[w], match[w - first], carry);
    }
    if (read % check_interval == 0 || read == reference_length) {
      size_t common = frozen_common;
      for (size_t w = first; w <= last; ++w) common += static_cast<size_t>(std::popcount(~state[w]));
      if (read == reference_length) return common;
      if (want == Want::reach && common >= needed) return common;
      if (common + (reference_length - read) < needed) return common;
      checkpoint.charge(check_interval * (last - first + 1));
    }
  }
  return frozen_common;  // only an empty reference gets here: no common character
}

template <Want want>
size_t common_count(const QueryPattern& query, const Text& reference, intptr_t max_flex, Checkpoint& checkpoint) {
  const size_t needed = reference.length() - std::min(reference.length(), static_cast<size_t>(max_flex));
  return reference.visit([&](auto code_points) {
    if (query.words() <= 1) return common_in_one_word<want>(query, code_points, needed, checkpoint);
    return common_in_band<want>(query, code_points, static_cast<size_t>(max_flex), needed, checkpoint);
  });
}

}  // namespace

bool lcs_reaches(const QueryPattern& query, const Text& reference, intptr_t max_flex, Checkpoint& checkpoint) {
  return common_count<Want::reach>(query, reference, max_flex, checkpoint) >=
         reference.length() - static_cast<size_t>(max_flex);
}

size_t lcs_in_band(const QueryPattern& query, const Text& reference, intptr_t max_flex, Checkpoint& checkpoint) {
  return common_count<Want::value>(query, reference, max_flex, checkpoint);
}

}  // namespace mendseqs
