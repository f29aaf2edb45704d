// The two cheap filters and the guard condition for a whole block at once.
//
// Each block keeps its references' lengths and A-counts as 32-bit numbers,
// 64 per block (unused entries hold a value no query can come near), so a
// query tests 64 references with a few vector instructions instead of a
// loop with a branch per reference. The matcher uses this only when every
// number involved is below 2^30, where the 32-bit arithmetic is exact; it
// falls back to pointer-width arithmetic otherwise.
#pragma once

#include <cstdint>

#include "kernels/block_kernel.hpp"

namespace mendseqs {

inline constexpr int32_t int32_filter_limit = int32_t{1} << 30;
// Farther than int32_filter_limit from every length and count a query can have.
inline constexpr int32_t unused_filter_entry = -int32_filter_limit - 1;

struct BlockFilterResult {
  uint64_t passing = 0;  // bit j: both filters pass for entry j
  uint64_t guarded = 0;  // passing, and max_flex > min(query length, length j)
};

// All arguments below int32_filter_limit; max_flex >= 0 (clamp it to
// int32_filter_limit first: no difference of such values reaches it).
BlockFilterResult block_filter(BlockKernel kernel, const int32_t* lengths, const int32_t* a_counts,
                               int32_t query_length, int32_t query_a_count, int32_t max_flex);

BlockFilterResult block_filter_portable(const int32_t* lengths, const int32_t* a_counts, int32_t query_length,
                                        int32_t query_a_count, int32_t max_flex);
BlockFilterResult block_filter_avx2(const int32_t* lengths, const int32_t* a_counts, int32_t query_length,
                                    int32_t query_a_count, int32_t max_flex);

}  // namespace mendseqs
