#include "kernels/block_kernel.hpp"

#include <algorithm>

#include "match/reference_blocks.hpp"

namespace mendseqs {
namespace {

bool processor_has_avx2() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
#else
  return false;
#endif
}

}  // namespace

bool block_kernel_supported(BlockKernel kernel) noexcept {
  switch (kernel) {
    case BlockKernel::portable: return true;
    case BlockKernel::avx2: return processor_has_avx2();
  }
  return false;
}

BlockKernel fastest_block_kernel() noexcept {
  static const BlockKernel fastest =
      block_kernel_supported(BlockKernel::avx2) ? BlockKernel::avx2 : BlockKernel::portable;
  return fastest;
}

std::string_view block_kernel_name(BlockKernel kernel) noexcept {
  return kernel == BlockKernel::avx2 ? "avx2" : "portable";
}

uint64_t block_accepting_lanes(BlockKernel kernel, const BlockQuery& query, intptr_t max_flex) {
  // A lane holds at most 64 characters: any larger tolerance accepts alike.
  const auto tolerance = static_cast<uint8_t>(std::min<intptr_t>(max_flex, short_reference_limit));
  return kernel == BlockKernel::avx2 ? block_accepting_lanes_avx2(query, tolerance)
                                     : block_accepting_lanes_portable(query, tolerance);
}

void block_lcs(BlockKernel kernel, const BlockQuery& query, uint8_t* common) {
  if (kernel == BlockKernel::avx2) {
    block_lcs_avx2(query, common);
  } else {
    block_lcs_portable(query, common);
  }
}

}  // namespace mendseqs
