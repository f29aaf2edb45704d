// One input: a reference list (short references in blocks, some long), a
// query and a tolerance, a block of filter entries, and a pattern and a
// text for the approximate search. Every kernel this
// processor runs must agree with the full-table reference on all of it:
// the block kernel's LCS and acceptance per lane, the block filter, the
// banded test, and the whole selection, first and nearest. Any
// disagreement aborts. The approximate search (every hit, its edits and
// its start, alone and two texts at once) must agree with its own
// full-table reference.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/panic.hpp"
#include "full_table.hpp"
#include "kernel_checks.hpp"
#include "kernels/approximate_search.hpp"
#include "kernels/block_filter.hpp"
#include "kernels/block_kernel.hpp"
#include "kernels/lcs_banded.hpp"
#include "match/matcher.hpp"
#include "oracle.hpp"
#include "pattern_search.hpp"
#include "texts.hpp"

namespace {

using namespace mendseqs;
using test_support::Strings;
using test_support::T;
using test_support::Texts;

[[noreturn]] void disagree(const char* what, Isa isa, const std::string& query, intptr_t detail) {
  std::fprintf(stderr, "%s disagrees with the reference (%s, query '%s', %ld)\n", what,
               std::string(isa_name(isa)).c_str(), query.c_str(), static_cast<long>(detail));
  std::abort();
}

const char* const letters[] = {"A", "C", "G", "T", "a", "\xC3\xA9", "\xE2\x96\xA0", "\xF0\x9F\xA7\xAC"};

std::string text(FuzzedDataProvider& data, size_t max_length, unsigned alphabet) {
  std::string out;
  const size_t length = data.ConsumeIntegralInRange<size_t>(0, max_length);
  for (size_t i = 0; i < length && data.remaining_bytes() > 0; ++i)
    out += letters[data.ConsumeIntegralInRange<unsigned>(0, alphabet - 1)];
  return out;
}

void check_blocks(Isa isa, const Strings& references, const std::string& query) {
  const Texts texts(references);
  const ReferenceSet set(texts, isa);
  const ReferenceBlocks& blocks = set.blocks();
  std::vector<uint32_t> numbers;
  blocks.alphabet().translate(T(query), numbers);
  for (size_t b = 0; b < blocks.blocks().size(); ++b) {
    const ReferenceBlock& block = blocks.blocks()[b];
    if (block.lanes == 0) continue;
    const BlockQuery block_query{block.lane_bits, blocks.masks(b), blocks.lane_lengths(b), numbers};
    uint8_t common[64];
    block_lcs(isa, block_query, common);
    const intptr_t tolerances[] = {0, 1, 3, 64};
    uint64_t accepted[4];
    for (int t = 0; t < 4; ++t) accepted[t] = block_accepting_lanes(isa, block_query, tolerances[t]);
    for (size_t i = block.first; i < block.end; ++i) {
      const uint8_t lane = blocks.lane(i);
      if (lane == no_lane) continue;
      const auto expected = static_cast<intptr_t>(oracle::lcs_length(query, references[i]));
      if (common[lane] != expected) disagree("block_lcs", isa, query, static_cast<intptr_t>(i));
      for (int t = 0; t < 4; ++t)
        if (((accepted[t] >> lane) & 1) != (expected >= set.length(i) - tolerances[t] ? 1u : 0u))
          disagree("block_accepting_lanes", isa, query, static_cast<intptr_t>(i));
    }
    for (int t = 0; t < 4; ++t)
      if (block.lanes < 64 && (accepted[t] >> block.lanes) != 0) disagree("unused lane", isa, query, t);
  }
}

void check_filter(Isa isa, FuzzedDataProvider& data) {
  int32_t lengths[max_block_span], a_counts[max_block_span];
  for (size_t j = 0; j < max_block_span; ++j) {
    const bool unused = data.ConsumeBool();
    lengths[j] = unused ? unused_filter_entry : data.ConsumeIntegralInRange<int32_t>(0, int32_filter_limit - 1);
    a_counts[j] = unused ? unused_filter_entry : data.ConsumeIntegralInRange<int32_t>(0, int32_filter_limit - 1);
  }
  const auto query_length = data.ConsumeIntegralInRange<int32_t>(0, int32_filter_limit - 1);
  const auto query_a_count = data.ConsumeIntegralInRange<int32_t>(0, int32_filter_limit - 1);
  const auto max_flex = data.ConsumeIntegralInRange<int32_t>(0, int32_filter_limit);
  const BlockFilterResult result = block_filter(isa, lengths, a_counts, query_length, query_a_count, max_flex);
  for (size_t j = 0; j < max_block_span; ++j) {
    const bool passes = lengths[j] != unused_filter_entry &&
                        reference::passes_filters(query_length, query_a_count, lengths[j], a_counts[j], max_flex);
    const bool guarded = passes && reference::trips_guard(query_length, lengths[j], max_flex);
    if (((result.passing >> j) & 1) != passes || ((result.guarded >> j) & 1) != guarded)
      disagree("block_filter", isa, "", static_cast<intptr_t>(j));
  }
}

// The banded test for every tolerance the filters and the guard let through.
void check_banded(const std::string& query, const std::string& reference) {
  const auto n = static_cast<intptr_t>(oracle::code_points(query).size());
  const auto m = static_cast<intptr_t>(oracle::code_points(reference).size());
  const auto common = static_cast<intptr_t>(oracle::lcs_length(query, reference));
  const QueryPattern pattern{T(query)};
  const T reference_text(reference);
  NoHooks hooks;
  Checkpoint checkpoint(hooks);
  for (intptr_t max_flex = std::abs(n - m); max_flex <= std::min(n, m) && max_flex < m; ++max_flex)
    if (lcs_reaches(pattern, reference_text, max_flex, checkpoint) != (common >= m - max_flex))
      disagree("lcs_reaches", Isa::portable, query, max_flex);
}

void check_selection(Isa isa, const Strings& references, const std::string& query, intptr_t max_flex) {
  const Texts texts(references);
  const ReferenceSet set(texts, isa);
  const auto expected = oracle::correct_seq(references, query, max_flex);
  std::optional<std::string> selected;
  NoHooks hooks;
  Checkpoint checkpoint(hooks);
  try {
    const std::optional<size_t> found = first_accepted(set, T(query), max_flex, checkpoint);
    selected = found ? references[*found] : std::string();
  } catch (const Panic&) {
    // The tolerance guard: the reference must have tripped it too.
  }
  if (selected != expected) disagree("first_accepted", isa, query, max_flex);

  // The nearest: the same measure over every accepted reference.
  const auto nearest = oracle::nearest(references, query, max_flex);
  try {
    const NearestMatch found = nearest_accepted(set, T(query), max_flex, checkpoint);
    const bool same = nearest && (nearest->outcome == reference::Selection::Outcome::none
                                      ? found == NearestMatch{}
                                      : found == NearestMatch{nearest->index, nearest->distance,
                                                              nearest->runner_up.value_or(no_distance), nearest->ties});
    if (!same) disagree("nearest_accepted", isa, query, max_flex);
  } catch (const Panic&) {
    if (nearest) disagree("nearest_accepted (guard)", isa, query, max_flex);
  }
}

// The candidate index, forced in each layout, against the full table: the
// same selection (guard included), and every accepted reference among its
// candidates.
void check_index(const Strings& references, const std::string& query, intptr_t max_flex) {
  if (max_flex < 0 || max_flex > 3 || oracle::code_points(query).size() > 40) return;
  // Keep each input quick: the variants to index, at most.
  double variants = 0;
  for (const std::string& reference : references) {
    const double length = static_cast<double>(oracle::code_points(reference).size());
    variants += max_flex == 0   ? 1
                : max_flex == 1 ? length
                : max_flex == 2 ? length * length / 2
                                : length * length * length / 6;
  }
  if (variants > 2e5) return;
  const Texts texts(references);
  const auto expected = oracle::correct_seq(references, query, max_flex);
  for (const CandidateIndex::Layout layout : {CandidateIndex::Layout::automatic, CandidateIndex::Layout::hashed}) {
    ReferenceSet set(texts);
    NoHooks hooks;
    Checkpoint checkpoint(hooks);
    set.prepare_index(max_flex, 1, 1, checkpoint, CandidateIndex::Choice::always, layout);
    const CandidateIndex* index = set.index(max_flex);
    if (!index) disagree("index not built", Isa::portable, query, max_flex);
    std::optional<std::string> selected;
    try {
      const std::optional<size_t> found = first_accepted(set, T(query), max_flex, checkpoint);
      selected = found ? references[*found] : std::string();
    } catch (const Panic&) {
    }
    if (selected != expected) disagree("index first_accepted", Isa::portable, query, max_flex);
    std::vector<size_t> visited;
    index->for_each_candidate(T(query), [&](size_t i) { visited.push_back(i); });
    for (size_t i = 0; i < references.size(); ++i) {
      const auto q = oracle::code_points(query), r = oracle::code_points(references[i]);
      const auto count_a = [](const std::u32string& t) {
        return static_cast<intptr_t>(std::count(t.begin(), t.end(), U'A'));
      };
      if (!reference::passes_filters(static_cast<intptr_t>(q.size()), count_a(q), static_cast<intptr_t>(r.size()),
                                     count_a(r), max_flex))
        continue;
      if (static_cast<intptr_t>(oracle::lcs_length(query, references[i])) >=
              static_cast<intptr_t>(r.size()) - max_flex &&
          !std::binary_search(visited.begin(), visited.end(), i))
        disagree("for_each_candidate", Isa::portable, query, static_cast<intptr_t>(i));
    }
  }
}

// A pattern of 1 to 64 letters and two texts over codes 0 to 5 (4 and 5
// match nothing), half of them built around copies of the pattern.
void check_search(FuzzedDataProvider& data) {
  const size_t length = data.ConsumeIntegralInRange<size_t>(1, 64);
  std::vector<uint8_t> pattern(length);
  for (uint8_t& code : pattern) code = data.ConsumeIntegralInRange<uint8_t>(0, 3);
  std::vector<uint8_t> texts[2];
  for (std::vector<uint8_t>& text : texts) {
    const size_t size = data.ConsumeIntegralInRange<size_t>(0, 200);
    for (size_t i = 0; i < size && data.remaining_bytes() > 0; ++i) {
      if (data.ConsumeIntegralInRange<int>(0, 7) == 0) {
        text.insert(text.end(), pattern.begin(), pattern.end());
      } else {
        text.push_back(data.ConsumeIntegralInRange<uint8_t>(0, 5));
      }
    }
  }
  const auto bound = data.ConsumeIntegralInRange<uint32_t>(0, 70);
  const SearchPattern search(pattern);
  const auto as_reference = [](const std::vector<PatternHit>& hits) {
    std::vector<reference::SearchHit> out;
    for (const PatternHit& hit : hits) out.push_back({hit.start, hit.end, hit.edits});
    return out;
  };
  std::vector<PatternHit> first, second, alone;
  search.find_both(texts[0], texts[1], bound, first, second);
  search.find(texts[0], bound, alone);
  const auto expected = reference::search(pattern, texts[0], bound);
  if (as_reference(alone) != expected) disagree("approximate search", Isa::portable, "", static_cast<intptr_t>(bound));
  if (as_reference(first) != expected) disagree("approximate search (two texts)", Isa::portable, "", 0);
  if (as_reference(second) != reference::search(pattern, texts[1], bound))
    disagree("approximate search (second text)", Isa::portable, "", 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);
  const unsigned alphabet = data.ConsumeBool() ? 4 : 8;
  const auto max_flex = data.ConsumeIntegralInRange<intptr_t>(-1, 8);
  Strings references(data.ConsumeIntegralInRange<size_t>(1, 140));
  for (std::string& reference : references) reference = text(data, data.ConsumeBool() ? 64 : 90, alphabet);
  std::string query = text(data, 100, alphabet);
  // A query near a reference puts the LCS near the threshold.
  if (data.ConsumeBool())
    query = references[data.ConsumeIntegralInRange<size_t>(0, references.size() - 1)] + text(data, 2, alphabet);
  for (const Isa isa : all_isas) {
    if (!isa_supported(isa)) continue;
    check_blocks(isa, references, query);
    check_selection(isa, references, query, max_flex);
  }
  check_banded(query, references.front());
  check_index(references, query, max_flex);
  FuzzedDataProvider filter_data(bytes, size);
  for (const Isa isa : all_isas)
    if (isa_supported(isa)) check_filter(isa, filter_data);
  FuzzedDataProvider search_data(bytes, size);
  check_search(search_data);
  return 0;
}
