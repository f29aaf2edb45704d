// Bit-parallel LCS of one query against every lane of a reference block
// (see reference_blocks.hpp), all lanes advancing together, one step per
// query character: u = S & M[c]; S = (S + u) | (S - u), per lane.
//
// Two implementations with identical results: a portable one, plain C++
// over lane arrays that the compiler may vectorise for the baseline target,
// and an AVX2 one for x86-64 processors that report AVX2 at run time. The
// shipped build never assumes more than the baseline instruction set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace mendseqs {

enum class BlockKernel : uint8_t { portable, avx2 };

bool block_kernel_supported(BlockKernel kernel) noexcept;
// AVX2 where this processor has it, else portable; decided once.
BlockKernel fastest_block_kernel() noexcept;
std::string_view block_kernel_name(BlockKernel kernel) noexcept;

// Writes to common[l] the LCS length of the query with the reference in lane
// l, for every lane of the block (block_mask_bytes * 8 / lane_bits of them).
// `masks` are the block's masks, `slots` the query's characters as alphabet
// numbers (reference_blocks.hpp, alphabet.hpp). `kernel` must be supported.
void block_lcs(BlockKernel kernel, unsigned lane_bits, const unsigned char* masks,
               std::span<const uint32_t> slots, uint8_t* common);

void block_lcs_portable(unsigned lane_bits, const unsigned char* masks, std::span<const uint32_t> slots,
                        uint8_t* common);
void block_lcs_avx2(unsigned lane_bits, const unsigned char* masks, std::span<const uint32_t> slots,
                    uint8_t* common);

}  // namespace mendseqs
