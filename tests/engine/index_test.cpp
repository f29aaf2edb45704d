// The candidate index against a plain scan (both filters, the guard, a full
// LCS table) on the same seeded inputs: same position, same guard, for
// every query.
#include "index/block_table.hpp"
#include "index/candidate_index.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/host.hpp"
#include "engine/messages.hpp"
#include "engine/panic.hpp"
#include "full_table.hpp"
#include "index/deletions.hpp"
#include "kernels/block_filter.hpp"
#include "kernels/block_layout.hpp"
#include "match/matcher.hpp"
#include "storage/reference_facts.hpp"
#include "support/binomial.hpp"
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

// An index with the references' table it borrows, kept alive with it.
struct IndexWithFacts {
  std::unique_ptr<ReferenceFacts> facts;
  std::unique_ptr<CandidateIndex> index;  // after the table: goes first

  const CandidateIndex* operator->() const noexcept { return index.get(); }
  const CandidateIndex& operator*() const noexcept { return *index; }
  bool operator==(std::nullptr_t) const noexcept { return index == nullptr; }
};

IndexWithFacts build_index(
    std::span<const Text> references, intptr_t k, size_t queries, size_t budget,
    CandidateIndex::Choice choice = CandidateIndex::Choice::cost_model, unsigned threads = 1,
    FunctionRef<void(size_t)> charge = [](size_t) {},
    CandidateIndex::Layout layout = CandidateIndex::Layout::automatic) {
  auto facts = std::make_unique<ReferenceFacts>(references);
  auto index = CandidateIndex::build(references, *facts, k, queries, budget, choice, threads, charge, layout);
  return {std::move(facts), std::move(index)};
}

