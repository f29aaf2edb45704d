// One instruction set's compiled block kernel and block filter, as entry
// points; isa.cpp holds one table per set this build compiled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/block_filter.hpp"
#include "kernels/block_kernel.hpp"
#include "kernels/block_layout.hpp"
#include "kernels/simd/fingerprints.hpp"

namespace mendseqs::simd {

struct KernelTable {
  // By lane width: 16, 32 and 64 bits.
  uint64_t (*accept[3])(const BlockQuery& query, uint8_t max_flex);
  void (*lcs[3])(const BlockQuery& query, uint8_t* common);
  BlockFilterResult (*filter)(const int32_t* lengths, const int32_t* a_counts, int32_t query_length,
                              int32_t query_a_count, int32_t max_flex);
  FingerprintMatch fingerprints;
};

// The table of a set compiled into this build (any other: the portable one).
const KernelTable& kernels_of(Isa isa) noexcept;

constexpr size_t lane_width_index(unsigned lane_bits) noexcept { return lane_bits == 16 ? 0 : lane_bits == 32 ? 1 : 2; }

extern const KernelTable portable_kernels;
#if defined(__x86_64__)
extern const KernelTable avx2_kernels;
extern const KernelTable avx512_kernels;
#endif
#if defined(__arm__)
extern const KernelTable neon_kernels;
#endif

}  // namespace mendseqs::simd
