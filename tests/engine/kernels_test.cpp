// Every kernel against the full table: the block kernels (portable and, on
// processors that have it, AVX2) for every lane width, and the banded test
// with early exit for one word and for many.
#include <gtest/gtest.h>

#include <random>

#include "kernel_checks.hpp"
#include "kernels/block_filter.hpp"
#include "kernels/block_kernel.hpp"
#include "kernels/lcs_banded.hpp"
#include "match/matcher.hpp"
#include "oracle.hpp"
#include "random_text.hpp"
#include "texts.hpp"

namespace mendseqs {
namespace {

using test_support::T;
using test_support::Texts;
using testing_text::dna_alphabet;
using testing_text::edited;
using testing_text::mixed_alphabet;
using testing_text::random_text;

class IsaKernelTest : public ::testing::TestWithParam<Isa> {
 protected:
  void SetUp() override {
    if (!isa_supported(GetParam())) GTEST_SKIP() << "processor lacks " << isa_name(GetParam());
  }

  // Compares every lane of every block with the full table: the LCS length
  // itself and the acceptance test for tolerances around it.
  void expect_lanes_agree(const std::vector<std::string>& references, const std::vector<std::string>& queries) {
    const Texts reference_texts(references);
    const ReferenceSet set(reference_texts, GetParam());
    const ReferenceBlocks& blocks = set.blocks();
    std::vector<uint32_t> numbers;
    for (const std::string& query : queries) {
      blocks.alphabet().translate(T(query), numbers);
      for (size_t b = 0; b < blocks.blocks().size(); ++b) {
        const ReferenceBlock& block = blocks.blocks()[b];
        const BlockQuery block_query{block.lane_bits, blocks.masks(b), blocks.lane_lengths(b), numbers};
        uint8_t common[64];
        block_lcs(GetParam(), block_query, common);
        uint64_t accepted[6];
        const intptr_t tolerances[6] = {0, 1, 2, 5, 64, 1000};
        for (int t = 0; t < 6; ++t) accepted[t] = block_accepting_lanes(GetParam(), block_query, tolerances[t]);
        for (int t = 0; t < 6; ++t) ASSERT_EQ(accepted[t] >> block.lanes, 0u) << "an unused lane accepted";
        for (size_t i = block.first; i < block.end; ++i) {
          const uint8_t lane = blocks.lane(i);
          if (lane == no_lane) continue;
          const auto expected = static_cast<intptr_t>(oracle::lcs_length(query, references[i]));
          ASSERT_EQ(common[lane], expected)
              << "query " << query << " reference " << references[i] << " lane bits " << block.lane_bits;
          for (int t = 0; t < 6; ++t)
            ASSERT_EQ((accepted[t] >> lane) & 1, expected >= set.length(i) - tolerances[t] ? 1u : 0u)
                << "query " << query << " reference " << references[i] << " max_flex " << tolerances[t];
        }
      }
    }
  }
};

TEST_P(IsaKernelTest, EveryLaneWidthAgreesWithTheFullTable) {
  std::mt19937_64 rng(101);
  // One list per lane width, the widest reference deciding it, and one
  // mixing widths and long references (which take no lane).
  for (size_t widest : {16, 32, 64}) {
    std::vector<std::string> references;
    for (size_t length : {size_t{0}, size_t{1}, widest / 2, widest - 1, widest})
      for (int copy = 0; copy < 4; ++copy) references.push_back(random_text(rng, length, dna_alphabet));
    std::vector<std::string> queries;
    for (size_t length : {0, 1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129})
      queries.push_back(random_text(rng, length, dna_alphabet));
    for (int round = 0; round < 20; ++round)
      queries.push_back(edited(rng, references[rng() % references.size()], rng() % 5, dna_alphabet));
    expect_lanes_agree(references, queries);
  }
}

TEST_P(IsaKernelTest, MixedListsAndCodePointsAgreeWithTheFullTable) {
  std::mt19937_64 rng(202);
  std::vector<std::string> references;
  references.reserve(150);
  for (int i = 0; i < 150; ++i) references.push_back(random_text(rng, rng() % 90, mixed_alphabet));
  std::vector<std::string> queries;
  queries.reserve(41);
  for (int round = 0; round < 40; ++round)
    queries.push_back(edited(rng, references[rng() % references.size()], rng() % 6, mixed_alphabet));
  queries.push_back("xyz");  // no character in common with any reference
  expect_lanes_agree(references, queries);
}

INSTANTIATE_TEST_SUITE_P(Kernels, IsaKernelTest, ::testing::ValuesIn(all_isas),
                         [](const auto& info) { return std::string(isa_name(info.param)); });

TEST_P(IsaKernelTest, FilterAgreesWithTheDirectComparison) {
  std::mt19937_64 rng(909);
  for (int round = 0; round < 300; ++round) {
    int32_t lengths[64], a_counts[64];
    for (int j = 0; j < 64; ++j) {
      lengths[j] = rng() % 8 == 0 ? unused_filter_entry : static_cast<int32_t>(rng() % 40);
      a_counts[j] = lengths[j] == unused_filter_entry ? unused_filter_entry : static_cast<int32_t>(rng() % 12);
    }
    const auto query_length = static_cast<int32_t>(rng() % 40), query_a_count = static_cast<int32_t>(rng() % 12);
    const int32_t max_flex = round % 50 == 0 ? int32_filter_limit : static_cast<int32_t>(rng() % 8);
    const BlockFilterResult result = block_filter(GetParam(), lengths, a_counts, query_length, query_a_count, max_flex);
    for (int j = 0; j < 64; ++j) {
      const bool passes = std::abs(query_length - lengths[j]) <= max_flex &&
                          std::abs(query_a_count - a_counts[j]) <= max_flex && lengths[j] != unused_filter_entry;
      ASSERT_EQ((result.passing >> j) & 1, passes ? 1u : 0u) << j;
      ASSERT_EQ((result.guarded >> j) & 1, passes && max_flex > std::min(query_length, lengths[j]) ? 1u : 0u) << j;
    }
  }
}

TEST_P(IsaKernelTest, FilterDifferencesUpTo2To31AreNotWrapped) {
  // An unused entry is 2^31 away from a query just below int32_filter_limit:
  // as a signed 32-bit difference that wraps and would pass the filters.
  int32_t lengths[64], a_counts[64];
  std::fill(std::begin(lengths), std::end(lengths), unused_filter_entry);
  std::fill(std::begin(a_counts), std::end(a_counts), unused_filter_entry);
  lengths[5] = a_counts[5] = int32_filter_limit - 1;
  lengths[9] = a_counts[9] = 0;
  for (const int32_t max_flex : {0, 1, int32_filter_limit}) {
    const BlockFilterResult result =
        block_filter(GetParam(), lengths, a_counts, int32_filter_limit - 1, int32_filter_limit - 1, max_flex);
    EXPECT_EQ(result.passing, max_flex == int32_filter_limit ? (uint64_t{1} << 5 | uint64_t{1} << 9) : uint64_t{1} << 5)
        << max_flex;
  }
}

// The banded test must answer exactly "LCS >= Lr - max_flex" for every
// tolerance the filters and the guard let through.
void expect_decisions_agree(std::string_view query, std::string_view reference) {
  const auto n = static_cast<intptr_t>(oracle::code_points(query).size());
  const auto m = static_cast<intptr_t>(oracle::code_points(reference).size());
  const auto common = static_cast<intptr_t>(oracle::lcs_length(query, reference));
  const QueryPattern pattern{T(query)};
  const T reference_text(reference);
  NoHooks hooks;
  Checkpoint checkpoint(hooks);
  for (intptr_t max_flex = std::abs(n - m); max_flex < std::min(n, m) + 1 && max_flex < m; ++max_flex) {
    // Far from the threshold every answer is the same; test around it.
    if (max_flex > std::abs(n - m) + 3 && std::abs(m - max_flex - common) > 3) continue;
    ASSERT_EQ(lcs_reaches(pattern, reference_text, max_flex, checkpoint), common >= m - max_flex)
        << "max_flex " << max_flex << " LCS " << common << "\nquery " << query << "\nreference " << reference;
  }
}

TEST(BandedTest, DecidesAsTheFullTableAroundWordBoundaries) {
  std::mt19937_64 rng(303);
  for (size_t length : {1, 2, 63, 64, 65, 127, 128, 129, 200, 300})
    for (int round = 0; round < 6; ++round) {
      const std::string reference = random_text(rng, length, dna_alphabet);
      const std::string query = edited(rng, reference, rng() % (length / 8 + 2), dna_alphabet);
      expect_decisions_agree(query, reference);
      expect_decisions_agree(reference, query);
    }
}

TEST(BandedTest, NarrowBandsOnLongSequencesDecideAsTheFullTable) {
  // Long enough for the band to leave most words out and the early exit to
  // fire; edits close to the tolerance put the answer near the threshold.
  std::mt19937_64 rng(404);
  for (int round = 0; round < 12; ++round) {
    const std::string reference = random_text(rng, 500 + rng() % 400, round % 2 ? dna_alphabet : mixed_alphabet);
    const std::string query = edited(rng, reference, 5 + rng() % 40, dna_alphabet);
    expect_decisions_agree(query, reference);
  }
  // Unrelated sequences: rejected early, whatever the tolerance.
  const std::string reference = random_text(rng, 700, dna_alphabet);
  expect_decisions_agree(random_text(rng, 690, dna_alphabet), reference);
}

TEST(BandedTest, OneWordQueriesAgainstLongerReferences) {
  std::mt19937_64 rng(505);
  for (int round = 0; round < 40; ++round) {
    const std::string query = random_text(rng, 40 + rng() % 25, mixed_alphabet);
    expect_decisions_agree(query, edited(rng, query + query, rng() % 30, mixed_alphabet));
  }
}

}  // namespace
}  // namespace mendseqs
