#include "match/reference_blocks.hpp"

#include <algorithm>
#include <cstring>

#include "kernels/block_filter.hpp"

namespace mendseqs {
namespace {

// The masks may cost this much, or 32 bytes per character of the short
// references if that is more; past it (text with a great many distinct
// characters) short references are compared one by one instead.
constexpr size_t mask_budget_floor = size_t{4} << 20;
constexpr size_t mask_budget_per_character = 32;
// Longer than any short reference plus any tolerance a lane is tested with:
// an unused lane never accepts.
constexpr uint8_t unused_lane_length = 255;

template <typename Lane>
void set_lane_bit(unsigned char* entry, size_t lane, size_t position) {
  Lane bits;
  std::memcpy(&bits, entry + lane * sizeof(Lane), sizeof(Lane));
  bits |= static_cast<Lane>(Lane{1} << position);
  std::memcpy(entry + lane * sizeof(Lane), &bits, sizeof(Lane));
}

template <typename Lane>
void set_lane(unsigned char* entry, size_t lane, uint8_t value) {
  const auto wide = static_cast<Lane>(value);
  std::memcpy(entry + lane * sizeof(Lane), &wide, sizeof(Lane));
}

void set_lane(unsigned char* entry, unsigned lane_bits, size_t lane, uint8_t value) {
  switch (lane_bits) {
    case 16:
      set_lane<uint16_t>(entry, lane, value);
      break;
    case 32:
      set_lane<uint32_t>(entry, lane, value);
      break;
    default:
      set_lane<uint64_t>(entry, lane, value);
      break;
  }
}

void set_lane_bit(unsigned char* entry, unsigned lane_bits, size_t lane, size_t position) {
  switch (lane_bits) {
    case 16:
      set_lane_bit<uint16_t>(entry, lane, position);
      break;
    case 32:
      set_lane_bit<uint32_t>(entry, lane, position);
      break;
    default:
      set_lane_bit<uint64_t>(entry, lane, position);
      break;
  }
}

}  // namespace

ReferenceBlocks::ReferenceBlocks(std::span<const Text> references, const ReferenceFacts& facts, Checkpoint* checkpoint)
    : checkpoint_(checkpoint), lanes_(references.size(), no_lane) {
  cut_into_blocks(facts);
  if (masks_fit(collect_alphabet(references))) {
    fill_masks(references);
  } else {
    std::fill(lanes_.begin(), lanes_.end(), no_lane);
    for (ReferenceBlock& block : blocks_) block.short_positions = 0;
  }
  checkpoint_ = nullptr;
}

ReferenceBlocks::ReferenceBlocks(const ReferenceFacts& facts, SectionSource& source, Checkpoint* checkpoint)
    : checkpoint_(checkpoint), lanes_(facts.size(), no_lane) {
  cut_into_blocks(facts);
  const std::span<const uint32_t> characters = source.array<uint32_t>("blocks.alphabet");
  for (size_t i = 0; i < characters.size(); ++i)
    if (characters[i] > 0x10FFFF || alphabet_.add(characters[i]) != i)
      throw IndexFormatError("the blocks' alphabet repeats or holds no character");
  const std::span<const uint8_t> masks = source.array<uint8_t>("blocks.masks");
  if (masks.empty()) {  // compared one by one, as when built past the masks' budget
    std::fill(lanes_.begin(), lanes_.end(), no_lane);
    for (ReferenceBlock& block : blocks_) block.short_positions = 0;
    checkpoint_ = nullptr;
    return;
  }
  // Short references are numbered within their blocks as when built; every
  // character they hold must have a number, or a lane would miss it.
  if (masks.size() / block_mask_bytes / (alphabet_.size() + 1) != blocks_.size() ||
      masks.size() % (block_mask_bytes * (alphabet_.size() + 1)) != 0)
    throw IndexFormatError("the blocks' masks do not fit the references");
  masks_ = LargeArray<unsigned char>::borrow(masks);
  checkpoint_ = nullptr;
}

void ReferenceBlocks::save(SectionSink& sink) const {
  const std::vector<char32_t> characters = alphabet_.characters();
  const std::vector<uint32_t> numbers(characters.begin(), characters.end());
  sink.put_array<uint32_t>("blocks.alphabet", numbers);
  sink.put_array<uint8_t>("blocks.masks", std::span<const uint8_t>(masks_.data(), masks_.size()));
}

// Greedy, in list order: a block closes when it spans 64 references or when
// the next short reference would not find a lane at the block's width.
void ReferenceBlocks::cut_into_blocks(const ReferenceFacts& facts) {
  for (size_t i = 0; i < facts.size(); ++i) {
    charge(1);
    const auto length = static_cast<intptr_t>(facts.length(i));
    const auto a_count = static_cast<intptr_t>(facts.a_count(i));
    const bool is_short = length <= short_reference_limit;
    bool full = blocks_.empty();
    if (!full) {
      const ReferenceBlock& open = blocks_.back();
      const unsigned bits = is_short ? std::max(open.lane_bits, lane_bits_for(length)) : open.lane_bits;
      full = i - open.first == max_block_span || open.lanes + (is_short ? 1 : 0) > block_mask_bytes * 8 / bits;
    }
    if (full) blocks_.push_back({i, i, 16, 0, 0, length, length, a_count, a_count});
    ReferenceBlock& block = blocks_.back();
    block.end = i + 1;
    if (is_short) {
      lanes_[i] = static_cast<uint8_t>(block.lanes++);
      block.short_positions |= uint64_t{1} << (i - block.first);
      block.lane_bits = std::max(block.lane_bits, lane_bits_for(length));
    }
    block.min_length = std::min(block.min_length, length);
    block.max_length = std::max(block.max_length, length);
    block.min_a_count = std::min(block.min_a_count, a_count);
    block.max_a_count = std::max(block.max_a_count, a_count);
  }
}

size_t ReferenceBlocks::collect_alphabet(std::span<const Text> references) {
  size_t short_characters = 0;
  for (size_t i = 0; i < references.size(); ++i) {
    if (lanes_[i] == no_lane) continue;
    charge(references[i].length() + 1);
    short_characters += references[i].length();
    references[i].visit([&](auto code_points) {
      for (const char32_t c : code_points) alphabet_.add(c);
    });
  }
  return short_characters;
}

bool ReferenceBlocks::masks_fit(size_t short_characters) const noexcept {
  const size_t budget = std::max(mask_budget_floor, mask_budget_per_character * short_characters);
  const size_t per_block = (alphabet_.size() + 1) * block_mask_bytes;
  return blocks_.size() <= budget / per_block;
}

void ReferenceBlocks::fill_masks(std::span<const Text> references) {
  const size_t entries = alphabet_.size() + 1;
  masks_ = LargeArray<unsigned char>(blocks_.size() * entries * block_mask_bytes);
  for (size_t b = 0; b < blocks_.size(); ++b) {
    const ReferenceBlock& block = blocks_[b];
    unsigned char* table = masks_.data() + b * entries * block_mask_bytes;
    unsigned char* lengths = table + alphabet_.size() * block_mask_bytes;
    for (size_t lane = 0; lane < block_mask_bytes * 8 / block.lane_bits; ++lane)
      set_lane(lengths, block.lane_bits, lane, unused_lane_length);
    for (size_t i = block.first; i < block.end; ++i) {
      if (lanes_[i] == no_lane) continue;
      charge(references[i].length() + 1);
      references[i].visit([&](auto code_points) {
        for (size_t position = 0; position < code_points.size(); ++position) {
          unsigned char* entry = table + alphabet_.number(code_points[position]) * block_mask_bytes;
          set_lane_bit(entry, block.lane_bits, lanes_[i], position);
        }
      });
      set_lane(lengths, block.lane_bits, lanes_[i], static_cast<uint8_t>(references[i].length()));
    }
  }
}

}  // namespace mendseqs
