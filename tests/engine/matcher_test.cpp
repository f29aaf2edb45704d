#include "match/matcher.hpp"

#include <gtest/gtest.h>

#include <random>

#include "engine/messages.hpp"
#include "engine/panic.hpp"
#include "oracle.hpp"
#include "texts.hpp"

namespace mendseqs {
namespace {

std::string correct(const std::vector<std::string>& references, std::string_view query, intptr_t max_flex) {
  const test_support::Texts texts(references);
  NoHooks hooks;
  Checkpoint checkpoint(hooks);
  const auto found = first_accepted(ReferenceSet(texts), test_support::T(query), max_flex, checkpoint);
  return found ? references[*found] : std::string();
}

TEST(Matcher, FirstAcceptableReferenceWinsOverAnExactLaterOne) {
  EXPECT_EQ(correct({"ACGA", "ACGT"}, "ACGT", 1), "ACGA");
  EXPECT_EQ(correct({"ACGT", "ACGT"}, "ACGT", 0), "ACGT");
}

TEST(Matcher, ExactToleranceRejectsAnyChange) {
  EXPECT_EQ(correct({"ACGC", "ACGT"}, "ACGT", 0), "ACGT");  // L = 3 < 4 for ACGC
  EXPECT_EQ(correct({"ACGA"}, "ACGT", 0), "");              // A-count filter
  EXPECT_EQ(correct({}, "ACGT", 2), "");
}

TEST(Matcher, NegativeToleranceRejectsEverythingWithoutTheGuard) {
  EXPECT_EQ(correct({"A", "ACGT"}, "ACGT", -1), "");
  EXPECT_EQ(correct({""}, "", INTPTR_MIN), "");
}

TEST(Matcher, GuardFiresOnlyForAReferenceThatPassedTheFilters) {
  EXPECT_THROW(correct({"ACG"}, "AC", 3), Panic);
  EXPECT_EQ(correct({"GGGGGGG"}, "AC", 3), "");
  EXPECT_THROW(correct({"C"}, "", 1), Panic);
  EXPECT_EQ(correct({""}, "", 0), "");  // an empty reference is accepted
  try {
    correct({"ACG"}, "AC", 3);
    FAIL() << "a tolerance above the query's length must trip the guard";
  } catch (const Panic& failure) {
    EXPECT_EQ(failure.message(), messages::guard);
  }
  // Equal to the shorter length is allowed.
  EXPECT_EQ(correct({"ACG"}, "AC", 2), "ACG");
}

TEST(Matcher, ACountIsCaseSensitive) { EXPECT_EQ(correct({"AAAA"}, "aaaa", 3), ""); }

TEST(Matcher, LengthsAreCountedInCharacters) {
  // Two characters each, though four and two bytes: the guard does not fire.
  EXPECT_EQ(correct({"\xC3\xA9\xC3\xA9"}, "AB", 2), "\xC3\xA9\xC3\xA9");
  EXPECT_EQ(correct({"\xC3\xA9"
                     "C"},
                    "\xC3\xA9G", 1),
            "\xC3\xA9"
            "C");
}

TEST(Matcher, AgreesWithTheFullTableSelection) {
  std::mt19937_64 rng(2024);
  const auto text = [&](size_t max_length) {
    std::string s;
    for (size_t i = rng() % (max_length + 1); i > 0; --i) s += "ACGTa"[rng() % 5];
    return s;
  };
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::string> references;
    for (int i = rng() % 6; i > 0; --i) references.push_back(text(12));
    const std::string query = text(12);
    const intptr_t max_flex = static_cast<intptr_t>(rng() % 7) - 1;
    const auto expected = oracle::correct_seq(references, query, max_flex);
    if (expected) {
      ASSERT_EQ(correct(references, query, max_flex), *expected);
    } else {
      ASSERT_THROW(correct(references, query, max_flex), Panic);
    }
  }
}

// Blocks of 64 references of at most 16 characters are laid out whole,
// others reference by reference: runs of barcodes broken at uneven places
// by longer references, and queries that find references near the breaks.
TEST(Matcher, WholeBlocksAndCutBlocksAgreeWithTheFullTableSelection) {
  std::mt19937_64 rng(64);
  const auto text = [&](size_t length) {
    std::string s;
    for (size_t i = 0; i < length; ++i) s += "ACGT"[rng() % 4];
    return s;
  };
  for (int round = 0; round < 20; ++round) {
    std::vector<std::string> references(400);
    for (std::string& reference : references) reference = text(rng() % 23 == 0 ? 17 + rng() % 40 : 10 + rng() % 7);
    for (int q = 0; q < 40; ++q) {
      std::string query = references[rng() % references.size()];
      query[rng() % query.size()] = "ACGT"[rng() % 4];
      // Never the guard (no reference is shorter than 2): always an answer.
      ASSERT_EQ(correct(references, query, 2), oracle::correct_seq(references, query, 2).value_or("(the guard)"));
    }
  }
}

}  // namespace
}  // namespace mendseqs
