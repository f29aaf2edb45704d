// The AVX2 copy (x86-64), compiled inside a target region, called only
// where isa.cpp found AVX2 and the operating system's support for it.
#include "kernels/simd/kernel_table.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#include "kernels/simd/target.hpp"

MENDSEQS_TARGET_REGION(MENDSEQS_TARGET_AVX2)
#include "kernels/simd/fingerprints_generic.hpp"
#include "kernels/simd/generic.hpp"
#include "kernels/simd/lanes_avx2.hpp"

namespace mendseqs::simd {
namespace {
template <unsigned>
using Avx2For = Avx2Lanes;
}  // namespace

const KernelTable avx2_kernels = make_table<Avx2For, Avx2Lanes>();

}  // namespace mendseqs::simd
MENDSEQS_TARGET_REGION_END
#endif
