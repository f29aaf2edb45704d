// The block kernel's inner loop, one query character, for llvm-mca: the
// same per-character advance (kernels/simd/generic.hpp) over the same lane vectors
// the engine compiles, cut out between LLVM-MCA markers. Compiled by
// bench/count-armhf twice for 32-bit ARM: without NEON (portable) and with.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

#include "kernels/simd/kernel_table.hpp"
#if defined(MCA_NEON)
#include <arm_neon.h>

#include "kernels/simd/lanes_neon.hpp"
#else
#include <arm_acle.h>

#include "kernels/simd/lanes_portable.hpp"
#endif
#include "kernels/simd/generic.hpp"

namespace mendseqs::simd {

// One pass of a group of registers over the query; llvm-mca measures the
// body of one iteration, one query character.
template <class V, unsigned Bits>
void inner_loop(const BlockQuery& query, typename V::reg* out) {
  using Kernel = BlockKernel<V, Bits>;
  typename V::reg state[Kernel::group];
  for (auto& s : state) s = V::ones();
  for (const uint32_t slot : query.slots) {
    __asm__ volatile("@ LLVM-MCA-BEGIN");
    Kernel::advance(state, query.masks + slot * block_mask_bytes);
    __asm__ volatile("@ LLVM-MCA-END");
  }
  std::memcpy(out, state, sizeof state);
}

#if defined(MCA_NEON)
template void inner_loop<NeonLanes, MCA_BITS>(const BlockQuery&, NeonLanes::reg*);
#else
template void inner_loop<PortableLanes<std::conditional_t<MCA_BITS == 64, uint64_t, uint32_t>>, MCA_BITS>(
    const BlockQuery&, std::conditional_t<MCA_BITS == 64, uint64_t, uint32_t>*);
#endif

}  // namespace mendseqs::simd
