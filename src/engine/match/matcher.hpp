// The reference matcher: which reference a query is corrected to.
//
// A reference is accepted when, in this order, the lengths differ by at most
// max_flex, the counts of 'A' differ by at most max_flex, and their longest
// common subsequence is at least the reference length minus max_flex. The
// first accepted reference in list order wins; none gives the empty string.
//
// Nothing here builds the (Lq + 1) x (Lr + 1) table that defines the LCS:
// short references are compared a block at a time (block_kernel.hpp), long
// ones by a banded bit-parallel test (lcs_banded.hpp). The answer, including
// which reference trips the tolerance guard, is the table's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "kernels/block_kernel.hpp"
#include "match/reference_blocks.hpp"
#include "engine/sequence.hpp"

namespace mendseqs {

// The references of one call with what matching needs, computed once per
// call instead of once per query and candidate: lengths and A-counts in
// compact arrays for the two filters, and the blocks of short references.
// Read-only after construction, so any number of threads may match against
// it at once.
class ReferenceSet {
 public:
  // `kernel` and `compact_filters` choose among implementations with
  // identical results; tests force each in turn.
  explicit ReferenceSet(SequenceList sequences, Isa kernel = selected_isa(),
                        bool compact_filters = true);

  size_t size() const noexcept { return sequences_.size(); }
  const Sequence& sequence(size_t i) const noexcept { return sequences_[i]; }
  intptr_t length(size_t i) const noexcept { return lengths_[i]; }
  intptr_t a_count(size_t i) const noexcept { return a_counts_[i]; }
  const ReferenceBlocks& blocks() const noexcept { return blocks_; }
  Isa kernel() const noexcept { return kernel_; }
  bool compact_filters() const noexcept { return compact_filters_; }

 private:
  SequenceList sequences_;
  std::vector<intptr_t> lengths_;  // code points
  std::vector<intptr_t> a_counts_;
  ReferenceBlocks blocks_;
  Isa kernel_;
  bool compact_filters_;
};

// Message of the tolerance guard, which ends the whole call.
inline constexpr std::string_view tolerance_guard_message =
    "max_flex cannot be greater than the length of the sequences.";

// Returns a copy of the first acceptable reference, or the empty string.
// Fails (Panic) when a reference passes both filters while max_flex exceeds
// the shorter of the two lengths, unless an earlier reference was accepted.
Sequence correct_seq(const ReferenceSet& references, std::string_view query, intptr_t max_flex);

}  // namespace mendseqs
