// The fingerprint compare of the packed layout's posting blocks: which
// bytes of a 64-byte block, masked, equal a wanted byte, as a bit mask (bit
// i for byte i). One vector comparison where the processor has one
// (AVX-512BW: one instruction for the whole block; AVX2: two; NEON: four and
// a narrowing), words compared byte-wise elsewhere; the same answer on
// every instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/simd/isa.hpp"

namespace mendseqs {

inline constexpr size_t fingerprint_block_bytes = 64;

using FingerprintMatch = uint64_t (*)(const unsigned char* block, uint8_t mask, uint8_t wanted);

// The compare compiled for `isa`, which must be supported (isa_supported).
FingerprintMatch fingerprint_match(Isa isa) noexcept;

// The same, one byte at a time: what every instruction set must agree with.
inline uint64_t matching_fingerprints_scalar(const unsigned char* block, uint8_t mask, uint8_t wanted) noexcept {
  uint64_t bits = 0;
  for (size_t i = 0; i < fingerprint_block_bytes; ++i)
    bits |= static_cast<uint64_t>((block[i] & mask) == (wanted & mask)) << i;
  return bits;
}

}  // namespace mendseqs
