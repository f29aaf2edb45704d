// The fingerprint compare of each instruction set, from its kernel table.
#include "kernels/simd/fingerprints.hpp"

#include "kernels/simd/kernel_table.hpp"

namespace mendseqs {

FingerprintMatch fingerprint_match(Isa isa) noexcept { return simd::kernels_of(isa).fingerprints; }

}  // namespace mendseqs