IndexWithFacts load_index(
    SectionSource& source, std::span<const Text> references, unsigned threads = 1,
    FunctionRef<void(size_t)> charge = [](size_t) {}) {
  // Counted as a load counts them (the table is what a load spends its time
  // on per reference; the index's own arrays are only bounded).
  auto facts = std::make_unique<ReferenceFacts>(references, threads, charge);
  auto index = CandidateIndex::load(source, references, *facts, threads, charge);
  return {std::move(facts), std::move(index)};
}

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
    if (distance(r.length(), query.length()) > flex || distance(count_letter_a(r), count_letter_a(query)) > flex)
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
      case 0:
        text[at] = alphabet[rng() % alphabet.size()];
        break;
      case 1:
        text.insert(text.begin() + static_cast<long>(at), alphabet[rng() % alphabet.size()]);
        break;
      default:
        text.erase(at, 1);
        break;
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
      case 0:
        text = random_text(rng, rng() % (k + 1), alphabet);
        break;  // short: guard or accepted outright
      case 1:
        if (!texts.empty()) {
          text = texts[rng() % texts.size()];
          break;
        }
        [[fallthrough]];
      default:
        text = random_text(rng, length - 1 + rng() % 3, alphabet);
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
  const auto index = build_index(c.references, k, c.queries.size(), size_t{1} << 30, CandidateIndex::Choice::always);
  ASSERT_NE(index, nullptr);
  for (const Text& query : c.queries) {
    // Vetoed references fail the test as a hash collision would.
    const auto accepts = [&](size_t i) {
      return !vetoed.contains(i) &&
             static_cast<intptr_t>(lcs(query, c.references[i])) >= static_cast<intptr_t>(c.references[i].length()) - k;
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
  const auto index = build_index(c.references, 1, c.queries.size(), 1 << 30, CandidateIndex::Choice::always);
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
  EXPECT_THROW(build_index(whitelist, 1, 1000, 1 << 30, CandidateIndex::Choice::always, 2, interrupting), Interrupted);
  charged = 0;
  const auto index = build_index(whitelist, 1, 1000, 1 << 30, CandidateIndex::Choice::always, 2,
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
  EXPECT_EQ(build_index(c.references, -1, 1000, 1 << 30, CandidateIndex::Choice::always), nullptr);
}

TEST(CandidateIndex, WorkersShareOneIndex) {
  TextStore store;
  std::mt19937_64 rng(8);
  const Case c = random_case(store, rng, 2000, 16, 2, dna);
  const auto index = build_index(c.references, 2, c.queries.size(), 1 << 30, CandidateIndex::Choice::always);
  ASSERT_NE(index, nullptr);
  std::vector<std::optional<Decision>> answers[2];
  const auto run = [&](auto& out) {
    for (const Text& q : c.queries)
      out.push_back(
          index->first_decisive(q, [&](size_t i) { return lcs(q, c.references[i]) + 2 >= c.references[i].length(); }));
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
  EXPECT_NE(build_index(whitelist, 2, 100'000, 1 << 30), nullptr);
  EXPECT_EQ(build_index(whitelist, 1, 10, 1 << 30), nullptr);
  EXPECT_FALSE(CandidateIndex::plan(std::span(whitelist).first(5'000), 2, 50'000, 1 << 30).use_index);
  // Past the budget nothing is built, even when forced.
  const IndexPlan plan = CandidateIndex::plan(whitelist, 2, 100'000, 1 << 30);
  EXPECT_EQ(
      build_index(whitelist, 2, 100'000, static_cast<size_t>(plan.memory_bytes) - 1, CandidateIndex::Choice::always),
      nullptr);
  const auto index = build_index(whitelist, 2, 100'000, static_cast<size_t>(plan.memory_bytes));
  ASSERT_NE(index, nullptr);
  EXPECT_LE(index->memory_bytes(), plan.memory_bytes);
  // Long references with a large tolerance: the neighbourhoods explode.
  std::vector<Text> long_references;
  long_references.reserve(20);
  for (int i = 0; i < 20; ++i) long_references.push_back(store.add(random_text(rng, 1500, dna)));
  EXPECT_EQ(build_index(long_references, 50, 2000, 1 << 30), nullptr);
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

// ---- Layouts, candidates, the guard, saving ------------------------------

namespace mendseqs {
namespace {

using Layout = CandidateIndex::Layout;

// The full-table oracle's answer, as a Decision.
std::optional<Decision> oracle_decision(const std::vector<Text>& references, const Text& query, intptr_t k) {
  const auto selection = reference::select(references, query, k);
  switch (selection.outcome) {
    case reference::Selection::Outcome::accepted:
      return Decision{selection.index, false};
    case reference::Selection::Outcome::none:
      return std::nullopt;
    default:
      break;
  }
  // The guard: the lowest position passing both filters that trips it.
  for (size_t i = 0; i < references.size(); ++i) {
    const auto& r = references[i];
    if (reference::passes_filters(static_cast<intptr_t>(query.length()),
                                  static_cast<intptr_t>(reference::count_a(query)), static_cast<intptr_t>(r.length()),
                                  static_cast<intptr_t>(reference::count_a(r)), k) &&
        reference::trips_guard(static_cast<intptr_t>(query.length()), static_cast<intptr_t>(r.length()), k))
      return Decision{i, true};
  }
  return std::nullopt;
}

IndexWithFacts forced(const std::vector<Text>& references, intptr_t k, Layout layout) {
  return build_index(references, k, 1000, size_t{1} << 30, CandidateIndex::Choice::always, 2, [](size_t) {}, layout);
}

void expect_oracle_answers(const CandidateIndex& index, const Case& c, intptr_t k) {
  for (const Text& query : c.queries) {
    const auto exact = [&](size_t i) {
      return static_cast<intptr_t>(reference::lcs_length(query, c.references[i])) >=
             static_cast<intptr_t>(c.references[i].length()) - k;
    };
    ASSERT_EQ(index.first_decisive(query, exact), oracle_decision(c.references, query, k));
  }
}

// Both layouts give the oracle's answers, the packed one wherever the list
// is A, C, G, T only: duplicates and guard-tripping short references
// included, k = 1 to 3, references of 14 to 16 letters.
TEST(IndexLayouts, BothLayoutsGiveTheOraclesAnswers) {
  for (const intptr_t k : {1, 2, 3})
    for (const std::u32string* alphabet : {&dna, &mixed}) {
      TextStore store;
      std::mt19937_64 rng(static_cast<uint64_t>(k) * 101 + alphabet->size());
      const Case c = random_case(store, rng, 400, 15, static_cast<size_t>(k), *alphabet);
      for (const Layout layout : {Layout::automatic, Layout::hashed}) {
        const auto index = forced(c.references, k, layout);
        ASSERT_NE(index, nullptr);
        EXPECT_EQ(index->packed(), layout == Layout::automatic && alphabet == &dna);
        expect_oracle_answers(*index, c, k);
      }
    }
}

// Runs of one letter make the most repeated variants, and a list of one
// letter repeated puts every reference in the same few buckets.
TEST(IndexLayouts, OneLetterRepeated) {
  TextStore store;
  Case c;
  for (size_t i = 0; i < 300; ++i) c.references.push_back(store.add(std::u32string(14 + i % 4, U'A')));
  c.references.push_back(store.add(U"AAAAAAACAAAAAAA"));
  for (const char32_t* q : {U"AAAAAAAAAAAAAAA", U"AAAAAAAAAAAA", U"AAAAAAACAAAAAAAA", U"CCCCCCCCCCCCCCC",
                            U"AAAAAAAAAAAAAAAAAAA", U"AAAAAAANAAAAAAA", U"AAAAAACCAAAAAAA"})
    c.queries.push_back(store.add(q));
  for (const intptr_t k : {1, 2, 3}) {
    const auto index = forced(c.references, k, Layout::automatic);
    ASSERT_NE(index, nullptr);
    EXPECT_TRUE(index->packed());
    expect_oracle_answers(*index, c, k);
  }
}

// for_each_candidate visits, once each and in increasing position, every
// reference that passes both filters and the LCS test (the packed layout:
// exactly those); guard_tripped says whether any reference passing the
// filters trips the guard. Both against a brute-force pass over the list.
TEST(IndexLayouts, CandidatesAndGuardAgainstBruteForce) {
  for (const intptr_t k : {1, 2, 3})
    for (const Layout layout : {Layout::automatic, Layout::hashed}) {
      TextStore store;
      std::mt19937_64 rng(static_cast<uint64_t>(k) * 13 + (layout == Layout::hashed));
      const Case c = random_case(store, rng, 300, 12, static_cast<size_t>(k), dna);
      const auto index = forced(c.references, k, layout);
      ASSERT_NE(index, nullptr);
      for (const Text& query : c.queries) {
        std::vector<size_t> visited;
        const bool exact = index->for_each_candidate(query, [&](size_t i) { visited.push_back(i); });
        EXPECT_EQ(exact, index->packed());
        ASSERT_TRUE(std::is_sorted(visited.begin(), visited.end()));
        ASSERT_EQ(std::adjacent_find(visited.begin(), visited.end()), visited.end());
        std::vector<size_t> accepted;
        bool guard = false;
        for (size_t i = 0; i < c.references.size(); ++i) {
          const Text& r = c.references[i];
          if (!reference::passes_filters(
                  static_cast<intptr_t>(query.length()), static_cast<intptr_t>(reference::count_a(query)),
                  static_cast<intptr_t>(r.length()), static_cast<intptr_t>(reference::count_a(r)), k))
            continue;
          guard |= reference::trips_guard(static_cast<intptr_t>(query.length()), static_cast<intptr_t>(r.length()), k);
          if (static_cast<intptr_t>(reference::lcs_length(query, r)) >= static_cast<intptr_t>(r.length()) - k)
            accepted.push_back(i);
        }
        EXPECT_EQ(index->guard_tripped(query), guard);
        if (exact) {
          ASSERT_EQ(visited, accepted);
        } else {
          ASSERT_TRUE(std::includes(visited.begin(), visited.end(), accepted.begin(), accepted.end()));
        }
      }
    }
}

// Sections kept in memory, each array in 8-byte aligned storage as a mapped
// file would keep it.
class MemorySections : public SectionSink, public SectionSource {
 public:
  void put(std::string_view name, unsigned element_bytes, std::span<const std::byte> bytes) override {
    Section& section = sections_[std::string(name)];
    section.element_bytes = element_bytes;
    section.size = bytes.size();
    section.words.assign((bytes.size() + 7) / 8, 0);
    if (!bytes.empty()) std::memcpy(section.words.data(), bytes.data(), bytes.size());
  }
  std::span<const std::byte> get(std::string_view name, unsigned element_bytes) override {
    const auto it = sections_.find(std::string(name));
    if (it == sections_.end()) throw IndexFormatError("no section " + std::string(name));
    if (it->second.element_bytes != element_bytes) throw IndexFormatError("width of " + std::string(name));
    return {reinterpret_cast<const std::byte*>(it->second.words.data()), it->second.size};
  }
  // The section's elements, to corrupt one.
  template <class T>
  T* values(const std::string& name) {
    return reinterpret_cast<T*>(sections_.at(name).words.data());
  }
  template <class T>
  std::span<T> array(const std::string& name) {
    return {values<T>(name), sections_.at(name).size / sizeof(T)};
  }
  void truncate(const std::string& name, size_t bytes) { sections_.at(name).size = bytes; }
  void erase(const std::string& name) { sections_.erase(name); }

 private:
  struct Section {
    unsigned element_bytes = 0;
    size_t size = 0;
    std::vector<uint64_t> words;
  };
  std::map<std::string, Section> sections_;
};

// The references' one table: what it holds is what the texts hold, the
// block filter may read a whole block's span from its last reference on,
// and a saved table is loaded only when every A-count is its text's.
TEST(ReferenceFacts, CountedSavedAndCheckedOnLoad) {
  TextStore store;
  std::vector<Text> texts;
  for (const char32_t* text : {U"", U"A", U"AAC", U"aAa\u00e9A", U"GATTACA", U"GATTACA", U"NNNNNNNNNNNNNNNNA"})
    texts.push_back(store.add(text));
  const ReferenceFacts facts(texts, 2);
  ASSERT_TRUE(facts.narrow() && facts.fit_block_filter());
  const std::vector<uint32_t> lengths{0, 1, 3, 5, 7, 7, 17}, a_counts{0, 1, 2, 2, 3, 3, 1};
  EXPECT_EQ(std::vector<uint32_t>(facts.lengths().begin(), facts.lengths().end()), lengths);
  EXPECT_EQ(std::vector<uint32_t>(facts.a_counts().begin(), facts.a_counts().end()), a_counts);
  EXPECT_EQ(facts.distinct_lengths(), (std::vector<uint32_t>{0, 1, 3, 5, 7, 17}));
  for (size_t j = 1; j < max_block_span; ++j) {  // past the last: unused entries
    EXPECT_EQ(facts.filter_lengths(texts.size() - 1)[j], unused_filter_entry);
    EXPECT_EQ(facts.filter_a_counts(texts.size() - 1)[j], unused_filter_entry);
  }

  MemorySections sections;
  facts.save(sections);
  const ReferenceFacts loaded(texts, sections, 2);
  for (size_t i = 0; i < texts.size(); ++i)
    EXPECT_EQ(std::pair(loaded.length(i), loaded.a_count(i)), std::pair(facts.length(i), facts.a_count(i)));
  // A count that is not its text's, though within its length, is refused.
  sections.values<uint64_t>("references.a_counts")[6] = 2;
  EXPECT_THROW(ReferenceFacts(texts, sections), IndexFormatError);
  sections.values<uint64_t>("references.a_counts")[6] = 1;
  EXPECT_THROW(ReferenceFacts(std::span(texts).first(6), sections), IndexFormatError);
  EXPECT_NO_THROW(ReferenceFacts(texts, sections));
}

TEST(IndexLayouts, SavedAndLoadedIndexGivesTheSameAnswers) {
  for (const std::u32string* alphabet : {&dna, &mixed}) {
    TextStore store;
    std::mt19937_64 rng(alphabet->size() + 40);
    const Case c = random_case(store, rng, 400, 16, 2, *alphabet);
    const auto built = forced(c.references, 2, Layout::automatic);
    ASSERT_NE(built, nullptr);
    MemorySections sections;
    built->save(sections);
    const auto loaded = load_index(sections, c.references);
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->packed(), built->packed());
    EXPECT_LT(loaded->memory_bytes(), built->memory_bytes());  // the big arrays are borrowed
    for (const Text& query : c.queries) {
      const auto exact = [&](size_t i) {
        return reference::lcs_length(query, c.references[i]) + 2 >= c.references[i].length();
      };
      ASSERT_EQ(loaded->first_decisive(query, exact), built->first_decisive(query, exact));
      std::vector<size_t> a, b;
      loaded->for_each_candidate(query, [&](size_t i) { a.push_back(i); });
      built->for_each_candidate(query, [&](size_t i) { b.push_back(i); });
      ASSERT_EQ(a, b);
    }
  }
}

// The trust model: a corruption of what is small (a scalar, the packed
// groups, an array's size) is refused at load, naming what is wrong; one of
// an array's contents loads, and costs answers only: every lookup stays
// within the arrays (the sanitizers watch) and names positions within the
// list, and the LCS test is asked only of references that pass the
// filters. So does an index loaded against other references.
TEST(IndexLayouts, CorruptionsAreRefusedOrBoundedAtLookup) {
  TextStore store;
  std::mt19937_64 rng(77);
  const Case packed_case = random_case(store, rng, 300, 16, 2, dna);
  const Case hashed_case = random_case(store, rng, 300, 16, 2, mixed);
  struct Corruption {
    const char* what;
    bool packed;
    std::function<void(MemorySections&)> apply;
    const char* message;  // part of what the error says; null: it loads
  };
  const auto offsets_set_to = [](uint32_t value) {
    return [value](MemorySections& s) {
      const std::span<uint32_t> offsets = s.array<uint32_t>("hashed.offsets");
      std::fill(offsets.begin() + 1, offsets.end() - 1, value);
    };
  };
  const std::vector<Corruption> corruptions{
      {"a missing section", true, [](MemorySections& s) { s.erase("packed.postings"); }, "packed.postings"},
      {"a truncated section", true, [](MemorySections& s) { s.truncate("packed.postings", 8); }, "postings"},
      {"a group length", true, [](MemorySections& s) { s.values<uint64_t>("packed.groups")[0] = 40; }, "group"},
      {"a group's homes", true, [](MemorySections& s) { s.values<uint64_t>("packed.groups")[1] = 0; }, "homes"},
      {"a posting width", true, [](MemorySections& s) { s.values<uint64_t>("packed.groups")[2] = 70; }, "width"},
      {"a block count", true, [](MemorySections& s) { s.values<uint64_t>("packed.groups")[3] += 1; }, "postings"},
      // Words counted past 32 bits would come round to the same count
      // where size_t has 32.
      {"a block count 2^29 larger", true,
       [](MemorySections& s) { s.values<uint64_t>("packed.groups")[3] += uint64_t{1} << 29; }, "postings"},
      {"a code table's block count 2^29 larger", true,
       [](MemorySections& s) { s.values<uint64_t>("packed.code_groups")[2] += uint64_t{1} << 29; }, "code table"},
      {"bucket bits", true, [](MemorySections& s) { s.values<uint32_t>("packed.bucket_bits")[0] = 9; }, "bucket"},
      {"the references' fingerprint", true, [](MemorySections& s) { s.values<uint64_t>("packed.fingerprint")[0] ^= 1; },
       "references"},
      {"the layout flag", true, [](MemorySections& s) { s.values<uint32_t>("index.packed")[0] = 7; }, "index.packed"},
      {"max_flex", true, [](MemorySections& s) { s.values<uint64_t>("index.max_flex")[0] = 1000; }, "max_flex"},
      {"the reference count", false, [](MemorySections& s) { s.values<uint64_t>("index.reference_count")[0] += 1; },
       "reference_count"},
      {"hashed tags", false, [](MemorySections& s) { s.truncate("hashed.tags", 2); }, "hashed.tags"},
      {"postings all ones", true,
       [](MemorySections& s) {
         const std::span<uint64_t> words = s.array<uint64_t>("packed.postings");
         std::fill(words.begin(), words.end(), ~uint64_t{0});
       },
       nullptr},
      {"postings scrambled", true,
       [](MemorySections& s) {
         uint64_t x = 1;
         for (uint64_t& word : s.array<uint64_t>("packed.postings")) word ^= (x *= 0x9E3779B97F4A7C15ull);
       },
       nullptr},
      {"a code table's width", true, [](MemorySections& s) { s.values<uint64_t>("packed.code_groups")[1] = 70; },
       "code table"},
      {"code tables scrambled", true,
       [](MemorySections& s) {
         uint64_t x = 3;
         for (uint64_t& word : s.array<uint64_t>("packed.codes")) word ^= (x *= 0x9E3779B97F4A7C15ull);
       },
       nullptr},
      {"an overflow entry spanning everything", true,
       [](MemorySections& s) {
         // Every home of the first group in the overflow list, each claiming
         // far more slots than the table has.
         const std::span<uint64_t> words = s.array<uint64_t>("packed.postings");
         const uint64_t homes = s.values<uint64_t>("packed.groups")[1];
         for (uint64_t h = 0; h < homes; ++h) words[h * 8] = 0xFFFFFFFFu | (words[h * 8] & ~uint64_t{0xFFFFFFFFu});
         std::vector<uint64_t> overflow;
         for (uint64_t h = 0; h < homes; ++h) overflow.insert(overflow.end(), {0, h, h, uint64_t{1} << 40});
         s.put_array<uint64_t>("packed.overflow", overflow);
       },
       nullptr},
      {"hashed offsets out of order", false, offsets_set_to(1u << 30), nullptr},
      {"hashed offsets spanning everything", false, offsets_set_to(0), nullptr},
      {"hashed positions past the list", false,
       [](MemorySections& s) {
         for (uint32_t& entry : s.array<uint32_t>("hashed.entries")) entry |= 511;  // 300 references: 9 bits
       },
       nullptr},
  };
  // Every lookup of a loaded index: candidates and first_decisive within
  // the list, the LCS test asked only of references that pass the filters
  // (as the matcher asks it).
  const auto bounded = [](const CandidateIndex& index, const Case& c) {
    for (const Text& query : c.queries) {
      index.for_each_candidate(query, [&](size_t i) { ASSERT_LT(i, c.references.size()); });
      const auto accepts = [&](size_t i) {
        EXPECT_LT(i, c.references.size());
        if (i >= c.references.size()) return false;
        const Text& r = c.references[i];
        if (distance(query.length(), r.length()) > 2 || distance(count_letter_a(query), count_letter_a(r)) > 2)
          return false;
        return reference::lcs_length(query, r) + 2 >= r.length();
      };
      const std::optional<Decision> decision = index.first_decisive(query, accepts);
      if (decision) {
        ASSERT_LT(decision->position, c.references.size());
      }
    }
  };
  for (const Corruption& corruption : corruptions) {
    SCOPED_TRACE(corruption.what);
    const Case& c = corruption.packed ? packed_case : hashed_case;
    const auto built = forced(c.references, 2, Layout::automatic);
    ASSERT_NE(built, nullptr);
    ASSERT_EQ(built->packed(), corruption.packed);
    MemorySections sections;
    built->save(sections);
    corruption.apply(sections);
    try {
      const auto loaded = load_index(sections, c.references);
      EXPECT_EQ(corruption.message, nullptr) << "loaded";
      bounded(*loaded, c);
    } catch (const IndexFormatError& error) {
      ASSERT_NE(corruption.message, nullptr) << error.what();
      EXPECT_NE(std::string(error.what()).find(corruption.message), std::string::npos) << error.what();
    }
  }
  // Other references than those it was built over: another count is
  // refused; the same count loads for the hashed layout (answers may be
  // lost), and the packed layout, whose code table comes from them, sees
  // that its postings were built over other ones.
  for (const Case* c : {&packed_case, &hashed_case}) {
    const auto built = forced(c->references, 2, Layout::automatic);
    MemorySections sections;
    built->save(sections);
    Case other = *c;
    std::reverse(other.references.begin(), other.references.end());
    if (c == &packed_case)
      EXPECT_THROW(load_index(sections, other.references), IndexFormatError);
    else
      bounded(*load_index(sections, other.references), other);
    EXPECT_THROW(load_index(sections, std::span(c->references).first(other.references.size() - 1)), IndexFormatError);
  }
}

// The deletion variants the build indexes and the lookups ask for: every
// distinct variant of the brute-force enumeration (the canonical walk only
// skips repeats), each posting naming its reference (its letters put back
// at the positions its rank stands for give the reference), a round's range
// giving exactly the whole walk's variants within it, in the same order;
// and a query's variants those keeping no letter outside A, C, G, T.
TEST(DeletionVariants, CanonicalRankedWithinARangeAndForQueries) {
  std::mt19937_64 rng(15);
  using Variant = std::tuple<uint64_t, uint32_t, uint32_t>;
  const auto brute_force = [](const std::vector<int>& letters, size_t d) {
    std::set<uint64_t> variants;
    const size_t n = letters.size();
    for (uint64_t deleted = 0; deleted < (uint64_t{1} << n); ++deleted) {
      if (static_cast<size_t>(std::popcount(deleted)) != d) continue;
      uint64_t code = 0;
      bool dna = true;
      for (size_t i = 0; i < n; ++i) {
        if ((deleted >> i) & 1) continue;
        dna &= letters[i] >= 0;
        code = code << 2 | static_cast<uint64_t>(letters[i] & 3);
      }
      if (dna) variants.insert(code);
    }
    return variants;
  };
  for (int trial = 0; trial < 300; ++trial) {
    const size_t length = 2 + rng() % 17;
    // Codes over a small alphabet at times, so that runs are common.
    const uint64_t alphabet = trial % 3 == 0 ? 2 : 4;
    std::vector<int> letters(length);
    uint64_t code = 0;
    for (int& letter : letters) {
      letter = static_cast<int>(rng() % alphabet);
      code = code << 2 | static_cast<uint64_t>(letter);
    }
    for (size_t k = 1; k <= 3 && k < length; ++k) {
      SCOPED_TRACE("length " + std::to_string(length) + " k " + std::to_string(k));
      std::vector<Variant> all;
      each_reference_variant(k, code, static_cast<unsigned>(length), 0, ~uint64_t{0},
                             [&](uint64_t v, uint32_t rank, uint32_t kept) { all.emplace_back(v, rank, kept); });
      std::set<uint64_t> distinct;
      for (const Variant& v : all) distinct.insert(std::get<0>(v));
      ASSERT_EQ(distinct, brute_force(letters, k));
      // Rank -> deleted positions, by the combinatorial number system.
      for (const auto& [variant, rank, kept] : all) {
        std::vector<size_t> positions;
        uint64_t left = rank;
        for (size_t j = k; j-- > 0;) {
          size_t p = j;
          while (p + 1 < length && small_binomials[p + 1][j + 1] <= left) ++p;
          left -= small_binomials[p][j + 1];
          positions.insert(positions.begin(), p);
        }
        std::vector<int> rebuilt;
        rebuilt.reserve(length);
        for (size_t i = 0; i < length - k; ++i)
          rebuilt.push_back(static_cast<int>((variant >> (2 * (length - k - 1 - i))) & 3));
        for (size_t j = 0; j < k; ++j)
          rebuilt.insert(rebuilt.begin() + static_cast<ptrdiff_t>(positions[j]),
                         static_cast<int>((kept >> (2 * j)) & 3));
        ASSERT_EQ(rebuilt, letters) << "rank " << rank;
      }
      const uint64_t top = low_bits(2 * static_cast<unsigned>(length - k));
      const uint64_t some = std::get<0>(all[rng() % all.size()]);
      const uint64_t a = rng() & top, b = rng() & top;
      for (const auto& [low, high] : std::vector<std::pair<uint64_t, uint64_t>>{{0, top},
                                                                                {some, some},
                                                                                {std::min(a, b), std::max(a, b)},
                                                                                {some & ~uint64_t{15}, some | 3},
                                                                                {some + 1, top},
                                                                                {0, some == 0 ? 0 : some - 1}}) {
        std::vector<Variant> expected, within;
        for (const Variant& v : all)
          if (std::get<0>(v) >= low && std::get<0>(v) <= high) expected.push_back(v);
        each_reference_variant(k, code, static_cast<unsigned>(length), low, high,
                               [&](uint64_t v, uint32_t rank, uint32_t kept) { within.emplace_back(v, rank, kept); });
        EXPECT_EQ(within, expected) << "range " << low << ".." << high;
      }
    }
    // A query of the same length, an N now and then.
    std::u32string query;
    std::vector<int> query_letters;
    for (size_t i = 0; i < length; ++i) {
      const char32_t c = U"ACGTN"[rng() % (trial % 2 == 0 ? 5 : 4)];
      query += c;
      const uint8_t letter = upper_base_code(c);
      query_letters.push_back(letter == unmatched_code ? -1 : letter);
    }
    QueryVariants variants;
    ASSERT_TRUE(variants.load(Text(std::span<const char32_t>(query))));
    for (size_t d = 0; d <= 4 && d <= length; ++d) {
      std::set<uint64_t> found;
      variants.each(d, [&](uint64_t v) { found.insert(v); });
      EXPECT_EQ(found, length - d <= 32 ? brute_force(query_letters, d) : std::set<uint64_t>{}) << "query d " << d;
    }
  }
}

// n choose r (the variants' ranks, the cost model's counts) against
// Pascal's triangle: exact while the products on the way, at most n times
// the value, fit a double's 53 bits; within rounding beyond; 0 past n.
TEST(Binomial, IsPascalsTriangle) {
  std::vector<uint64_t> row{1};
  for (uint64_t n = 0; n < 64; ++n) {
    for (uint64_t r = 0; r <= n; ++r) {
      const auto exact = static_cast<double>(row[r]);
      if (row[r] < (uint64_t{1} << 53) / 64)
        EXPECT_EQ(binomial(n, r), exact) << n << " " << r;
      else
        EXPECT_NEAR(binomial(n, r) / exact, 1.0, 1e-12) << n << " " << r;
    }
    EXPECT_EQ(binomial(n, n + 1), 0.0);
    std::vector<uint64_t> next(row.size() + 1, 1);
    for (size_t r = 1; r < row.size(); ++r) next[r] = row[r - 1] + row[r];
    row = std::move(next);
  }
  EXPECT_NEAR(binomial(100000, 6) / 1.38868056736e27, 1.0, 1e-9);  // far past 64 bits: an estimate still
}

// A long load's pass over the references is spread over threads and
// charged as it goes: an interruption of the calling thread's share passes
// on (the others joined first), and a sound file loads on any number of
// threads with the same answers. (Faults in the arrays are bounded at
// lookup, not looked for at load: CorruptionsAreRefusedOrBoundedAtLookup.)
TEST(IndexLayouts, LoadsAreChargedSpreadOverThreadsAndInterruptible) {
  for (const std::u32string* alphabet : {&dna, &mixed}) {
    SCOPED_TRACE(alphabet->size());
    TextStore store;
    std::mt19937_64 rng(alphabet->size() + 90);
    std::vector<Text> whitelist;
    whitelist.reserve(150'000);
    for (int i = 0; i < 150'000; ++i) whitelist.push_back(store.add(random_text(rng, 16, *alphabet)));
    const auto built = forced(whitelist, 1, Layout::automatic);
    ASSERT_NE(built, nullptr);
    ASSERT_EQ(built->packed(), alphabet == &dna);
    MemorySections sections;
    built->save(sections);

    size_t charged = 0, largest = 0;
    const auto counting = [&](size_t work) {
      charged += work;
      largest = std::max(largest, work);
    };
    const auto loaded = load_index(sections, whitelist, 2, counting);
    ASSERT_NE(loaded, nullptr);
    EXPECT_GT(charged, whitelist.size());  // the whole load was charged, not only its start
    EXPECT_LE(largest, size_t{1} << 16);   // in steps short enough to look up often
    for (int i = 0; i < 200; ++i) {
      const Text& query = whitelist[rng() % whitelist.size()];
      const auto exact = [&](size_t r) {
        return reference::lcs_length(query, whitelist[r]) + 1 >= whitelist[r].length();
      };
      ASSERT_EQ(loaded->first_decisive(query, exact), built->first_decisive(query, exact));
    }

    // Midway: the calling thread alone charges more than the list's length
    // (its share of counting the table). Not half of `charged`, which
    // counts its waits for the other thread too, as long as they were.
    size_t budget = 0;
    const auto interrupting = [&](size_t work) {
      budget += work;
      if (budget > whitelist.size() / 2) throw Interrupted{};
    };
    EXPECT_THROW(load_index(sections, whitelist, 2, interrupting), Interrupted);

    // A fault near the end, in the second thread's share of the packed
    // layout's pass over the references (one too long for it).
    if (built->packed()) {
      std::vector<Text> faulty = whitelist;
      faulty[whitelist.size() - 10] = store.add(random_text(rng, 40, dna));
      EXPECT_THROW(load_index(sections, faulty, 2), IndexFormatError);
    }
  }
}

// Windows of queries answered together (as the batch driver asks) give
// each query the scan's answer: first and nearest, on A, C, G, T lists
// with duplicates and guard-tripping short references, a list of one letter
// repeated, and one barcode copied past what a block's header can count (the
// code table's overflow list), k = 0 to 3; windows of any size. A query is
// left to the one-by-one path only when the scan serves it better or the
// guard decides it, or it makes too many lookups to share a window, and
// gets the same answer there. Beneath the matcher,
// the index's own windows against brute force: the lowest accepted
// position, and the nearest of the references it holds (distance, lowest
// position, ties counting duplicates, the next distance).
TEST(CandidateIndex, WindowsGiveTheScansAnswers) {
  const auto check = [](const Case& c, intptr_t k) {
    const ReferenceSet scanned(c.references);
    ReferenceSet indexed(c.references);
    NoHooks hooks;
    Checkpoint checkpoint(hooks);
    indexed.prepare_index(k, c.queries.size(), 2, checkpoint, CandidateIndex::Choice::always);
    ASSERT_NE(indexed.index(k), nullptr);
    const CandidateIndex& index = *indexed.index(k);
    ASSERT_TRUE(index.packed());
    const auto scanned_nearest = [&](const Text& query) -> std::optional<NearestMatch> {
      try {
        return nearest_accepted(scanned, query, k, checkpoint);
      } catch (const Panic&) {
        return std::nullopt;  // the guard
      }
    };
    for (size_t begin = 0, size = 1; begin < c.queries.size(); begin += size, size = size % 17 + 1) {
      const auto window = std::span(c.queries).subspan(begin, std::min(size, c.queries.size() - begin));
      std::vector<Position> first(window.size());
      std::vector<NearestMatch> nearest(window.size());
      first_accepted_ahead(indexed, window, k, first, checkpoint);
      nearest_accepted_ahead(indexed, window, k, nearest, checkpoint);
      std::vector<const Text*> pointers;
      for (const Text& query : window) pointers.push_back(&query);
      std::vector<std::optional<Decision>> decisions(window.size());
      std::vector<NearestSummary> summaries(window.size());
      ASSERT_TRUE(index.first_decisive(pointers, decisions));
      ASSERT_TRUE(index.nearest(pointers, summaries));
      for (size_t i = 0; i < window.size(); ++i) {
        const Text& query = window[i];
        const std::string expected = outcome(scanned, query, k);
        if (first[i] == deferred) {
          EXPECT_TRUE(index.prefers_scan(query) || !index.fits_a_window(query) || index.scan_head(query) > 0 ||
                      expected == messages::guard);
          ASSERT_EQ(outcome(indexed, query, k), expected);
        } else {
          ASSERT_EQ(first[i] == no_match ? "none" : std::to_string(first[i]), expected);
        }
        ASSERT_EQ(decisions[i], oracle_decision(c.references, query, k));
        const std::optional<NearestMatch> nearest_expected = scanned_nearest(query);
        if (nearest[i].position == deferred) {
          EXPECT_TRUE(index.prefers_scan(query) || !index.fits_a_window(query) || index.guard_tripped(query));
          if (nearest_expected) {
            ASSERT_EQ(nearest_accepted(indexed, query, k, checkpoint), *nearest_expected);
          }
        } else {
          ASSERT_TRUE(nearest_expected.has_value());
          ASSERT_EQ(nearest[i], *nearest_expected);
        }
        // The held references (longer than k) by brute force, each text's
        // LCS once (the copies below share one).
        NearestSummary held;
        std::map<const void*, size_t> measured;
        for (size_t r = 0; r < c.references.size(); ++r) {
          const Text& ref = c.references[r];
          if (static_cast<intptr_t>(ref.length()) <= k ||
              !reference::passes_filters(
                  static_cast<intptr_t>(query.length()), static_cast<intptr_t>(reference::count_a(query)),
                  static_cast<intptr_t>(ref.length()), static_cast<intptr_t>(reference::count_a(ref)), k))
            continue;
          const auto [at, fresh] = measured.try_emplace(ref.data(), 0);
          if (fresh) at->second = reference::lcs_length(query, ref);
          const size_t common = at->second;
          if (static_cast<intptr_t>(common) < static_cast<intptr_t>(ref.length()) - k) continue;
          held.merge(NearestSummary{r, query.length() + ref.length() - 2 * common, 1, no_distance});
        }
        ASSERT_EQ(summaries[i], held);
      }
    }
  };
  for (const intptr_t k : {0, 1, 2, 3}) {
    SCOPED_TRACE(k);
    TextStore store;
    std::mt19937_64 rng(static_cast<uint64_t>(k) + 300);
    check(random_case(store, rng, 200, 14, static_cast<size_t>(k), dna), k);
    Case one_letter;
    for (size_t i = 0; i < 200; ++i) one_letter.references.push_back(store.add(std::u32string(12 + i % 5, U'C')));
    for (size_t i = 0; i < 40; ++i) {
      std::u32string query(11 + i % 8, U'C');
      if (i % 3 == 0) query[i % query.size()] = U"AGTN"[i % 4];
      one_letter.queries.push_back(store.add(query));
    }
    check(one_letter, k);
  }
  // 70,000 copies of one barcode and a few others: every answer names the
  // lowest copy, and the nearest counts every copy as a tie.
  TextStore store;
  std::mt19937_64 rng(301);
  Case copies;
  const std::u32string barcode = random_text(rng, 16, dna);
  const Text copy = store.add(barcode);
  for (size_t i = 0; i < 70'000; ++i)
    copies.references.push_back(i % 1000 == 7 ? store.add(random_text(rng, 16, dna)) : copy);
  for (size_t i = 0; i < 6; ++i) copies.queries.push_back(store.add(edited(rng, barcode, i % 3, dna)));
  check(copies, 2);
  ReferenceSet indexed(copies.references);
  NoHooks hooks;
  Checkpoint checkpoint(hooks);
  indexed.prepare_index(2, 1000, 2, checkpoint, CandidateIndex::Choice::always);
  std::vector<NearestMatch> nearest(1);
  nearest_accepted_ahead(indexed, std::span(copies.queries).first(1), 2, nearest, checkpoint);
  EXPECT_EQ(nearest[0].position, 0u);
  EXPECT_EQ(nearest[0].ties, 70'000u - 70u);
}

// A dense list (each 6-letter variant held a hundred times over): a long
// query passes hundreds of references, and its first is looked for in the
// list's head before the index is asked. The answers are the scan's, one
// by one and in windows, whether the head holds it or not (the queries
// over G and T pass nothing in a head over A and C).
TEST(CandidateIndex, ADenseListScansItsHeadFirstWithTheScansAnswers) {
  TextStore store;
  std::mt19937_64 rng(302);
  Case c;
  for (size_t i = 0; i < 20'000; ++i) c.references.push_back(store.add(random_text(rng, 8, i < 10'000 ? U"AC" : dna)));
  for (size_t i = 0; i < 300; ++i) {
    const std::u32string query =
        i % 2 ? random_text(rng, 8 + i % 3, U"GT") : edited(rng, random_text(rng, 8, dna), 1 + i % 3, dna);
    c.queries.push_back(store.add(query));
  }
  const ReferenceSet scanned(c.references);
  ReferenceSet indexed(c.references);
  NoHooks hooks;
  Checkpoint checkpoint(hooks);
  indexed.prepare_index(2, c.queries.size(), 2, checkpoint, CandidateIndex::Choice::always);
  ASSERT_NE(indexed.index(2), nullptr);
  const CandidateIndex& index = *indexed.index(2);
  size_t headed = 0, beyond_head = 0;
  std::vector<Position> windowed(c.queries.size());
  first_accepted_ahead(indexed, c.queries, 2, windowed, checkpoint);
  for (size_t q = 0; q < c.queries.size(); ++q) {
    const Text& query = c.queries[q];
    const std::string expected = outcome(scanned, query, 2);
    ASSERT_EQ(outcome(indexed, query, 2), expected) << q;
    if (windowed[q] != deferred) {
      ASSERT_EQ(windowed[q] == no_match ? "none" : std::to_string(windowed[q]), expected);
    }
    if (const size_t head = index.scan_head(query); head > 0) {
      ++headed;
      EXPECT_EQ(windowed[q], deferred);
      beyond_head += expected == "none" || std::stoul(expected) >= head;
    }
  }
  EXPECT_GT(headed, c.queries.size() / 2);
  EXPECT_GT(beyond_head, 0u);
}

// A slot's block is found by multiplying by a reciprocal, not dividing:
// exact for every width and every slot a table of 2^40 blocks can name,
// at the blocks' edges above all, and on 32-bit targets, whose high
// product is made of 32-bit halves.
TEST(BlockTable, SlotsAreLocatedExactly) {
  std::mt19937_64 rng(64);
  for (unsigned width = 1; width <= 64; ++width) {
    const BlockTable table(1, width);
    const uint64_t slots = table.slots_per_block();
    std::vector<uint64_t> probes{0, 1, slots - 1, slots, slots + 1, (uint64_t{1} << 40) * slots - 1};
    for (int i = 0; i < 2000; ++i) {
      const uint64_t block = rng() >> 24;  // below 2^40
      probes.insert(probes.end(), {block * slots, block * slots + slots - 1, block * slots + rng() % slots});
    }
    for (const uint64_t s : probes) {
      uint64_t block = 0;
      unsigned j = 0;
      table.locate(s, block, j);
      ASSERT_EQ(block, s / slots) << "width " << width << " slot " << s;
      ASSERT_EQ(j, s % slots);
    }
  }
  for (int i = 0; i < 10000; ++i) {
    const uint64_t a = rng(), b = i % 2 ? rng() : rng() >> (rng() % 64);
    const uint64_t a_high = a >> 32, a_low = a & 0xFFFFFFFFu, b_high = b >> 32, b_low = b & 0xFFFFFFFFu;
    // The schoolbook product's high word, column by column.
    const uint64_t middle = (a_low * b_low >> 32) + (a_high * b_low & 0xFFFFFFFFu) + (a_low * b_high & 0xFFFFFFFFu);
    ASSERT_EQ(high_product64(a, b), a_high * b_high + (a_high * b_low >> 32) + (a_low * b_high >> 32) + (middle >> 32));
  }
}

}  // namespace
}  // namespace mendseqs
