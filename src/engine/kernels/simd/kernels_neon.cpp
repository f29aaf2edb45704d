// The NEON copy (32-bit ARM). Debian's armhf baseline does not promise
// NEON, so only this region is compiled for it, and it is called only
// where the kernel reports NEON (isa.cpp).
#include "kernels/simd/kernel_table.hpp"

#if defined(__arm__)
#include "kernels/simd/target.hpp"

MENDSEQS_TARGET_REGION(MENDSEQS_TARGET_NEON)
#include <arm_neon.h>

#include "kernels/simd/fingerprints_generic.hpp"
#include "kernels/simd/generic.hpp"
#include "kernels/simd/lanes_neon.hpp"

namespace mendseqs::simd {
namespace {
template <unsigned>
using NeonFor = NeonLanes;
}  // namespace

const KernelTable neon_kernels = make_table<NeonFor, NeonLanes>();

}  // namespace mendseqs::simd
MENDSEQS_TARGET_REGION_END
#endif
