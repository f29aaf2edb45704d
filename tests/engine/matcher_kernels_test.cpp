// The whole selection, as each kernel drives it, against the full-table
// loop: same reference chosen, same guard decision, over lists that mix
// short and long references so blocks, lanes and the banded test all meet.
#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "engine/panic.hpp"
#include "match/matcher.hpp"
#include "oracle.hpp"
#include "random_text.hpp"
#include "texts.hpp"

namespace mendseqs {
namespace {

using testing_text::dna_alphabet;
using testing_text::edited;
using testing_text::mixed_alphabet;
using testing_text::random_text;

// Each block kernel, with the 32-bit block filter and with the exact one.
class SelectionTest : public ::testing::TestWithParam<std::tuple<Isa, bool>> {
 protected:
  Isa kernel() const { return std::get<0>(GetParam()); }
  bool int32_filters() const { return std::get<1>(GetParam()); }

  void SetUp() override {
    if (!isa_supported(kernel())) GTEST_SKIP() << "processor lacks " << isa_name(kernel());
  }

  void expect_same_selection(const std::vector<std::string>& references, const std::string& query, intptr_t max_flex) {
    const test_support::Texts texts(references);
    const ReferenceSet set(texts, kernel(), int32_filters());
    const auto expected = oracle::correct_seq(references, query, max_flex);
    NoHooks hooks;
    Checkpoint checkpoint(hooks);
    const test_support::T query_text(query);
    if (expected) {
      const auto found = first_accepted(set, query_text, max_flex, checkpoint);
      ASSERT_EQ(found ? references[*found] : std::string(), *expected) << "query " << query << " max_flex " << max_flex;
    } else {
      ASSERT_THROW(first_accepted(set, query_text, max_flex, checkpoint), Panic)
          << "query " << query << " max_flex " << max_flex;
    }
  }
};

TEST_P(SelectionTest, ShortAndLongReferencesInOneList) {
  std::mt19937_64 rng(606);
  for (int round = 0; round < 60; ++round) {
    const auto& alphabet = round % 3 ? dna_alphabet : mixed_alphabet;
    std::vector<std::string> references;
    const size_t count = 1 + rng() % 150;  // up to three blocks
    for (size_t i = 0; i < count; ++i) {
      const size_t length = rng() % 8 == 0 ? 65 + rng() % 100 : rng() % 65;
      references.push_back(random_text(rng, length, alphabet));
    }
    for (int q = 0; q < 8; ++q) {
      const std::string& source = references[rng() % references.size()];
      const std::string query =
          q % 4 == 0 ? random_text(rng, source.size(), alphabet) : edited(rng, source, rng() % 6, alphabet);
      expect_same_selection(references, query, static_cast<intptr_t>(rng() % 7) - 1);
      if (q == 0) expect_same_selection(references, query, round % 2 ? INTPTR_MAX : 40);
    }
  }
}

TEST_P(SelectionTest, GuardFiresAtTheSameReferenceAsTheLoop) {
  // A reference that trips the guard, placed before, inside and after the
  // block of the one that would be accepted.
  const std::string query = "ACGTACGTAC";
  for (size_t guard_at : {0, 5, 63, 64, 70})
    for (size_t accept_at : {1, 6, 40, 64, 100}) {
      std::vector<std::string> references(120, "TTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTT");  // filtered by length
      references[accept_at] = "ACGTACGTAA";
      references[guard_at] = "ACGTAC";  // trips the guard with 7 > min(10, 6), accepted with 4
      expect_same_selection(references, query, 7);
      expect_same_selection(references, query, 4);
    }
}

TEST_P(SelectionTest, ManyDistinctCharactersFallBackToOneByOne) {
  // So many distinct characters that the block masks would outgrow their
  // budget: short references are then compared one at a time.
  std::vector<std::string> references;
  char32_t next = 0x4E00;
  for (int i = 0; i < 400; ++i) {
    std::string text;
    for (int c = 0; c < 64; ++c, ++next) test_support::append_utf8(text, next);
    references.push_back(text);
  }
  const test_support::Texts texts(references);
  const ReferenceSet set(texts, kernel(), int32_filters());
  EXPECT_EQ(set.blocks().lane(0), no_lane);
  std::mt19937_64 rng(707);
  for (int q = 0; q < 20; ++q) {
    const std::string& source = references[rng() % references.size()];
    expect_same_selection(references, q % 2 ? source : source.substr(3) + "A", 2);
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, SelectionTest, ::testing::Combine(::testing::ValuesIn(all_isas), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(isa_name(std::get<0>(info.param))) +
                                  (std::get<1>(info.param) ? "_int32_filter" : "_exact_filter");
                         });

}  // namespace
}  // namespace mendseqs
