#include "match/matcher.hpp"

#include <algorithm>
#include <bit>
#include <optional>

#include "engine/messages.hpp"  // frozen texts: docs/compatibility.md
#include "engine/panic.hpp"
#include "kernels/block_filter.hpp"
#include "kernels/lcs_banded.hpp"
#include "support/distance.hpp"
#include "support/scratch.hpp"

namespace mendseqs {
namespace {

// The LCS test of a reference without a lane, once the filters and the
// guard passed (0 <= max_flex <= min(Lq, Lr)), for the scan and the index
// alike: a reference of at most max_flex characters is accepted whatever
// it holds; the query's pattern is made on first need, once per query.
bool long_reference_accepted(const ReferenceSet& references, size_t i, const Text& query, intptr_t max_flex,
                             std::optional<QueryPattern>& pattern, Checkpoint& checkpoint) {
  if (references.length(i) - max_flex <= 0) return true;
  if (!pattern) pattern.emplace(query);
  return lcs_reaches(*pattern, references.text(i), max_flex, checkpoint);
}

// Distance from x to the nearest value of [low, high]; 0 inside.
intptr_t gap(intptr_t x, intptr_t low, intptr_t high) noexcept { return x < low ? low - x : x > high ? x - high : 0; }

// The positions in a block of the references in the given lanes.
uint64_t lanes_to_positions(const ReferenceBlock& block, uint64_t lanes) noexcept {
  if (block.short_positions == (block.lanes == 64 ? ~uint64_t{0} : (uint64_t{1} << block.lanes) - 1))
    return lanes;  // no long reference in the block: lane l is position l
  uint64_t positions = 0;
  uint64_t remaining = block.short_positions;
  for (unsigned lane = 0; remaining != 0; ++lane, remaining &= remaining - 1)
    if ((lanes >> lane) & 1) positions |= remaining & -remaining;
  return positions;
}

// One query's walk through the references, block by block in list order.
// What the comparisons need from the query (its alphabet numbers, its bit
// masks) is made on first use and kept for the walk.
class QuerySearch {
 public:
  QuerySearch(const ReferenceSet& references, const Text& query, intptr_t max_flex, Checkpoint& checkpoint)
      : references_(references),
        query_(query),
        max_flex_(max_flex),
        length_(static_cast<intptr_t>(query.length())),
        int32_filter_(references.int32_filters() && length_ < int32_filter_limit),
        checkpoint_(checkpoint) {}

  // The index of the first accepted reference. Within a block, the short
  // references are all compared at once; then the references that decide
  // something (tripping the guard, accepted, or long and still to be
  // compared) are visited in list order, so the outcome is the one-by-one
  // loop's: the guard fires only if no earlier reference was accepted.
  // Within the blocks that start before `head` references, when given.
  std::optional<size_t> first_accepted(size_t head = SIZE_MAX) {
    const auto blocks = references_.blocks().blocks();
    for (size_t b = 0; b < blocks.size() && blocks[b].first < head; ++b) {
      const ReferenceBlock& block = blocks[b];
      checkpoint_.charge(block_work);
      if (!may_pass(block)) continue;
      const BlockFilterResult filtered = filter(block);
      if (filtered.passing == 0) continue;
      uint64_t decisive = filtered.guarded | (filtered.passing & ~block.short_positions);
      if (filtered.passing & block.short_positions) decisive |= filtered.passing & accepted_short(b);
      for (; decisive != 0; decisive &= decisive - 1) {
        const uint64_t position = decisive & -decisive;
        const size_t i = block.first + static_cast<size_t>(std::countr_zero(decisive));
        if (filtered.guarded & position) panic(std::string(messages::guard));
        if ((block.short_positions & position) || accepts_long(i)) return i;
      }
    }
    return std::nullopt;
  }

