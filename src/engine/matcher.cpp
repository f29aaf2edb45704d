#include "engine/matcher.hpp"

#include <algorithm>
#include <bit>
#include <optional>

#include "engine/lcs.hpp"
#include "engine/lcs_banded.hpp"
#include "engine/panic.hpp"
#include "engine/utf8.hpp"

namespace mendseqs {
namespace {

intptr_t distance(intptr_t a, intptr_t b) noexcept { return a > b ? a - b : b - a; }

// Distance from x to the nearest value of [low, high]; 0 inside.
intptr_t gap(intptr_t x, intptr_t low, intptr_t high) noexcept {
  return x < low ? low - x : x > high ? x - high : 0;
}

std::vector<intptr_t> lengths_of(const SequenceList& sequences) {
  std::vector<intptr_t> lengths;
  lengths.reserve(sequences.size());
  for (const Sequence& s : sequences) lengths.push_back(static_cast<intptr_t>(utf8::count_code_points(s)));
  return lengths;
}

std::vector<intptr_t> a_counts_of(const SequenceList& sequences) {
  std::vector<intptr_t> counts;
  counts.reserve(sequences.size());
  for (const Sequence& s : sequences) counts.push_back(static_cast<intptr_t>(utf8::count_letter_a(s)));
  return counts;
}

// One query's walk through the references, block by block in list order.
// What the comparisons need from the query (its alphabet numbers, its bit
// masks, a block's results) is made on first use and kept for the walk.
class QuerySearch {
 public:
  QuerySearch(const ReferenceSet& references, std::string_view query, intptr_t max_flex)
      : references_(references),
        query_(query),
        max_flex_(max_flex),
        length_(static_cast<intptr_t>(utf8::count_code_points(query))),
        a_count_(static_cast<intptr_t>(utf8::count_letter_a(query))) {}

  // The index of the first accepted reference. Candidates are taken in list
  // order and the guard is checked before each one's comparison, exactly as
  // a one-by-one loop would.
  std::optional<size_t> first_accepted() {
    const auto blocks = references_.blocks().blocks();
    for (size_t b = 0; b < blocks.size(); ++b) {
      const ReferenceBlock& block = blocks[b];
      if (!may_pass(block)) continue;
      block_compared_ = false;
      for (uint64_t passing = passing_filters(block); passing != 0; passing &= passing - 1) {
        const size_t i = block.first + static_cast<size_t>(std::countr_zero(passing));
        if (max_flex_ > std::min(length_, references_.length(i))) panic(std::string(tolerance_guard_message));
        if (accepts(b, i)) return i;
      }
    }
    return std::nullopt;
  }

 private:
  bool may_pass(const ReferenceBlock& block) const noexcept {
    return gap(length_, block.min_length, block.max_length) <= max_flex_ &&
           gap(a_count_, block.min_a_count, block.max_a_count) <= max_flex_;
  }

  // Bit j: reference block.first + j passes the length and A-count filters.
  uint64_t passing_filters(const ReferenceBlock& block) const noexcept {
    uint64_t passing = 0;
    for (size_t i = block.first; i < block.end; ++i) {
      const bool passes = (distance(length_, references_.length(i)) <= max_flex_) &
                          (distance(a_count_, references_.a_count(i)) <= max_flex_);
      passing |= static_cast<uint64_t>(passes) << (i - block.first);
    }
    return passing;
  }

  // Filters and guard passed: 0 <= max_flex <= min(Lq, Lr).
  bool accepts(size_t block, size_t i) {
    const intptr_t needed = references_.length(i) - max_flex_;
    if (needed <= 0) return true;
    const uint8_t lane = references_.blocks().lane(i);
    if (lane != no_lane) return compare_block(block)[lane] >= needed;
    if (!pattern_) pattern_.emplace(query_);
    return lcs_reaches(*pattern_, references_.sequence(i), references_.length(i), max_flex_);
  }

  // The LCS with every short reference of the block, computed at most once.
  const uint8_t* compare_block(size_t b) {
    if (!block_compared_) {
      const ReferenceBlocks& blocks = references_.blocks();
      if (!translated_) {
        blocks.alphabet().translate(query_, slots_);
        translated_ = true;
      }
      block_lcs(references_.kernel(), blocks.blocks()[b].lane_bits, blocks.masks(b), slots_, block_common_);
      block_compared_ = true;
    }
    return block_common_;
  }

  const ReferenceSet& references_;
  std::string_view query_;
  intptr_t max_flex_;
  intptr_t length_;
  intptr_t a_count_;
  std::optional<QueryPattern> pattern_;
  // Kept per thread so a query costs no allocation once warm.
  static thread_local std::vector<uint32_t> slots_;
  bool translated_ = false;
  uint8_t block_common_[block_mask_bytes * 8 / 16];
  bool block_compared_ = false;
};

thread_local std::vector<uint32_t> QuerySearch::slots_;

}  // namespace

ReferenceSet::ReferenceSet(SequenceList sequences, BlockKernel kernel)
    : sequences_(std::move(sequences)),
      lengths_(lengths_of(sequences_)),
      a_counts_(a_counts_of(sequences_)),
      blocks_(sequences_, lengths_, a_counts_),
      kernel_(block_kernel_supported(kernel) ? kernel : BlockKernel::portable) {}

Sequence correct_seq(const ReferenceSet& references, std::string_view query, intptr_t max_flex) {
  // A length difference is never negative: nothing passes, nothing to do.
  if (max_flex < 0) return Sequence();
  const std::optional<size_t> accepted = QuerySearch(references, query, max_flex).first_accepted();
  return accepted ? references.sequence(*accepted) : Sequence();
}

}  // namespace mendseqs
