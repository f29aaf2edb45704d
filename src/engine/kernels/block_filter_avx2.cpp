// The block filter in AVX2: eight entries per instruction. Compiled for AVX2
// by target attribute only, called only where the processor reports it.
#include "kernels/block_filter.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "match/reference_blocks.hpp"

namespace mendseqs {

__attribute__((target("avx2"))) BlockFilterResult block_filter_avx2(const int32_t* lengths, const int32_t* a_counts,
                                                                    int32_t query_length, int32_t query_a_count,
                                                                    int32_t max_flex) {
  const __m256i length = _mm256_set1_epi32(query_length);
  const __m256i a_count = _mm256_set1_epi32(query_a_count);
  const __m256i tolerance = _mm256_set1_epi32(max_flex);
  BlockFilterResult result;
#pragma GCC unroll 8
  for (size_t j = 0; j < max_block_span; j += 8) {
    const __m256i lengths_j = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lengths + j));
    const __m256i counts_j = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a_counts + j));
    const __m256i length_gap = _mm256_abs_epi32(_mm256_sub_epi32(length, lengths_j));
    const __m256i count_gap = _mm256_abs_epi32(_mm256_sub_epi32(a_count, counts_j));
    const __m256i fails = _mm256_or_si256(_mm256_cmpgt_epi32(length_gap, tolerance),
                                          _mm256_cmpgt_epi32(count_gap, tolerance));
    const __m256i guard = _mm256_cmpgt_epi32(tolerance, _mm256_min_epi32(length, lengths_j));
    const auto passing = static_cast<uint64_t>(~_mm256_movemask_ps(_mm256_castsi256_ps(fails)) & 0xFF);
    const auto guarded = static_cast<uint64_t>(_mm256_movemask_ps(_mm256_castsi256_ps(guard)));
    result.passing |= passing << j;
    result.guarded |= (passing & guarded) << j;
  }
  return result;
}

}  // namespace mendseqs

#else

namespace mendseqs {

// Never selected where the processor family has no AVX2.
BlockFilterResult block_filter_avx2(const int32_t* lengths, const int32_t* a_counts, int32_t query_length,
                                    int32_t query_a_count, int32_t max_flex) {
  return block_filter_portable(lengths, a_counts, query_length, query_a_count, max_flex);
}

}  // namespace mendseqs

#endif
