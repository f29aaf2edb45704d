// The AVX-512BW copy (x86-64), compiled inside a target region, called only
// where isa.cpp found AVX-512F and BW and the operating system's support for it.
#include "kernels/simd/kernel_table.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#include "kernels/simd/target.hpp"

MENDSEQS_TARGET_REGION(MENDSEQS_TARGET_AVX512)
#include "kernels/simd/fingerprints_generic.hpp"
#include "kernels/simd/generic.hpp"
#include "kernels/simd/lanes_avx512.hpp"

namespace mendseqs::simd {
namespace {
template <unsigned>
using Avx512For = Avx512Lanes;
}  // namespace

const KernelTable avx512_kernels = make_table<Avx512For, Avx512Lanes>();

}  // namespace mendseqs::simd
MENDSEQS_TARGET_REGION_END
#endif