  // Every reference that passes both filters, measured. The short ones of
  // a block are tested together first, as above: few are accepted, and
  // only a block with one gets the block kernel's full LCS. The long ones
  // get the banded count (exact whenever it accepts). The guard is tested
  // on all of them, so it fails the call wherever it trips.
  void measure_all(NearestSummary& tally) {
    const auto blocks = references_.blocks().blocks();
    for (size_t b = 0; b < blocks.size(); ++b) {
      const ReferenceBlock& block = blocks[b];
      checkpoint_.charge(block_work);
      if (!may_pass(block)) continue;
      const BlockFilterResult filtered = filter(block);
      if (filtered.guarded != 0) panic(std::string(messages::guard));
      if (filtered.passing == 0) continue;
      uint64_t measured = filtered.passing & ~block.short_positions;
      uint8_t lanes[max_block_span];
      if (filtered.passing & block.short_positions) {
        const uint64_t accepted = filtered.passing & accepted_short(b);
        if (accepted != 0) common_of_lanes(b, lanes);
        measured |= accepted;
      }
      for (; measured != 0; measured &= measured - 1) {
        const auto j = static_cast<unsigned>(std::countr_zero(measured));
        const size_t i = block.first + j;
        const size_t common =
            (block.short_positions >> j) & 1 ? lanes[references_.blocks().lane(i)] : common_of_long(i);
        add_if_accepted(tally, i, common);
      }
    }
  }

  // The tally's rule, for a reference that passed both filters and the
  // guard and was measured: accepted when the LCS is at least Lr - max_flex.
  void add_if_accepted(NearestSummary& tally, size_t i, size_t common) const {
    add_if_accepted(tally, i, static_cast<size_t>(references_.length(i)), common);
  }
  void add_if_accepted(NearestSummary& tally, size_t i, size_t length, size_t common) const {
    if (static_cast<intptr_t>(common) < static_cast<intptr_t>(length) - max_flex_) return;
    const size_t distance = static_cast<size_t>(length_) + length - 2 * common;
    tally.add(i, distance);
    if (each_) (*each_)(i, distance);
  }
  // Shown every accepted reference as it is measured.
  void show_each(const FunctionRef<void(size_t, size_t)>* each) noexcept { each_ = each; }

  // Filters and guard passed: the LCS when it is at least Lr - max_flex.
  size_t common_of_long(size_t i) {
    if (!pattern_) pattern_.emplace(query_);
    return lcs_in_band(*pattern_, references_.text(i), max_flex_, checkpoint_);
  }

 private:
  // The A-count is counted on first need: many queries meet no block of
  // a length near theirs.
  bool may_pass(const ReferenceBlock& block) noexcept {
    if (gap(length_, block.min_length, block.max_length) > max_flex_) return false;
    if (a_count_ < 0) a_count_ = static_cast<intptr_t>(count_letter_a(query_));
    return gap(a_count_, block.min_a_count, block.max_a_count) <= max_flex_;
  }

  // Which references of a block pass both filters, and which of those trip
  // the tolerance guard: bit j stands for reference first + j.
  BlockFilterResult filter(const ReferenceBlock& block) const noexcept {
    if (int32_filter_) {
      const ReferenceFacts& facts = references_.facts();
      BlockFilterResult filtered =
          block_filter(references_.kernel(), facts.filter_lengths(block.first), facts.filter_a_counts(block.first),
                       static_cast<int32_t>(length_), static_cast<int32_t>(a_count_),
                       static_cast<int32_t>(std::min<intptr_t>(max_flex_, int32_filter_limit)));
      const uint64_t own = ReferenceBlocks::own_entries(block);
      filtered.passing &= own;
      filtered.guarded &= own;
      return filtered;
    }
    return filter_exactly(block);
  }

  BlockFilterResult filter_exactly(const ReferenceBlock& block) const noexcept {
    BlockFilterResult filtered;
    for (size_t i = block.first; i < block.end; ++i) {
      const intptr_t length = references_.length(i);
      const bool passes =
          (distance(length_, length) <= max_flex_) & (distance(a_count_, references_.a_count(i)) <= max_flex_);
      const bool guard = max_flex_ > std::min(length_, length);
      filtered.passing |= static_cast<uint64_t>(passes) << (i - block.first);
      filtered.guarded |= static_cast<uint64_t>(passes & guard) << (i - block.first);
    }
    return filtered;
  }

  // Positions of the block's short references that the LCS test accepts.
  uint64_t accepted_short(size_t b) {
    return lanes_to_positions(references_.blocks().blocks()[b],
                              block_accepting_lanes(references_.kernel(), block_query(b), max_flex_));
  }

  // lanes[l]: the LCS of the query with the reference in lane l of block b.
  void common_of_lanes(size_t b, uint8_t* lanes) { block_lcs(references_.kernel(), block_query(b), lanes); }

  // The query against block b, its characters numbered in the blocks'
  // alphabet on first need; the block's work is charged here.
  BlockQuery block_query(size_t b) {
    const ReferenceBlocks& blocks = references_.blocks();
    if (!numbers_) {
      numbers_.emplace();
      blocks.alphabet().translate(query_, **numbers_);
    }
    checkpoint_.charge((**numbers_).size());
    return BlockQuery{blocks.blocks()[b].lane_bits, blocks.masks(b), blocks.lane_lengths(b), **numbers_};
  }

