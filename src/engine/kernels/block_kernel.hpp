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

// What a block comparison needs: the block's masks and lane lengths
// (reference_blocks.hpp) and the query's characters as alphabet numbers.
struct BlockQuery {
  unsigned lane_bits;
  const unsigned char* masks;
  const unsigned char* lane_lengths;
  std::span<const uint32_t> slots;
};

// Bit l set when lane l's reference is accepted: its LCS with the query is
// at least its length minus max_flex (max_flex >= 0). The matcher's test.
uint64_t block_accepting_lanes(BlockKernel kernel, const BlockQuery& query, intptr_t max_flex);

// common[l] = the LCS length of the query with lane l's reference, for every
// lane of the block (block_mask_bytes * 8 / lane_bits of them).
void block_lcs(BlockKernel kernel, const BlockQuery& query, uint8_t* common);

// The implementations behind both, callable directly (the AVX2 ones only
// where block_kernel_supported says so).
uint64_t block_accepting_lanes_portable(const BlockQuery& query, uint8_t max_flex);
uint64_t block_accepting_lanes_avx2(const BlockQuery& query, uint8_t max_flex);
void block_lcs_portable(const BlockQuery& query, uint8_t* common);
void block_lcs_avx2(const BlockQuery& query, uint8_t* common);

}  // namespace mendseqs
