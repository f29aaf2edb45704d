// The bit-parallel pattern search against the full dynamic-programming
// table (reference/pattern_search.hpp): every hit, its edit count and its
// start, on random texts with edited copies of the pattern planted in them.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kernels/approximate_search.hpp"
#include "pattern_search.hpp"
#include "support/dna.hpp"

namespace mendseqs {
namespace {

// One alphabet for the index and the reads: the index takes A, C, G, T as
// written (it compares characters exactly), the reads either case; a
// complement is its own inverse and pairs A with T, C with G.
TEST(Letters, OneCodeForTheIndexAndTheReads) {
  for (char32_t c = 0; c < 0x180; ++c) {
    const bool upper = c == U'A' || c == U'C' || c == U'G' || c == U'T';
    const bool lower = c == U'a' || c == U'c' || c == U'g' || c == U't';
    EXPECT_EQ(upper_base_code(c) != unmatched_code, upper) << static_cast<uint32_t>(c);
    EXPECT_EQ(base_code(c), lower ? upper_base_code(c - 32) : upper_base_code(c)) << static_cast<uint32_t>(c);
  }
  for (uint8_t code = 0; code <= unmatched_code; ++code) {
    EXPECT_EQ(complement_code(complement_code(code)), code);
    EXPECT_EQ(base_code(static_cast<unsigned char>(base_letter(code))), code);
  }
  EXPECT_EQ(base_letter(complement_code(base_code(U'a'))), 'T');
  EXPECT_EQ(base_letter(complement_code(base_code(U'C'))), 'G');
  EXPECT_EQ(base_letter(200), 'N');
}

std::vector<uint8_t> random_codes(std::mt19937_64& rng, size_t length, unsigned alphabet = 4) {
  std::vector<uint8_t> codes(length);
  for (uint8_t& code : codes) code = static_cast<uint8_t>(rng() % alphabet);
  return codes;
}

// The pattern with `edits` random substitutions, insertions and deletions;
// one in ten substitutions writes an unmatched letter (N) or a stray byte.
std::vector<uint8_t> edited(std::mt19937_64& rng, std::vector<uint8_t> codes, size_t edits) {
  for (size_t e = 0; e < edits && !codes.empty(); ++e) {
    const size_t at = rng() % codes.size();
    const auto letter = static_cast<uint8_t>(rng() % 10 == 0 ? (rng() % 2 ? unmatched_code : 200) : rng() % 4);
    switch (rng() % 3) {
      case 0:
        codes[at] = letter;
        break;
      case 1:
        codes.insert(codes.begin() + static_cast<long>(at), letter);
        break;
      default:
        codes.erase(codes.begin() + static_cast<long>(at));
        break;
    }
  }
  return codes;
}

std::vector<reference::SearchHit> kernel_hits(const SearchPattern& pattern, std::span<const uint8_t> text,
                                              uint32_t bound) {
  std::vector<PatternHit> found;
  pattern.find(text, bound, found);
  std::vector<reference::SearchHit> hits;
  hits.reserve(found.size());
  for (const PatternHit& hit : found) hits.push_back({hit.start, hit.end, hit.edits});
  return hits;
}

std::vector<reference::SearchHit> hits_from_scores(const SearchPattern& pattern, std::span<const uint8_t> text,
                                                   uint32_t bound) {
  std::vector<uint8_t> scores;
  pattern.scores(text, scores);
  std::vector<PatternHit> found;
  pattern.hits_of_scores(text, scores, bound, found);
  std::vector<reference::SearchHit> hits;
  hits.reserve(found.size());
  for (const PatternHit& hit : found) hits.push_back({hit.start, hit.end, hit.edits});
  return hits;
}

TEST(ApproximateSearch, HitsScoresAndStartsAgreeWithTheFullTable) {
  std::mt19937_64 rng(23);
  for (int round = 0; round < 1500; ++round) {
    const size_t length = round < 64 ? static_cast<size_t>(round % 64 + 1) : 1 + rng() % 64;
    const std::vector<uint8_t> pattern = random_codes(rng, length);
    // Background of random letters (a small alphabet now and then, for
    // many near-hits), with edited copies of the pattern planted in it.
    std::vector<uint8_t> text = random_codes(rng, rng() % 120, rng() % 4 == 0 ? 2 : 4);
    for (size_t copies = rng() % 4; copies > 0; --copies) {
      const std::vector<uint8_t> copy = edited(rng, pattern, rng() % (length / 4 + 2));
      const size_t at = text.empty() ? 0 : rng() % text.size();
      text.insert(text.begin() + static_cast<long>(at), copy.begin(), copy.end());
    }
    const auto bound = static_cast<uint32_t>(rng() % (length / 3 + 2) + (round % 50 == 0 ? 64 : 0));
    const SearchPattern search(pattern);
    const std::vector<uint32_t> expected_scores = reference::end_scores(pattern, text);
    std::vector<uint8_t> scores;
    search.scores(text, scores);
    ASSERT_EQ(std::vector<uint32_t>(scores.begin(), scores.end()), expected_scores) << "round " << round;
    const std::vector<reference::SearchHit> expected = reference::search(pattern, text, bound);
    ASSERT_EQ(kernel_hits(search, text, bound), expected) << "round " << round << " bound " << bound;
    ASSERT_EQ(hits_from_scores(search, text, bound), expected) << "round " << round;
    // Two texts at once, of other lengths: each its own hits.
    const std::vector<uint8_t> other = edited(rng, text, rng() % 8);
    std::vector<PatternHit> first, second;
    search.find_both(text, other, bound, first, second);
    std::vector<PatternHit> alone;
    search.find(other, bound, alone);
    ASSERT_EQ(first.size(), expected.size()) << "round " << round;
    for (size_t h = 0; h < first.size(); ++h)
      ASSERT_EQ((reference::SearchHit{first[h].start, first[h].end, first[h].edits}), expected[h]);
    ASSERT_EQ(second, alone) << "round " << round;
  }
}

TEST(ApproximateSearch, EdgeCases) {
  const std::vector<uint8_t> pattern = {0, 1, 2, 3};  // ACGT
  const SearchPattern search(pattern);
  // Nothing to search, and a text that is the pattern exactly.
  EXPECT_TRUE(kernel_hits(search, {}, 3).empty());
  const std::vector<uint8_t> exact = {0, 1, 2, 3};
  EXPECT_EQ(kernel_hits(search, exact, 0), (std::vector<reference::SearchHit>{{0, 4, 0}}));
  // Unmatched letters match nothing, not even each other.
  const std::vector<uint8_t> unknown = {4, 4, 4, 4, 255, 255};
  EXPECT_TRUE(kernel_hits(search, unknown, 3).empty());
  // A bound of the pattern's length or more is length - 1: an empty
  // alignment is no hit.
  EXPECT_EQ(kernel_hits(search, unknown, 100), reference::search(pattern, unknown, 100));
  // Patterns of 1 to 64 letters of A, C, G, T only.
  EXPECT_THROW(SearchPattern(std::vector<uint8_t>{}), std::invalid_argument);
  EXPECT_THROW(SearchPattern(std::vector<uint8_t>(65, 0)), std::invalid_argument);
  EXPECT_THROW(SearchPattern(std::vector<uint8_t>{0, 4}), std::invalid_argument);
  // ACG, ACGA and ACGAT are each one edit from ACGT (T deleted, T
  // substituted, A inserted): the plateau's first end is the hit.
  const std::vector<uint8_t> plateau = {0, 1, 2, 0, 3};
  EXPECT_EQ(kernel_hits(search, plateau, 1), (std::vector<reference::SearchHit>{{0, 3, 1}}));
}

}  // namespace
}  // namespace mendseqs
