#include "engine/block_kernel.hpp"

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

void block_lcs(BlockKernel kernel, unsigned lane_bits, const unsigned char* masks,
               std::span<const uint32_t> slots, uint8_t* common) {
  if (kernel == BlockKernel::avx2) {
    block_lcs_avx2(lane_bits, masks, slots, common);
  } else {
    block_lcs_portable(lane_bits, masks, slots, common);
  }
}

}  // namespace mendseqs
