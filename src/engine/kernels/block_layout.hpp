// The shape of a reference block, as the block kernels and filters read it
// and match/reference_blocks.hpp lays it out: here, below both, so that the
// kernels depend on nothing above them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mendseqs {

inline constexpr intptr_t short_reference_limit = 64;  // characters
inline constexpr size_t block_mask_bytes = 128;        // 1024 bits of lanes
inline constexpr size_t max_block_span = 64;           // references per block
inline constexpr uint8_t no_lane = 0xFF;

// Bits of the narrowest lane that holds a short reference of `length`.
constexpr unsigned lane_bits_for(intptr_t length) noexcept { return length <= 16 ? 16 : length <= 32 ? 32 : 64; }

}  // namespace mendseqs