  bool accepts_long(size_t i) {
    return long_reference_accepted(references_, i, query_, max_flex_, pattern_, checkpoint_);
  }

  // What a block costs to look at, in characters' worth of work, before
  // any comparison: the filters touch 64 entries.
  static constexpr size_t block_work = 16;

  const ReferenceSet& references_;
  const Text& query_;
  intptr_t max_flex_;
  intptr_t length_;
  intptr_t a_count_ = -1;  // not counted yet
  bool int32_filter_;      // the 32-bit block filter is exact for this query
  Checkpoint& checkpoint_;
  const FunctionRef<void(size_t, size_t)>* each_ = nullptr;
  std::optional<QueryPattern> pattern_;
  // The query's characters as alphabet numbers, in a buffer borrowed from
  // the thread on first need, so a query costs no allocation once warm.
  std::optional<Scratch<std::vector<uint32_t>>> numbers_;
};

NearestMatch measure_nearest(const ReferenceSet& references, const Text& query, intptr_t max_flex,
                             Checkpoint& checkpoint, const FunctionRef<void(size_t, size_t)>* each);

}  // namespace

namespace {

// Whether reference i is in the list and passes both filters for a query
// of this length and A-count. Asked again of what a loaded index names: its
// file may be damaged.
bool passes_filters(const ReferenceSet& references, intptr_t query_length, intptr_t query_a_count, intptr_t max_flex,
                    size_t i) {
  return i < references.facts().size() && distance(query_length, references.length(i)) <= max_flex &&
         distance(query_a_count, references.a_count(i)) <= max_flex;
}
bool passes_filters(const ReferenceSet& references, const Text& query, intptr_t max_flex, size_t i) {
  return passes_filters(references, static_cast<intptr_t>(query.length()), static_cast<intptr_t>(count_letter_a(query)),
                        max_flex, i);
}

// Whether a packed index's summary names nothing, or a reference that
// passes both filters for this query: always, unless the index was loaded
// from a damaged file, whose answers the scan's path then gives.
bool names_a_filtered_reference(const ReferenceSet& references, const Text& query, intptr_t max_flex,
                                const NearestSummary& summary) {
  return summary.ties == 0 || passes_filters(references, query, max_flex, summary.position);
}

// A packed index's summary as the answer: the references of length at
// most max_flex (accepted outright, which the layout does not hold) are
// measured here, as the scan measures them, and joined to it.
NearestMatch nearest_of_summary(const ReferenceSet& references, const CandidateIndex& index, const Text& query,
                                intptr_t max_flex, NearestSummary summary, Checkpoint& checkpoint) {
  index.each_accepted_outright(query, [&](size_t i) {
    QuerySearch search(references, query, max_flex, checkpoint);
    search.add_if_accepted(summary, i, references.text(i).length(), search.common_of_long(i));
  });
  return summary.result();
}

}  // namespace

NearestMatch nearest_accepted(const ReferenceSet& references, const Text& query, intptr_t max_flex,
                              Checkpoint& checkpoint) {
  return measure_nearest(references, query, max_flex, checkpoint, nullptr);
}

NearestMatch nearest_accepted(const ReferenceSet& references, const Text& query, intptr_t max_flex,
                              Checkpoint& checkpoint, FunctionRef<void(size_t position, size_t distance)> each) {
  return measure_nearest(references, query, max_flex, checkpoint, &each);
}

namespace {

NearestMatch measure_nearest(const ReferenceSet& references, const Text& query, intptr_t max_flex,
                             Checkpoint& checkpoint, const FunctionRef<void(size_t, size_t)>* each) {
  NearestSummary tally;
  if (max_flex < 0) return tally.result();
  QuerySearch search(references, query, max_flex, checkpoint);
  search.show_each(each);
  const CandidateIndex* index = references.index(max_flex);
  if (index && !index->prefers_scan(query)) {
    // The index names every reference that may be accepted, so the work
    // follows the candidates, not the list. The guard is asked of the
    // index first.
    checkpoint.charge(query.length() + 16);
    if (index->guard_tripped(query)) panic(std::string(messages::guard));
    NearestSummary summary;
    const Text* one = &query;
    // The packed layout's summary, unless the caller wants to see every
    // accepted reference (each), or the summary names one the filters
    // refuse (a damaged file).
    if (each == nullptr && index->nearest(std::span(&one, 1), std::span(&summary, 1)) &&
        names_a_filtered_reference(references, query, max_flex, summary))
      return nearest_of_summary(references, *index, query, max_flex, summary, checkpoint);
    // The hashed layout names a superset (the packed one, asked here, its
    // exact set): each candidate is measured as the scan measures a long
    // reference.
    Scratch<std::vector<size_t>> candidates;
    candidates->clear();
    index->for_each_candidate(query, [&](size_t i) { candidates->push_back(i); });
    // Each candidate's view and characters are somewhere in a large list:
    // all are fetched at once, rather than one miss after another.
    for (const size_t i : *candidates) __builtin_prefetch(&references.text(i));
    for (const size_t i : *candidates) __builtin_prefetch(references.text(i).data());
    const auto query_length = static_cast<intptr_t>(query.length());
    const auto query_a_count = static_cast<intptr_t>(count_letter_a(query));
    for (const size_t i : *candidates) {
      // The filters are checked again, on the text just fetched rather
      // than on more arrays: a superset may hold references they reject.
      const Text& reference = references.text(i);
      if (distance(query_length, static_cast<intptr_t>(reference.length())) > max_flex ||
          distance(query_a_count, static_cast<intptr_t>(count_letter_a(reference))) > max_flex)
        continue;
      search.add_if_accepted(tally, i, reference.length(), search.common_of_long(i));
    }
    return tally.result();
  }
  search.measure_all(tally);
  return tally.result();
}

}  // namespace

ReferenceSet::ReferenceSet(std::span<const Text> texts, Isa kernel, bool int32_filters, Checkpoint* checkpoint)
    : texts_(texts),
      facts_(texts, 1,
             [checkpoint](size_t work) {
               if (checkpoint) checkpoint->charge(work);
             }),
      blocks_(texts, facts_, checkpoint),
      kernel_(isa_supported(kernel) ? kernel : Isa::portable),
      int32_filters_(int32_filters && facts_.fit_block_filter()) {}

ReferenceSet::ReferenceSet(std::span<const Text> texts, SectionSource& source, unsigned threads, Checkpoint* checkpoint)
    : texts_(texts),
      facts_(texts, source, threads,
             [checkpoint](size_t work) {
               if (checkpoint) checkpoint->charge(work);
             }),
      blocks_(facts_, source, checkpoint),
      kernel_(selected_isa()),
      int32_filters_(facts_.fit_block_filter()) {}

void ReferenceSet::save(SectionSink& sink) const {
  facts_.save(sink);
  blocks_.save(sink);
}

void ReferenceSet::prepare_index(intptr_t max_flex, size_t query_count, uint32_t threads, Checkpoint& checkpoint,
                                 CandidateIndex::Choice choice, CandidateIndex::Layout layout) {
  index_.reset();  // the old one goes first: two at once may not fit
  index_ = CandidateIndex::build(
      texts_, facts_, max_flex, query_count, index_memory_budget(), choice, threads,
      [&](size_t work) { checkpoint.charge(work); }, layout);
  index_max_flex_ = max_flex;
}

size_t ReferenceSet::load_index(SectionSource& source, unsigned threads, Checkpoint& checkpoint) {
  index_.reset();
  index_ = CandidateIndex::load(source, texts_, facts_, threads, [&](size_t work) { checkpoint.charge(work); });
  index_max_flex_ = static_cast<intptr_t>(index_->max_flex());
  return index_->max_flex();
}

std::optional<size_t> first_accepted(const ReferenceSet& references, const Text& query, intptr_t max_flex,
                                     Checkpoint& checkpoint) {
  // A length difference is never negative: nothing passes, nothing to do.
  if (max_flex < 0) return std::nullopt;
  const CandidateIndex* index = references.index(max_flex);
  if (!index || index->prefers_scan(query))
    return QuerySearch(references, query, max_flex, checkpoint).first_accepted();
  // Where many references pass, the first is likely in the list's head:
  // what the head decides is the scan's answer, else the index's is past it.
  if (const size_t head = index->scan_head(query); head > 0)
    if (const std::optional<size_t> found = QuerySearch(references, query, max_flex, checkpoint).first_accepted(head))
      return found;

  // The index names the reference that decides, as the scan would; the
  // LCS test is the banded one, on the few candidates it asks about.
  checkpoint.charge(query.length() + 16);
  std::optional<QueryPattern> pattern;
  // The filters again, first: a loaded index's positions come from a file
  // that may be damaged, and the banded test reads out of its band for a
  // reference that fails the length filter.
  const auto query_length = static_cast<intptr_t>(query.length());
  const auto query_a_count = static_cast<intptr_t>(count_letter_a(query));
  const std::optional<Decision> decision = index->first_decisive(query, [&](size_t i) {
    return passes_filters(references, query_length, query_a_count, max_flex, i) &&
           long_reference_accepted(references, i, query, max_flex, pattern, checkpoint);
  });
  if (decision && decision->guard) panic(std::string(messages::guard));
  return decision ? std::optional<size_t>(decision->position) : std::nullopt;
}

namespace {

// The queries of a window that the index answers together: those the scan
// does not serve better and that make few enough lookups for a window to
// stay between two check-ins, each charged as its one-by-one call charges it;
// `leave(query)` leaves more of them to that call.
struct WindowQueries {
  std::vector<const Text*> queries;
  std::vector<size_t> which;  // each one's place in the window
};
template <class Leave>
void gather(const CandidateIndex& index, std::span<const Text> queries, Checkpoint& checkpoint, Leave&& leave,
            WindowQueries& window) {
  window.queries.clear();
  window.which.clear();
  for (size_t i = 0; i < queries.size(); ++i) {
    if (index.prefers_scan(queries[i]) || !index.fits_a_window(queries[i])) continue;
    checkpoint.charge(queries[i].length() + 16);
    if (leave(queries[i])) continue;
    window.queries.push_back(&queries[i]);
    window.which.push_back(i);
  }
}

}  // namespace

void first_accepted_ahead(const ReferenceSet& references, std::span<const Text> queries, intptr_t max_flex,
                          std::span<Position> out, Checkpoint& checkpoint) {
  std::fill(out.begin(), out.end(), deferred);
  const CandidateIndex* index = max_flex >= 0 ? references.index(max_flex) : nullptr;
  if (!index || !index->packed()) return;
  struct Window {
    WindowQueries gathered;
    std::vector<std::optional<Decision>> decisions;
  };
  Scratch<Window> borrowed;
  Window& window = *borrowed;
  // A query whose first accepted reference is likely in the list's head
  // is left to first_accepted, which scans the head first.
  gather(*index, queries, checkpoint, [&](const Text& query) { return index->scan_head(query) > 0; }, window.gathered);
  const WindowQueries& gathered = window.gathered;
  window.decisions.resize(gathered.queries.size());
  if (!index->first_decisive(gathered.queries, window.decisions)) return;
  for (size_t j = 0; j < gathered.queries.size(); ++j) {
    const std::optional<Decision>& decision = window.decisions[j];
    if (decision && decision->guard) continue;  // first_accepted raises it in its turn
    // A position that fails the filters comes from a damaged file: the
    // one-by-one path, which checks them, answers that query.
    if (decision && !passes_filters(references, *gathered.queries[j], max_flex, decision->position)) continue;
    out[gathered.which[j]] = decision ? decision->position : no_match;
  }
}

void nearest_accepted_ahead(const ReferenceSet& references, std::span<const Text> queries, intptr_t max_flex,
                            std::span<NearestMatch> out, Checkpoint& checkpoint) {
  for (NearestMatch& found : out) found = NearestMatch{deferred, no_distance, no_distance, 0};
  const CandidateIndex* index = max_flex >= 0 ? references.index(max_flex) : nullptr;
  if (!index || !index->packed()) return;
  struct Window {
    WindowQueries gathered;
    std::vector<NearestSummary> summaries;
  };
  Scratch<Window> borrowed;
  Window& window = *borrowed;
  // A guard is left to nearest_accepted, which raises it in its turn.
  gather(*index, queries, checkpoint, [&](const Text& query) { return index->guard_tripped(query); }, window.gathered);
  const WindowQueries& gathered = window.gathered;
  window.summaries.resize(gathered.queries.size());
  if (!index->nearest(gathered.queries, window.summaries)) return;
  for (size_t j = 0; j < gathered.queries.size(); ++j)
    if (names_a_filtered_reference(references, *gathered.queries[j], max_flex, window.summaries[j]))
      out[gathered.which[j]] =
          nearest_of_summary(references, *index, *gathered.queries[j], max_flex, window.summaries[j], checkpoint);
}

}  // namespace mendseqs
