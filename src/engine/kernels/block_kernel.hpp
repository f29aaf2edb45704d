// Bit-parallel LCS of one query against every lane of a reference block
// (see reference_blocks.hpp), all lanes advancing together, one step per
// query character: u = S & M[c]; S = (S + u) | (S - u), per lane.
//
// Written once over a lane-vector abstraction (simd/generic.hpp) and
// compiled for every instruction set of simd/isa.hpp, with identical
// results; the Isa argument picks the compiled copy. The shipped build
// never assumes more than the baseline instruction set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kernels/simd/isa.hpp"

namespace mendseqs {

// What a block comparison needs: the block's masks and lane lengths
// (reference_blocks.hpp) and the query's characters as alphabet numbers.
struct BlockQuery {
  unsigned lane_bits;
  const unsigned char* masks;
  const unsigned char* lane_lengths;
  std::span<const uint32_t> numbers;  // the query's characters as alphabet numbers
};

// Bit l set when lane l's reference is accepted: its LCS with the query is
// at least its length minus max_flex (max_flex >= 0). The matcher's test.
// `isa` must be supported (isa_supported).
uint64_t block_accepting_lanes(Isa isa, const BlockQuery& query, intptr_t max_flex);

// common[l] = the LCS length of the query with lane l's reference, for every
// lane of the block (block_mask_bytes * 8 / lane_bits of them): what
// nearest measures the accepted short references with.
// `isa` must be supported (isa_supported).
void block_lcs(Isa isa, const BlockQuery& query, uint8_t* common);

}  // namespace mendseqs
