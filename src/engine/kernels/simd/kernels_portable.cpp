// The portable copy: plain integer words, for any processor; on 32-bit
// ARM it is what runs where NEON is absent.
#include <type_traits>

#include "kernels/simd/kernel_table.hpp"
#if defined(__ARM_FEATURE_SIMD32)
#include <arm_acle.h>
#endif
#include "kernels/simd/fingerprints_generic.hpp"
#include "kernels/simd/generic.hpp"
#include "kernels/simd/lanes_portable.hpp"

namespace mendseqs::simd {
namespace {

// The processor's own word, except that a 64-bit lane needs 64 bits.
using NativeWord = std::conditional_t<sizeof(void*) >= 8, uint64_t, uint32_t>;
template <unsigned Bits>
using PortableFor = PortableLanes<std::conditional_t<Bits == 64, uint64_t, NativeWord>>;

}  // namespace

const KernelTable portable_kernels = make_table<PortableFor, PortableLanes<uint32_t>>();

}  // namespace mendseqs::simd
