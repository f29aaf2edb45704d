// The reference matcher: which reference a query is corrected to.
//
// A reference is accepted when, in this order, the lengths differ by at most
// max_flex, the counts of 'A' differ by at most max_flex, and their longest
// common subsequence is at least the reference length minus max_flex. The
// first accepted reference in list order wins; none gives no match.
//
// Nothing here builds the (Lq + 1) x (Lr + 1) table that defines the LCS:
// short references are compared a block at a time (block_kernel.hpp), long
// ones by a banded bit-parallel test (lcs_banded.hpp). The answer, including
// which reference trips the tolerance guard, is the table's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/match_result.hpp"
#include "engine/text.hpp"
#include "index/candidate_index.hpp"
#include "kernels/block_kernel.hpp"
#include "match/reference_blocks.hpp"
#include "support/checkpoint.hpp"
#include "support/function_ref.hpp"
#include "support/nearest_summary.hpp"

namespace mendseqs {

// The references of one call with what matching needs, computed once per
// call instead of once per query and candidate: the references' table of
// lengths and A-counts (storage/reference_facts.hpp), which the filters, the
// block filter and the candidate index all read, and the blocks of short
// references. Views only: the texts stay where their owner keeps them.
// Read-only after construction, so any number of threads may match against
// it at once. Not moved: the blocks' filter and the index point into it.
class ReferenceSet {
 public:
  // `kernel` and `int32_filters` choose among implementations with
  // identical results; tests force each in turn.
  // Preparing a long list takes a while: a given `checkpoint` is charged
  // for it, so its caller checks in meanwhile.
  explicit ReferenceSet(std::span<const Text> texts, Isa kernel = selected_isa(), bool int32_filters = true,
                        Checkpoint* checkpoint = nullptr);
  // The set of a saved list whose texts are `texts`: the A-counts, each
  // checked against its text on up to `threads` threads, and what else
  // takes a pass over every character (alphabet, masks) come from
  // `source`, which must outlive the set. Throws IndexFormatError when they
  // cannot be theirs.
  ReferenceSet(std::span<const Text> texts, SectionSource& source, unsigned threads = 1,
               Checkpoint* checkpoint = nullptr);
  ReferenceSet(const ReferenceSet&) = delete;
  ReferenceSet& operator=(const ReferenceSet&) = delete;
  void save(SectionSink& sink) const;

  const Text& text(size_t i) const noexcept { return texts_[i]; }
  intptr_t length(size_t i) const noexcept { return static_cast<intptr_t>(facts_.length(i)); }
  intptr_t a_count(size_t i) const noexcept { return static_cast<intptr_t>(facts_.a_count(i)); }
  const ReferenceFacts& facts() const noexcept { return facts_; }
  const ReferenceBlocks& blocks() const noexcept { return blocks_; }
  Isa kernel() const noexcept { return kernel_; }
  bool int32_filters() const noexcept { return int32_filters_; }

  // Builds the candidate index (index/candidate_index.hpp) for a call with
  // this max_flex and this many queries, when its cost model and memory
  // budget allow; `always` skips the cost model (tests force the index so),
  // and `layout` may force the hashed layout (tests and benchmarks compare).
  // Without an index for the call's max_flex, every query scans; the
  // answers are the same. The building is charged to `checkpoint`.
  void prepare_index(intptr_t max_flex, size_t query_count, uint32_t threads, Checkpoint& checkpoint,
                     CandidateIndex::Choice choice = CandidateIndex::Choice::cost_model,
                     CandidateIndex::Layout layout = CandidateIndex::Layout::automatic);
  void drop_index() noexcept { index_.reset(); }
  // Loads the index saved for these references from `source` (see
  // CandidateIndex::load) as the one for its own max_flex, which it returns.
  size_t load_index(SectionSource& source, unsigned threads, Checkpoint& checkpoint);
  // Copies what a loaded index borrows from its source into memory of the
  // process's own (huge pages where the kernel gives them); the source may
  // then go. Throws std::bad_alloc.
  void copy_index_borrowed() {
    if (index_) index_->copy_borrowed();
  }
  void relay_index_postings(bool split) {
    if (index_) index_->relay_postings(split);
  }
  const CandidateIndex* index(intptr_t max_flex) const noexcept {
    return index_ && max_flex == index_max_flex_ ? index_.get() : nullptr;
  }

 private:
  std::span<const Text> texts_;
  ReferenceFacts facts_;
  ReferenceBlocks blocks_;
  Isa kernel_;
  bool int32_filters_;
  std::unique_ptr<CandidateIndex> index_;
  intptr_t index_max_flex_ = 0;
};

// The position of the first acceptable reference, or nothing.
// Fails (Panic) when a reference passes both filters while max_flex exceeds
// the shorter of the two lengths, unless an earlier reference was accepted.
// The work is charged to `checkpoint`.
std::optional<size_t> first_accepted(const ReferenceSet& references, const Text& query, intptr_t max_flex,
                                     Checkpoint& checkpoint);

// first_accepted for a window of queries at once, where the index answers
// them alone (its packed layout, nothing to verify): their lookups are in
// flight together, so the memory's latency is paid once for many. out[i]
// gets queries[i]'s position or no_match, or `deferred` when the query is
// left to first_accepted (no index, a query the scan serves better, or
// one whose answer is the guard's, which first_accepted raises in order).
inline constexpr Position deferred = no_match - 1;
void first_accepted_ahead(const ReferenceSet& references, std::span<const Text> queries, intptr_t max_flex,
                          std::span<Position> out, Checkpoint& checkpoint);

// nearest_accepted for a window of queries at once, in the same way: out[i]
// gets queries[i]'s answer, or one at position `deferred` when the query is
// left to nearest_accepted (as above; a query tripping the guard too).
void nearest_accepted_ahead(const ReferenceSet& references, std::span<const Text> queries, intptr_t max_flex,
                            std::span<NearestMatch> out, Checkpoint& checkpoint);

// Every accepted reference of one query, measured, and the nearest of them
// (see NearestMatch). Unlike first_accepted, every reference that passes
// both filters is examined, so the call fails (Panic) when any of them
// trips the tolerance guard. The work is charged to `checkpoint`.
NearestMatch nearest_accepted(const ReferenceSet& references, const Text& query, intptr_t max_flex,
                              Checkpoint& checkpoint);
// The same, showing `each` every accepted reference and its distance, in
// increasing position.
NearestMatch nearest_accepted(const ReferenceSet& references, const Text& query, intptr_t max_flex,
                              Checkpoint& checkpoint, FunctionRef<void(size_t position, size_t distance)> each);

}  // namespace mendseqs
