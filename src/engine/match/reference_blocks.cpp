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
// This runs once per reference of lists of millions at every load, so the
// common block (64 references of at most 16 characters: a whitelist's) is
// laid out whole, in loops the compiler vectorises; any other is cut
// reference by reference.
void ReferenceBlocks::cut_into_blocks(const ReferenceFacts& facts) {
  const size_t n = facts.size();
  // Empty unless the table is narrow, as it is for every whitelist.
  const std::span<const uint32_t> lengths = facts.lengths(), a_counts = facts.a_counts();
  blocks_.reserve(n / max_block_span + 1);
  for (size_t i = 0; i < n;) {
    charge(max_block_span);
    if (facts.narrow() && n - i >= max_block_span) {
      uint32_t min_length = lengths[i], max_length = lengths[i], min_a = a_counts[i], max_a = a_counts[i];
      for (size_t j = i; j < i + max_block_span; ++j) {
        min_length = std::min(min_length, lengths[j]);
        max_length = std::max(max_length, lengths[j]);
        min_a = std::min(min_a, a_counts[j]);
        max_a = std::max(max_a, a_counts[j]);
      }
      if (max_length <= 16) {  // every one short, in a 16-bit lane: one lane each, in order
        static_assert(max_block_span == 64 && block_mask_bytes * 8 / 16 == max_block_span);
        blocks_.push_back({i, i + max_block_span, 16, max_block_span, ~uint64_t{0}, static_cast<intptr_t>(min_length),
                           static_cast<intptr_t>(max_length), static_cast<intptr_t>(min_a),
                           static_cast<intptr_t>(max_a)});
        for (size_t j = 0; j < max_block_span; ++j) lanes_[i + j] = static_cast<uint8_t>(j);
        i += max_block_span;
        continue;
      }
    }
    const auto length_of = [&](size_t r) { return static_cast<intptr_t>(facts.length(r)); };
    const auto a_count_of = [&](size_t r) { return static_cast<intptr_t>(facts.a_count(r)); };
    ReferenceBlock block{i, i, 16, 0, 0, length_of(i), length_of(i), a_count_of(i), a_count_of(i)};
    for (; i < n; ++i) {
      const intptr_t length = length_of(i), a_count = a_count_of(i);
      const bool is_short = length <= short_reference_limit;
      const unsigned bits = is_short ? std::max(block.lane_bits, lane_bits_for(length)) : block.lane_bits;
      if (i - block.first == max_block_span || block.lanes + (is_short ? 1 : 0) > block_mask_bytes * 8 / bits) break;
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
    blocks_.push_back(block);
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
