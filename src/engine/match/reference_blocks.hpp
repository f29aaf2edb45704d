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
#include "kernels/alphabet.hpp"
#include "kernels/block_layout.hpp"
#include "storage/large_array.hpp"
#include "storage/reference_facts.hpp"
#include "storage/sections.hpp"
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
  // Cut by the references' table (`facts`), which the block filter reads
  // in place (reference_facts.hpp). The work is charged to `checkpoint`,
  // when given.
  ReferenceBlocks(std::span<const Text> references, const ReferenceFacts& facts, Checkpoint* checkpoint = nullptr);
  // The blocks of a saved list: cut again from the table (cheap), the
  // alphabet and masks (a pass over every character) taken from `source`,
  // the masks borrowed. Throws IndexFormatError when they cannot be this
  // list's.
  ReferenceBlocks(const ReferenceFacts& facts, SectionSource& source, Checkpoint* checkpoint = nullptr);
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

  // The entries of a block that are its own: the block filter reads
  // max_block_span entries of the table from block.first on, and those past
  // block.end belong to the next block (or are unused).
  static uint64_t own_entries(const ReferenceBlock& block) noexcept {
    const size_t span = block.end - block.first;
    return span >= max_block_span ? ~uint64_t{0} : (uint64_t{1} << span) - 1;
  }

 private:
  void cut_into_blocks(const ReferenceFacts& facts);
  void charge(size_t work) {
    if (checkpoint_) checkpoint_->charge(work);
  }
  // Numbers every character of the short references; returns how many
  // characters they hold in all.
  size_t collect_alphabet(std::span<const Text> references);
  bool masks_fit(size_t short_characters) const noexcept;
  void fill_masks(std::span<const Text> references);

  Checkpoint* checkpoint_ = nullptr;  // while constructing only
  std::vector<ReferenceBlock> blocks_;
  std::vector<uint8_t> lanes_;
  Alphabet alphabet_;
  LargeArray<unsigned char> masks_;  // owned, or borrowed from a saved file
};

}  // namespace mendseqs
