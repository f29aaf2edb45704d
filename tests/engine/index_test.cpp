// The candidate index against a plain scan (both filters, the guard, a full
// LCS table) on the same seeded inputs: same position, same guard, for
// every query.
#include "index/candidate_index.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "engine/host.hpp"
#include "engine/messages.hpp"
#include "engine/panic.hpp"
#include "match/matcher.hpp"
#include "support/distance.hpp"

namespace mendseqs {
namespace {

// Texts stored like CPython's str: the narrowest of 1, 2 or 4 bytes a code
// point that holds every character.
class TextStore {
 public:
  Text add(const std::u32string& text) {
    const char32_t widest = text.empty() ? 0 : *std::max_element(text.begin(), text.end());
    if (widest < 0x100) return Text(narrow_.emplace_back(text.begin(), text.end()));
    if (widest < 0x10000) return Text(std::span<const char16_t>(wide_.emplace_back(text.begin(), text.end())));
    return Text(std::span<const char32_t>(full_.emplace_back(text)));
  }

 private:
  std::deque<std::string> narrow_;
  std::deque<std::u16string> wide_;
  std::deque<std::u32string> full_;
};

size_t lcs(const Text& a, const Text& b) {
  std::vector<size_t> row(b.length() + 1, 0);
  for (size_t i = 0; i < a.length(); ++i)
    for (size_t j = 0, diagonal = 0; j < b.length(); ++j) {
      const size_t up = row[j + 1];
      row[j + 1] = a[i] == b[j] ? diagonal + 1 : std::max(up, row[j]);
      diagonal = up;
    }
  return row[b.length()];
}


// The scan the index must agree with, with the same acceptance test.
std::optional<Decision> scan(const std::vector<Text>& references, const Text& query, intptr_t k,
                             const std::function<bool(size_t)>& accepts) {
  if (k < 0) return std::nullopt;
  const auto flex = static_cast<size_t>(k);
  for (size_t i = 0; i < references.size(); ++i) {
    const Text& r = references[i];
    if (distance(r.length(), query.length()) > flex ||
        distance(count_letter_a(r), count_letter_a(query)) > flex)
      continue;
    if (flex > std::min(r.length(), query.length())) return Decision{i, true};
    if (accepts(i)) return Decision{i, false};
  }
  return std::nullopt;
}

std::u32string random_text(std::mt19937_64& rng, size_t length, const std::u32string& alphabet) {
  std::u32string text;
  for (size_t i = 0; i < length; ++i) text += alphabet[rng() % alphabet.size()];
  return text;
}

std::u32string edited(std::mt19937_64& rng, std::u32string text, size_t edits, const std::u32string& alphabet) {
  for (size_t e = 0; e < edits; ++e) {
    const size_t at = text.empty() ? 0 : rng() % text.size();
    switch (text.empty() ? 1 : rng() % 3) {
      case 0: text[at] = alphabet[rng() % alphabet.size()]; break;
      case 1: text.insert(text.begin() + static_cast<long>(at), alphabet[rng() % alphabet.size()]); break;
      default: text.erase(at, 1); break;
    }
  }
  return text;
}

const std::u32string dna = U"ACGT";
const std::u32string mixed = U"ACGTNa\u00e9\u25a0\U0001F9EC";

struct Case {
  std::vector<Text> references;
  std::vector<Text> queries;
};

// References of mixed lengths around `length` with duplicates and a few
// very short ones that trip the guard, placed anywhere in the list; queries
// are exact copies, edited copies (up to k + 1 edits) and unrelated texts.
Case random_case(TextStore& store, std::mt19937_64& rng, size_t count, size_t length, size_t k,
                 const std::u32string& alphabet) {
  Case c;
  std::vector<std::u32string> texts;
  for (size_t i = 0; i < count; ++i) {
    std::u32string text;
    switch (rng() % 10) {
      case 0: text = random_text(rng, rng() % (k + 1), alphabet); break;  // short: guard or accepted outright
      case 1: if (!texts.empty()) { text = texts[rng() % texts.size()]; break; } [[fallthrough]];
      default: text = random_text(rng, length - 1 + rng() % 3, alphabet);
    }
    texts.push_back(text);
    c.references.push_back(store.add(text));
  }
  for (size_t i = 0; i < 3 * count; ++i) {
    const std::u32string& source = texts[rng() % texts.size()];
    const size_t kind = rng() % 10;
    const std::u32string query = kind < 3   ? source
                                 : kind < 8 ? edited(rng, source, 1 + rng() % (k + 1), alphabet)
                                 : kind < 9 ? random_text(rng, rng() % (k + 2), alphabet)
                                            : random_text(rng, length - 1 + rng() % 3, alphabet);
    c.queries.push_back(store.add(query));
  }
  return c;
}

void expect_same_as_scan(const Case& c, intptr_t k, const std::set<size_t>& vetoed = {}) {
  const auto index = CandidateIndex::build(c.references, k, c.queries.size(), size_t{1} << 30,
                                           CandidateIndex::Choice::always);
  ASSERT_NE(index, nullptr);
  for (const Text& query : c.queries) {
    // Vetoed references fail the test as a hash collision would.
    const auto accepts = [&](size_t i) {
      return !vetoed.contains(i) && static_cast<intptr_t>(lcs(query, c.references[i])) >=
                                        static_cast<intptr_t>(c.references[i].length()) - k;
    };
    std::vector<size_t> asked;
    const auto found = index->first_decisive(query, [&](size_t i) {
      asked.push_back(i);
      return accepts(i);
    });
    ASSERT_EQ(found, scan(c.references, query, k, accepts));
    EXPECT_TRUE(std::is_sorted(asked.begin(), asked.end()) &&
                std::adjacent_find(asked.begin(), asked.end()) == asked.end());
  }
}

TEST(CandidateIndex, SameAsScanOnDna) {
  for (const intptr_t k : {0, 1, 2, 3}) {
    TextStore store;
    std::mt19937_64 rng(static_cast<uint64_t>(k) + 11);
    expect_same_as_scan(random_case(store, rng, 400, 8, static_cast<size_t>(k), dna), k);
  }
}

TEST(CandidateIndex, SameAsScanOnWideAndMixedText) {
  for (const intptr_t k : {1, 2}) {
    TextStore store;
    std::mt19937_64 rng(static_cast<uint64_t>(k) + 21);
    expect_same_as_scan(random_case(store, rng, 300, 6, static_cast<size_t>(k), mixed), k);
  }
}

// A failed test of the first candidate must not hide a later acceptable one.
// (References of length k or less are accepted on the filters alone and
// never collide.)
TEST(CandidateIndex, CollisionsFallBackToEveryCandidate) {
  TextStore store;
  std::mt19937_64 rng(5);
  const Case c = random_case(store, rng, 300, 7, 1, dna);
  std::set<size_t> vetoed;
  for (size_t i = 0; i < c.references.size(); i += 3)
    if (c.references[i].length() > 1) vetoed.insert(i);
  expect_same_as_scan(c, 1, vetoed);
}

// The acceptance test may run the host (a signal handler calling the module
// again on the same thread): a query nested in it must leave the outer
// query's state alone, on the collision path too.
TEST(CandidateIndex, AQueryNestedInTheAcceptanceTestLeavesTheOuterOneAlone) {
  TextStore store;
  std::mt19937_64 rng(6);
  const Case c = random_case(store, rng, 300, 7, 1, dna);
  const auto index = CandidateIndex::build(c.references, 1, c.queries.size(), 1 << 30,
                                           CandidateIndex::Choice::always);
  ASSERT_NE(index, nullptr);
  const auto plain = [&](const Text& query) {
    return [&](size_t i) { return lcs(query, c.references[i]) + 1 >= c.references[i].length(); };
  };
  for (size_t q = 0; q < c.queries.size(); ++q) {
    const Text& query = c.queries[q];
    const Text& other = c.queries[(q * 7 + 3) % c.queries.size()];
    // Every third reference fails, as a collision would (never one of
    // length k or less: those are accepted without the test).
    const auto vetoing = [&](size_t i) { return (i % 3 != 0 || c.references[i].length() <= 1) && plain(query)(i); };
    const auto nested = [&](size_t i) {
      index->first_decisive(other, plain(other));
      return vetoing(i);
    };
    ASSERT_EQ(index->first_decisive(query, nested), scan(c.references, query, 1, vetoing));
  }
}

// The calling thread's share of the building may be interrupted (a signal
// handler raising): the other building thread is joined, the exception
// passes on, and nothing is left behind.
TEST(CandidateIndex, AnInterruptedBuildJoinsItsThreadsAndPassesTheExceptionOn) {
  TextStore store;
  std::mt19937_64 rng(12);
  std::vector<Text> whitelist;
  whitelist.reserve(20'000);
  for (int i = 0; i < 20'000; ++i) whitelist.push_back(store.add(random_text(rng, 16, dna)));
  size_t charged = 0;
  const auto interrupting = [&](size_t work) {
    charged += work;
    if (charged > 50'000) throw Interrupted{};
  };
  EXPECT_THROW(CandidateIndex::build(whitelist, 1, 1000, 1 << 30, CandidateIndex::Choice::always, 2, interrupting),
               Interrupted);
  charged = 0;
  const auto index = CandidateIndex::build(whitelist, 1, 1000, 1 << 30, CandidateIndex::Choice::always, 2,
                                           [&](size_t work) { charged += work; });
  ASSERT_NE(index, nullptr);
  EXPECT_GT(charged, 50'000u);  // the whole build was charged, not only its start
}

TEST(CandidateIndex, EdgeInputs) {
  TextStore store;
  Case c;
  for (const char32_t* text : {U"", U"A", U"AC", U"ACGT", U"ACGT", U"TTTT", U"AAAAAAAA", U"acgt"})
    c.references.push_back(store.add(text));
  for (const char32_t* text : {U"", U"A", U"G", U"ACG", U"ACGTT", U"TTT", U"AAAAAAA", U"ACGt", U"NNNN"})
    c.queries.push_back(store.add(text));
  for (const intptr_t k : {0, 1, 2, 4, 9}) expect_same_as_scan(c, k);
  EXPECT_EQ(CandidateIndex::build(c.references, -1, 1000, 1 << 30, CandidateIndex::Choice::always), nullptr);
}

TEST(CandidateIndex, WorkersShareOneIndex) {
  TextStore store;
  std::mt19937_64 rng(8);
  const Case c = random_case(store, rng, 2000, 16, 2, dna);
  const auto index = CandidateIndex::build(c.references, 2, c.queries.size(), 1 << 30,
                                           CandidateIndex::Choice::always);
  ASSERT_NE(index, nullptr);
  std::vector<std::optional<Decision>> answers[2];
  const auto run = [&](auto& out) {
    for (const Text& q : c.queries)
      out.push_back(index->first_decisive(q, [&](size_t i) { return lcs(q, c.references[i]) + 2 >= c.references[i].length(); }));
  };
  std::thread other([&] { run(answers[1]); });
  run(answers[0]);
  other.join();
  EXPECT_EQ(answers[0], answers[1]);
  for (size_t i = 0; i < 100; ++i)
    EXPECT_EQ(answers[0][i], scan(c.references, c.queries[i], 2, [&](size_t r) {
                return lcs(c.queries[i], c.references[r]) + 2 >= c.references[r].length();
              }));
}

TEST(CandidateIndex, CostModelAndBudget) {
  TextStore store;
  std::mt19937_64 rng(9);
  std::vector<Text> whitelist;
  whitelist.reserve(100'000);
  for (int i = 0; i < 100'000; ++i) whitelist.push_back(store.add(random_text(rng, 16, dna)));
  // Many queries against a long whitelist: the index (the module's
  // whitelist test relies on these two shapes); a handful, or a short list
  // at k=2: the scan.
  EXPECT_TRUE(CandidateIndex::plan(std::span(whitelist).first(20'000), 1, 20'000, 1 << 30).use_index);
  EXPECT_NE(CandidateIndex::build(whitelist, 2, 100'000, 1 << 30), nullptr);
  EXPECT_EQ(CandidateIndex::build(whitelist, 1, 10, 1 << 30), nullptr);
  EXPECT_FALSE(CandidateIndex::plan(std::span(whitelist).first(5'000), 2, 50'000, 1 << 30).use_index);
  // Past the budget nothing is built, even when forced.
  const IndexPlan plan = CandidateIndex::plan(whitelist, 2, 100'000, 1 << 30);
  EXPECT_EQ(CandidateIndex::build(whitelist, 2, 100'000, static_cast<size_t>(plan.memory_bytes) - 1,
                                  CandidateIndex::Choice::always),
            nullptr);
  const auto index = CandidateIndex::build(whitelist, 2, 100'000, static_cast<size_t>(plan.memory_bytes));
  ASSERT_NE(index, nullptr);
  EXPECT_LE(index->memory_bytes(), plan.memory_bytes);
  // Long references with a large tolerance: the neighbourhoods explode.
  std::vector<Text> long_references;
  long_references.reserve(20);
  for (int i = 0; i < 20; ++i) long_references.push_back(store.add(random_text(rng, 1500, dna)));
  EXPECT_EQ(CandidateIndex::build(long_references, 50, 2000, 1 << 30), nullptr);
}

// What the matcher makes of one query: the position, none, or the guard's
// message.
std::string outcome(const ReferenceSet& references, const Text& query, intptr_t k) {
  NoHooks hooks;
  Checkpoint checkpoint(hooks);
  try {
    const auto found = first_accepted(references, query, k, checkpoint);
    return found ? std::to_string(*found) : "none";
  } catch (const Panic& failure) {
    return failure.message();
  }
}

// Through the matcher a call uses, with its own LCS test: the index forced
// on one reference set and absent from the other.
TEST(CandidateIndex, MatcherGivesTheScansAnswers) {
  for (const intptr_t k : {0, 1, 2, 3})
    for (const std::u32string* alphabet : {&dna, &mixed}) {
      TextStore store;
      std::mt19937_64 rng(static_cast<uint64_t>(k) * 7 + alphabet->size());
      const Case c = random_case(store, rng, 300, 9, static_cast<size_t>(k), *alphabet);
      const ReferenceSet scanned(c.references);
      ReferenceSet indexed(c.references);
      NoHooks hooks;
      Checkpoint checkpoint(hooks);
      indexed.prepare_index(k, c.queries.size(), 2, checkpoint, CandidateIndex::Choice::always);
      ASSERT_NE(indexed.index(k), nullptr);
      EXPECT_EQ(indexed.index(k + 1), nullptr);  // built for one tolerance only
      size_t guards = 0;
      for (const Text& query : c.queries) {
        const std::string expected = outcome(scanned, query, k);
        guards += expected == messages::guard;
        ASSERT_EQ(outcome(indexed, query, k), expected);
      }
      if (k > 0) {
        EXPECT_GT(guards, 0u);  // the case does reach the guard
      }
    }
}

}  // namespace
}  // namespace mendseqs
