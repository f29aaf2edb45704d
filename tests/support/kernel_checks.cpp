#include "kernel_checks.hpp"

#include <bit>
#include <vector>

#include "kernels/match_words.hpp"
#include "kernels/simd/kernel_table.hpp"

namespace mendseqs {

// Bit-parallel LCS (Allison and Dix 1986; Hyyro 2004): bit i of `state` is 0
// exactly where the LCS of the reference prefix with query prefix i + 1 grows,
// so the LCS is the number of zero bits once the whole reference is read.
size_t lcs_length(const QueryPattern& query, const Text& reference) {
  if (query.length() == 0 || reference.empty()) return 0;
  const size_t words = query.words();
  std::vector<uint64_t> state(words, ~uint64_t{0});
  MatchWords matches(query);
  reference.visit([&](auto code_points) {
    for (const char32_t c : code_points) {
      const uint64_t* match = matches.get(c, 0, words - 1);
      if (!match) continue;  // no match anywhere: the state is unchanged
      uint64_t carry = 0;
      for (size_t w = 0; w < words; ++w) advance_word(state[w], match[w], carry);
    }
  });
  size_t common = 0;
  for (size_t w = 0; w < words; ++w) {
    uint64_t zeros = ~state[w];
    if (w == words - 1 && query.length() % 64) zeros &= (uint64_t{1} << (query.length() % 64)) - 1;
    common += static_cast<size_t>(std::popcount(zeros));
  }
  return common;
}

}  // namespace mendseqs
