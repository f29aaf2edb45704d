// Short references laid out side by side, so one pass over a query compares
// it with a whole run of references at once.
//
// The reference list is cut, in list order, into blocks of at most 64
// references. Each short reference (at most 64 characters) of a block gets a
// lane of 16, 32 or 64 bits, the same width for the whole block, and 1024
// bits of lanes per block and character hold, lane by lane, the positions
// where that reference has that character; one more entry holds each lane's
// reference length (255 for an unused lane). Long references keep no lane
// and are compared one by one; keeping them in the block preserves list order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/text.hpp"
#include "index/large_array.hpp"
#include "index/sections.hpp"
#include "kernels/alphabet.hpp"
#include "kernels/block_layout.hpp"
#include "support/checkpoint.hpp"

namespace mendseqs {

struct ReferenceBlock {
  size_t first;  // the references first .. end - 1
  size_t end;
  unsigned lane_bits;        // 16, 32 or 64
  unsigned lanes;            // short references in the block
  uint64_t short_positions;  // bit j: reference first + j has a lane
  // Over every reference of the block, so a query can skip it unscanned.
  intptr_t min_length, max_length, min_a_count, max_a_count;
};

class ReferenceBlocks {
 public:
  // The work is charged to `checkpoint`, when given.
  ReferenceBlocks(std::span<const Text> references, std::span<const intptr_t> lengths,
                  std::span<const intptr_t> a_counts, Checkpoint* checkpoint = nullptr);
  // The blocks of a saved list: cut again from the lengths and A-counts
  // (cheap), the alphabet and masks (a pass over every character) taken
  // from `source`, the masks borrowed. Throws IndexFormatError when they
  // cannot be this list's.
  ReferenceBlocks(std::span<const intptr_t> lengths, std::span<const intptr_t> a_counts, SectionSource& source,
                  Checkpoint* checkpoint = nullptr);
  void save(SectionSink& sink) const;

  std::span<const ReferenceBlock> blocks() const noexcept { return blocks_; }
  // The lane of a reference, or no_lane: long, or the masks were not built.
  uint8_t lane(size_t reference) const noexcept { return lanes_[reference]; }
  const Alphabet& alphabet() const noexcept { return alphabet_; }
  // alphabet().size() entries of block_mask_bytes, one per character.
  const unsigned char* masks(size_t block) const noexcept {
    return masks_.data() + block * (alphabet_.size() + 1) * block_mask_bytes;
  }
  const unsigned char* lane_lengths(size_t block) const noexcept {
    return masks(block) + alphabet_.size() * block_mask_bytes;
  }

  // Lengths and A-counts as 32-bit numbers, max_block_span per block
  // (block_filter.hpp); only when every length fits (below int32_filter_limit).
  bool fits_in_int32() const noexcept { return !filter_lengths_.empty() || blocks_.empty(); }
  const int32_t* filter_lengths(size_t block) const noexcept { return &filter_lengths_[block * max_block_span]; }
  const int32_t* filter_a_counts(size_t block) const noexcept { return &filter_a_counts_[block * max_block_span]; }

 private:
  void cut_into_blocks(std::span<const intptr_t> lengths, std::span<const intptr_t> a_counts);
  void charge(size_t work) {
    if (checkpoint_) checkpoint_->charge(work);
  }
  // Numbers every character of the short references; returns how many
  // characters they hold in all.
  size_t collect_alphabet(std::span<const Text> references);
  bool masks_fit(size_t short_characters) const noexcept;
  void fill_masks(std::span<const Text> references);
  void fill_filter_entries(std::span<const intptr_t> lengths, std::span<const intptr_t> a_counts);

  Checkpoint* checkpoint_ = nullptr;  // while constructing only
  std::vector<ReferenceBlock> blocks_;
  std::vector<uint8_t> lanes_;
  Alphabet alphabet_;
  LargeArray<unsigned char> masks_;  // owned, or borrowed from a saved file
  std::vector<int32_t> filter_lengths_;
  std::vector<int32_t> filter_a_counts_;
};

}  // namespace mendseqs
