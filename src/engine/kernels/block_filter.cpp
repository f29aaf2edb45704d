#include "kernels/block_filter.hpp"

#include <algorithm>

#include "match/reference_blocks.hpp"

namespace mendseqs {

BlockFilterResult block_filter(BlockKernel kernel, const int32_t* lengths, const int32_t* a_counts,
                               int32_t query_length, int32_t query_a_count, int32_t max_flex) {
  return kernel == BlockKernel::avx2
             ? block_filter_avx2(lengths, a_counts, query_length, query_a_count, max_flex)
             : block_filter_portable(lengths, a_counts, query_length, query_a_count, max_flex);
}

BlockFilterResult block_filter_portable(const int32_t* lengths, const int32_t* a_counts, int32_t query_length,
                                        int32_t query_a_count, int32_t max_flex) {
  // Flags first, bits after: the first loop has no dependency between
  // entries and vectorises.
  uint8_t passes[max_block_span], guards[max_block_span];
  for (size_t j = 0; j < max_block_span; ++j) {
    const int32_t length_gap = query_length > lengths[j] ? query_length - lengths[j] : lengths[j] - query_length;
    const int32_t count_gap = query_a_count > a_counts[j] ? query_a_count - a_counts[j] : a_counts[j] - query_a_count;
    passes[j] = (length_gap <= max_flex) & (count_gap <= max_flex);
    guards[j] = passes[j] & (max_flex > std::min(query_length, lengths[j]));
  }
  BlockFilterResult result;
  for (size_t j = 0; j < max_block_span; ++j) {
    result.passing |= static_cast<uint64_t>(passes[j]) << j;
    result.guarded |= static_cast<uint64_t>(guards[j]) << j;
  }
  return result;
}

}  // namespace mendseqs
