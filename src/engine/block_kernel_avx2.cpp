// The block kernel in AVX2: the block's 1024 bits of lanes are four 256-bit
// registers, four independent chains per step. Compiled for AVX2 function
// by function (target attribute), never for the whole build, and only
// called after the processor has reported AVX2.
#include "engine/block_kernel.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "engine/reference_blocks.hpp"

namespace mendseqs {
namespace {

template <unsigned Bits>
__attribute__((target("avx2"), always_inline)) inline __m256i add_lanes(__m256i a, __m256i b) {
  if constexpr (Bits == 16) return _mm256_add_epi16(a, b);
  if constexpr (Bits == 32) return _mm256_add_epi32(a, b);
  return _mm256_add_epi64(a, b);
}

// S - u equals S & ~M, since u holds only bits of S: one instruction.
#define MENDSEQS_STEP(s, m)                                                  \
  do {                                                                       \
    const __m256i u = _mm256_and_si256(s, m);                                \
    s = _mm256_or_si256(add_lanes<Bits>(s, u), _mm256_andnot_si256(m, s));   \
  } while (0)

template <unsigned Bits>
__attribute__((target("avx2,popcnt"))) void run(const unsigned char* masks, std::span<const uint32_t> slots,
                                                 uint8_t* common) {
  const __m256i ones = _mm256_set1_epi32(-1);
  __m256i s0 = ones, s1 = ones, s2 = ones, s3 = ones;
  for (const uint32_t slot : slots) {
    const auto* m = reinterpret_cast<const __m256i*>(masks + slot * block_mask_bytes);
    const __m256i m0 = _mm256_loadu_si256(m), m1 = _mm256_loadu_si256(m + 1);
    const __m256i m2 = _mm256_loadu_si256(m + 2), m3 = _mm256_loadu_si256(m + 3);
    MENDSEQS_STEP(s0, m0);
    MENDSEQS_STEP(s1, m1);
    MENDSEQS_STEP(s2, m2);
    MENDSEQS_STEP(s3, m3);
  }
  alignas(32) uint64_t state[16];
  _mm256_store_si256(reinterpret_cast<__m256i*>(state), s0);
  _mm256_store_si256(reinterpret_cast<__m256i*>(state + 4), s1);
  _mm256_store_si256(reinterpret_cast<__m256i*>(state + 8), s2);
  _mm256_store_si256(reinterpret_cast<__m256i*>(state + 12), s3);
  // Lanes never straddle a 64-bit word: count each word's lanes by shifting.
  constexpr unsigned lanes_per_word = 64 / Bits;
  constexpr uint64_t lane_mask = Bits == 64 ? ~uint64_t{0} : (uint64_t{1} << (Bits % 64)) - 1;
  for (unsigned w = 0; w < 16; ++w) {
    const uint64_t zeros = ~state[w];
    for (unsigned l = 0; l < lanes_per_word; ++l)
      common[w * lanes_per_word + l] =
          static_cast<uint8_t>(__builtin_popcountll((zeros >> (l * Bits % 64)) & lane_mask));
  }
}

#undef MENDSEQS_STEP

}  // namespace

void block_lcs_avx2(unsigned lane_bits, const unsigned char* masks, std::span<const uint32_t> slots,
                    uint8_t* common) {
  switch (lane_bits) {
    case 16: run<16>(masks, slots, common); break;
    case 32: run<32>(masks, slots, common); break;
    default: run<64>(masks, slots, common); break;
  }
}

}  // namespace mendseqs

#else

namespace mendseqs {

// Never selected where the processor family has no AVX2.
void block_lcs_avx2(unsigned lane_bits, const unsigned char* masks, std::span<const uint32_t> slots,
                    uint8_t* common) {
  block_lcs_portable(lane_bits, masks, slots, common);
}

}  // namespace mendseqs

#endif
