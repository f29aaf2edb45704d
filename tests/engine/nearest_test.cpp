// The nearest accepted reference, as each kernel measures it, against the
// full table scoring every reference; and the batch around it.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "batch/driver.hpp"
#include "captured_output.hpp"
#include "engine/panic.hpp"
#include "match/matcher.hpp"
#include "oracle.hpp"
#include "random_text.hpp"
#include "support/nearest_summary.hpp"
#include "texts.hpp"

namespace mendseqs {
namespace {

using testing_text::dna_alphabet;
using testing_text::edited;
using testing_text::mixed_alphabet;
using testing_text::random_text;
using Outcome = reference::Selection::Outcome;

// Each block kernel, with the 32-bit block filter and with the exact one.
class NearestTest : public ::testing::TestWithParam<std::tuple<Isa, bool>> {
 protected:
  void SetUp() override {
    if (!isa_supported(std::get<0>(GetParam())))
      GTEST_SKIP() << "processor lacks " << isa_name(std::get<0>(GetParam()));
  }

  // Compares with the full table, and with first_accepted: a reference is
  // found exactly when the first-match rule finds one, never farther.
  void expect_exact(const std::vector<std::string>& references, const std::string& query, intptr_t max_flex) {
    const test_support::Texts texts(references);
    const ReferenceSet set(texts, std::get<0>(GetParam()), std::get<1>(GetParam()));
    NoHooks hooks;
    Checkpoint checkpoint(hooks);
    const test_support::T query_text(query);
    const auto expected = oracle::nearest(references, query, max_flex);
    SCOPED_TRACE("query " + query + " max_flex " + std::to_string(max_flex));
    if (!expected) {
      ASSERT_THROW(nearest_accepted(set, query_text, max_flex, checkpoint), Panic);
      return;
    }
    const NearestMatch found = nearest_accepted(set, query_text, max_flex, checkpoint);
    if (expected->outcome == Outcome::none) {
      ASSERT_EQ(found, NearestMatch{});
    } else {
      ASSERT_EQ(found, (NearestMatch{expected->index, expected->distance, expected->runner_up.value_or(no_distance),
                                     expected->ties}));
    }
    const auto first = first_accepted(set, query_text, max_flex, checkpoint);
    ASSERT_EQ(first.has_value(), found.position != no_match);
    if (first) {
      const size_t first_distance = oracle::code_points(query).size() + oracle::code_points(references[*first]).size() -
                                    2 * oracle::lcs_length(query, references[*first]);
      ASSERT_LE(found.distance, first_distance);
    }
  }
};

TEST_P(NearestTest, RandomListsAgreeWithTheFullTable) {
  std::mt19937_64 rng(1717);
  for (int round = 0; round < 50; ++round) {
    const auto& alphabet = round % 3 ? dna_alphabet : mixed_alphabet;
    std::vector<std::string> references;
    const size_t count = 1 + rng() % 150;  // up to three blocks
    for (size_t i = 0; i < count; ++i) {
      if (i > 0 && rng() % 6 == 0) {  // duplicates and near-duplicates: ties
        references.push_back(edited(rng, references[rng() % i], rng() % 2, alphabet));
        continue;
      }
      const size_t length = rng() % 8 == 0 ? 65 + rng() % 100 : 4 + rng() % 61;
      references.push_back(random_text(rng, length, alphabet));
    }
    for (int q = 0; q < 8; ++q) {
      const std::string& source = references[rng() % references.size()];
      const std::string query =
          q % 4 == 0 ? random_text(rng, source.size(), alphabet) : edited(rng, source, rng() % 4, alphabet);
      expect_exact(references, query, static_cast<intptr_t>(rng() % 5) - 1);  // -1 .. 3
    }
  }
}

TEST_P(NearestTest, LongReferencesAtLargeTolerances) {
  // The banded count at widths where its band spans several words, and at
  // max_flex == Lr, where every alignment is in the band.
  std::mt19937_64 rng(1718);
  for (int round = 0; round < 20; ++round) {
    std::vector<std::string> references;
    references.reserve(12);
    const std::string base = random_text(rng, 70 + rng() % 200, dna_alphabet);
    for (int i = 0; i < 12; ++i) references.push_back(edited(rng, base, rng() % 30, dna_alphabet));
    const std::string query = edited(rng, base, rng() % 30, dna_alphabet);
    for (intptr_t max_flex : {0, 3, 20, 60}) expect_exact(references, query, max_flex);
  }
  expect_exact({std::string(80, 'C'), std::string(90, 'C')}, std::string(90, 'G'), 80);
}

TEST_P(NearestTest, DistanceTiesAndRunnerUp) {
  const std::vector<std::string> references = {"TTTTTTTT", "ACGTACGA", "ACGTACGT", "ACGTACGT", "ACGTAGT"};
  // Two at distance 0: the earlier is chosen, its twin is the runner-up.
  expect_exact(references, "ACGTACGT", 1);
  // One at distance 1 (ACGTAGT), two at 2 (ACGTACGT): runner-up 2.
  expect_exact(references, "ACGTAGT", 1);
  // Only the substituted one within reach: unique, no runner-up.
  expect_exact({"ACGTACGA", "TTTTGGGG"}, "ACGTACGT", 1);
}

TEST_P(NearestTest, AGuardAfterAnAcceptedReferenceStillFails) {
  // The first-match rule stops at the accepted reference before the guard;
  // nearest looks at every candidate, so it meets the guard wherever it is.
  for (size_t guard_at : {1, 63, 64, 120}) {
    std::vector<std::string> references(130, std::string(40, 'T'));
    references[0] = "ACGTACGTAA";
    references[guard_at] = "ACGTAC";
    expect_exact(references, "ACGTACGTAC", 7);
  }
}

TEST_P(NearestTest, ManyDistinctCharactersAreMeasuredOneByOne) {
  std::vector<std::string> references;
  char32_t next = 0x4E00;
  for (int i = 0; i < 300; ++i) {
    std::string text;
    for (int c = 0; c < 40; ++c, ++next) {
      text += static_cast<char>(0xE0 | (next >> 12));
      text += static_cast<char>(0x80 | ((next >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (next & 0x3F));
    }
    references.push_back(text);
  }
  references.push_back(references[7]);
  expect_exact(references, references[7], 2);
  expect_exact(references, references[7].substr(3) + "A", 2);
}

INSTANTIATE_TEST_SUITE_P(Kernels, NearestTest, ::testing::Combine(::testing::ValuesIn(all_isas), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(isa_name(std::get<0>(info.param))) +
                                  (std::get<1>(info.param) ? "_int32_filter" : "_exact_filter");
                         });

// With the candidate index forced, in each layout (the packed one for
// lists of A, C, G and T only): the candidates it names, measured one by
// one, give the full table's answer.
// The one tie rule: a summary of references added in any order, or of
// parts summarised apart and merged, is the summary of all of them added
// in position order; and it reads as the answer the full table gives
// (smallest distance, lowest position, runner-up the same when shared).
TEST(NearestSummary, AnyOrderAndAnySplitGiveOneAnswer) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 500; ++round) {
    std::vector<std::pair<size_t, size_t>> accepted;  // position, distance
    for (size_t i = 0, n = rng() % 8; i < n; ++i) accepted.emplace_back(rng() % 40, rng() % 4);
    std::sort(accepted.begin(), accepted.end());
    accepted.erase(
        std::unique(accepted.begin(), accepted.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
        accepted.end());

    NearestMatch expected;
    for (const auto& [position, distance] : accepted) {
      if (distance < expected.distance) {
        expected.position = position;
        expected.distance = distance;
      }
    }
    for (const auto& [position, distance] : accepted) {
      if (distance == expected.distance)
        ++expected.ties;
      else if (distance < expected.runner_up)
        expected.runner_up = distance;
    }
    if (expected.ties > 1) expected.runner_up = expected.distance;

    NearestSummary in_order;
    for (const auto& [position, distance] : accepted) in_order.add(position, distance);
    EXPECT_EQ(in_order.result(), expected);

    std::shuffle(accepted.begin(), accepted.end(), rng);
    NearestSummary parts[3], merged;
    for (const auto& [position, distance] : accepted) parts[rng() % 3].add(position, distance);
    for (const NearestSummary& part : parts) merged.merge(part);
    EXPECT_EQ(merged, in_order);
  }
}

TEST(NearestIndex, SameAsTheFullTableWithTheIndexForced) {
  std::mt19937_64 rng(1720);
  size_t guards = 0, found = 0, visited = 0;
  for (intptr_t k = 0; k <= 3; ++k)
    for (int round = 0; round < 9; ++round) {
      const auto& alphabet = round % 3 == 0 ? mixed_alphabet : dna_alphabet;
      const auto layout = round % 3 == 2 ? CandidateIndex::Layout::hashed : CandidateIndex::Layout::automatic;
      std::vector<std::string> references;
      for (int i = 0; i < 300; ++i) {
        if (i > 0 && rng() % 5 == 0) {
          references.push_back(references[rng() % references.size()]);  // duplicates: ties
        } else {
          // Mostly barcodes; a few short enough to trip the guard, or of length k.
          const size_t length = rng() % 15 == 0 ? rng() % (2 * k + 1) : 8 + rng() % 5;
          references.push_back(random_text(rng, length, alphabet));
        }
      }
      const test_support::Texts texts(references);
      ReferenceSet set(texts);
      NoHooks hooks;
      Checkpoint checkpoint(hooks);
      set.prepare_index(k, 1000, 1, checkpoint, CandidateIndex::Choice::always, layout);
      ASSERT_NE(set.index(k), nullptr);
      for (int q = 0; q < 40; ++q) {
        const std::string query = q % 5 == 0 ? random_text(rng, 6 + rng() % 9, alphabet)
                                             : edited(rng, references[rng() % references.size()], rng() % 4, alphabet);
        const auto expected = oracle::nearest(references, query, k);
        const test_support::T query_text(query);
        SCOPED_TRACE("query " + query + " k " + std::to_string(k));
        set.index(k)->for_each_candidate(query_text, [&](size_t) { ++visited; });
        if (!expected) {
          ++guards;
          ASSERT_THROW(nearest_accepted(set, query_text, k, checkpoint), Panic);
          continue;
        }
        const NearestMatch match = nearest_accepted(set, query_text, k, checkpoint);
        found += match.position != no_match;
        if (expected->outcome == Outcome::none) {
          ASSERT_EQ(match, NearestMatch{});
        } else {
          ASSERT_EQ(match, (NearestMatch{expected->index, expected->distance, expected->runner_up.value_or(no_distance),
                                         expected->ties}));
        }
      }
    }
  EXPECT_GT(guards, 10u);
  EXPECT_GT(found, 300u);
  EXPECT_GT(visited, 500u);  // the candidates did the work
}

// The batch: the same bytes as correct_seq_mt, the same answers on any
// number of threads, and a failure where any query meets the guard.
TEST(NearestBatch, SameProgressAndAnswersAsTheFirstMatchRunOnAnyThreads) {
  std::mt19937_64 rng(1719);
  test_support::Strings references, queries;
  for (int i = 0; i < 200; ++i) references.push_back(random_text(rng, 12, dna_alphabet));
  for (int i = 0; i < 301; ++i) queries.push_back(edited(rng, references[rng() % 200], rng() % 3, dna_alphabet));
  const test_support::Texts reference_texts(references), query_texts(queries);
  NoHooks hooks;
  std::vector<NearestMatch> serial;
  for (uint32_t threads : {1u, 2u, 3u, 7u}) {
    test_support::CapturedOutput first_out, nearest_out;
    const std::vector<Position> first =
        correct_seq_mt(reference_texts, query_texts, 2, threads, hooks, first_out.stream());
    const std::vector<NearestMatch> found =
        nearest(reference_texts, query_texts, 2, threads, hooks, nearest_out.stream());
    EXPECT_EQ(nearest_out.bytes(), first_out.bytes()) << threads << " threads";
    ASSERT_EQ(found.size(), queries.size());
    for (size_t q = 0; q < queries.size(); ++q) EXPECT_EQ(found[q].position == no_match, first[q] == no_match);
    if (threads == 1) serial = found;
    EXPECT_EQ(found, serial) << threads << " threads";
  }
}

TEST(NearestBatch, AGuardInAWorkerFailsTheCallWithTheGuardsOwnMessage) {
  test_support::Strings queries(40, "ACGTACGT");
  queries[25] = "AC";  // passes against ACG with max_flex 3, and trips the guard
  const test_support::Texts reference_texts(test_support::Strings{"ACGTACGT", "ACG"}), query_texts(queries);
  NoHooks hooks;
  test_support::CapturedOutput out;
  try {
    nearest(reference_texts, query_texts, 3, 4, hooks, out.stream());
    FAIL() << "expected a failure";
  } catch (const Panic& failure) {
    EXPECT_EQ(failure.message(), "max_flex cannot be greater than the length of the sequences.");
  }
  EXPECT_EQ(out.bytes().find('\n'), std::string::npos);
  test_support::CapturedOutput serial_out;
  try {
    nearest(reference_texts, test_support::Texts(test_support::Strings{"AC"}), 3, 1, hooks, serial_out.stream());
    FAIL() << "expected the guard";
  } catch (const Panic& failure) {
    EXPECT_EQ(failure.message(), "max_flex cannot be greater than the length of the sequences.");
  }
}

}  // namespace
}  // namespace mendseqs
