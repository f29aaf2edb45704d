#include "kernels/lcs.hpp"
#include "kernel_checks.hpp"
#include "kernels/lcs_banded.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "oracle.hpp"
#include "random_text.hpp"
#include "texts.hpp"

namespace mendseqs {
namespace {

using test_support::T;
using testing_text::dna_alphabet;
using testing_text::random_text;

TEST(Lcs, EmptySidesHaveNothingInCommon) {
  EXPECT_EQ(lcs_length(QueryPattern(T("")), T("ACGT")), 0u);
  EXPECT_EQ(lcs_length(QueryPattern(T("ACGT")), T("")), 0u);
  EXPECT_EQ(lcs_length(QueryPattern(T("")), T("")), 0u);
}

TEST(Lcs, KnownPairs) {
  EXPECT_EQ(lcs_length(QueryPattern(T("ACGT")), T("ACGA")), 3u);
  EXPECT_EQ(lcs_length(QueryPattern(T("AGGTAB")), T("GXTXAYB")), 4u);
  EXPECT_EQ(lcs_length(QueryPattern(T("aaaa")), T("AAAA")), 0u);  // case-sensitive
}

// Word boundaries are where a multi-word carry goes wrong.
TEST(Lcs, AgreesWithFullTableAroundWordBoundaries) {
  std::mt19937_64 rng(7);
  for (size_t query_length : {0, 1, 2, 63, 64, 65, 127, 128, 129, 200})
    for (size_t reference_length : {0, 1, 63, 64, 65, 128, 129, 190})
      for (int round = 0; round < 3; ++round) {
        const std::string query = random_text(rng, query_length, dna_alphabet);
        const std::string reference = random_text(rng, reference_length, dna_alphabet);
        ASSERT_EQ(lcs_length(QueryPattern(T(query)), T(reference)), oracle::lcs_length(query, reference))
            << query << " / " << reference;
      }
}

TEST(Lcs, CarryRunsAcrossManyWords) {
  // All-equal text makes the addition carry through every word at once.
  const std::string query(300, 'A');
  EXPECT_EQ(lcs_length(QueryPattern(T(query)), T(std::string(250, 'A'))), 250u);
  EXPECT_EQ(lcs_length(QueryPattern(T(query)), T(std::string(301, 'A'))), 300u);
}

// The step on two words with a carry between them is the step on one
// 128-bit number, here added bit by bit: the banded kernel's multi-word
// state relies on it.
TEST(Lcs, CarriedStepIsTheWideStep) {
  const auto bit = [](const uint64_t (&x)[2], size_t i) { return (x[i / 64] >> (i % 64)) & 1; };
  std::mt19937_64 rng(11);
  for (int round = 0; round < 500; ++round) {
    // Few zeros in the state make long carries, across the words too.
    const uint64_t state[2] = {rng() | rng() | rng(), round % 2 ? ~uint64_t{0} : rng() | rng()};
    const uint64_t match[2] = {rng(), rng()};
    const uint64_t u[2] = {state[0] & match[0], state[1] & match[1]};
    uint64_t expected[2] = {0, 0};
    for (uint64_t i = 0, carry = 0; i < 128; ++i) {
      const uint64_t sum = bit(state, i) + bit(u, i) + carry;
      carry = sum >> 1;
      expected[i / 64] |= ((sum & 1) | (bit(state, i) & ~bit(u, i) & 1)) << (i % 64);
    }
    uint64_t stepped[2] = {state[0], state[1]};
    uint64_t carry = 0;
    for (size_t w = 0; w < 2; ++w) advance_word(stepped[w], match[w], carry);
    EXPECT_EQ(stepped[0], expected[0]);
    EXPECT_EQ(stepped[1], expected[1]);
    EXPECT_EQ(lcs_step(state[0], match[0]), expected[0]);  // the low word alone: no carry in
  }
}

TEST(Lcs, ComparesCodePointsNotBytes) {
  // U+00E9 and U+00E8 share their first UTF-8 byte; as characters they differ.
  EXPECT_EQ(lcs_length(QueryPattern(T("\xC3\xA9t\xC3\xA9")), T("\xC3\xA8t\xC3\xA9")), 2u);
  std::mt19937_64 rng(11);
  const std::string alphabet[] = {"A", "C", "\xC3\xA9", "\xE2\x96\xA0", "\xF0\x9F\xA7\xAC"};
  for (int round = 0; round < 200; ++round) {
    std::string query, reference;
    for (int i = rng() % 80; i > 0; --i) query += alphabet[rng() % 5];
    for (int i = rng() % 80; i > 0; --i) reference += alphabet[rng() % 5];
    ASSERT_EQ(lcs_length(QueryPattern(T(query)), T(reference)), oracle::lcs_length(query, reference));
  }
}

TEST(Lcs, MalformedBytesAreCharactersOfTheirOwn) {
  const std::string query =
      "A\xFF"
      "C\xC3";
  EXPECT_EQ(lcs_length(QueryPattern(T(query)), T("\xFF\xC3")), 2u);
  EXPECT_EQ(QueryPattern(T(query)).length(), 4u);
}

}  // namespace
}  // namespace mendseqs

namespace mendseqs {
namespace {

// A text with thousands of distinct characters: too many for dense masks
// over a long query, so the comparison builds only the words it needs.
// Its time must stay bounded by the band (a full table of two 20,000-letter
// texts would be 4 * 10^8 cells), and its answers exact.
TEST(Lcs, ManyDistinctCharactersKeepTheBandAndTheAnswer) {
  std::u32string reference;
  for (char32_t i = 0; i < 20000; ++i) reference.push_back(0x4E00 + (i * 7919) % 4000);
  std::u32string inserted = reference, substituted = reference;
  inserted.insert(inserted.begin() + 12345, U'A');
  substituted[100] = U'A';
  substituted[15000] = U'C';
  const Text r{std::span<const char32_t>(reference)};
  const QueryPattern one_insertion{Text(std::span<const char32_t>(inserted))};
  const QueryPattern two_substitutions{Text(std::span<const char32_t>(substituted))};
  ASSERT_FALSE(one_insertion.dense());
  NoHooks hooks;
  Checkpoint checkpoint(hooks);
  EXPECT_TRUE(lcs_reaches(one_insertion, r, 1, checkpoint));
  EXPECT_FALSE(lcs_reaches(two_substitutions, r, 1, checkpoint));
  EXPECT_TRUE(lcs_reaches(two_substitutions, r, 2, checkpoint));
  EXPECT_EQ(lcs_length(two_substitutions, r), 19998u);
}

}  // namespace
}  // namespace mendseqs
