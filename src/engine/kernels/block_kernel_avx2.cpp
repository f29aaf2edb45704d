// The block kernel in AVX2: the block's 1024 bits of lanes are four 256-bit
// registers, four independent chains per step. Compiled for AVX2 function
// by function (target attribute), never for the whole build, and only
// called after the processor has reported AVX2.
#include "kernels/block_kernel.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "match/reference_blocks.hpp"

#define MENDSEQS_AVX2 __attribute__((target("avx2,popcnt")))
#define MENDSEQS_AVX2_INLINE __attribute__((target("avx2,popcnt"), always_inline)) inline

namespace mendseqs {
namespace {

struct Lanes {
  __m256i v[4];
};

template <unsigned Bits>
MENDSEQS_AVX2_INLINE __m256i add_lanes(__m256i a, __m256i b) {
  if constexpr (Bits == 16) return _mm256_add_epi16(a, b);
  if constexpr (Bits == 32) return _mm256_add_epi32(a, b);
  return _mm256_add_epi64(a, b);
}

template <unsigned Bits>
MENDSEQS_AVX2_INLINE __m256i greater_lanes(__m256i a, __m256i b) {
  if constexpr (Bits == 16) return _mm256_cmpgt_epi16(a, b);
  if constexpr (Bits == 32) return _mm256_cmpgt_epi32(a, b);
  return _mm256_cmpgt_epi64(a, b);
}

MENDSEQS_AVX2_INLINE __m256i load(const unsigned char* at) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

// S - u equals S & ~M, since u holds only bits of S: one instruction.
template <unsigned Bits>
MENDSEQS_AVX2_INLINE void step(__m256i& s, const unsigned char* masks) {
  const __m256i match = load(masks);
  const __m256i u = _mm256_and_si256(s, match);
  s = _mm256_or_si256(add_lanes<Bits>(s, u), _mm256_andnot_si256(match, s));
}

// Four named registers rather than an array: the chains must stay in
// registers, and a loop over an array may leave them in memory.
template <unsigned Bits>
MENDSEQS_AVX2_INLINE Lanes run(const BlockQuery& query) {
  __m256i s0 = _mm256_set1_epi32(-1), s1 = s0, s2 = s0, s3 = s0;
  for (const uint32_t slot : query.slots) {
    const unsigned char* m = query.masks + slot * block_mask_bytes;
    step<Bits>(s0, m);
    step<Bits>(s1, m + 32);
    step<Bits>(s2, m + 64);
    step<Bits>(s3, m + 96);
  }
  return Lanes{{s0, s1, s2, s3}};
}

// Set bits per lane: per byte through a nibble table, then summed up to the
// lane width.
template <unsigned Bits>
MENDSEQS_AVX2_INLINE __m256i count_lanes(__m256i x) {
  const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,
                                         0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i bytes = _mm256_add_epi8(_mm256_shuffle_epi8(table, _mm256_and_si256(x, nibble)),
                                        _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble)));
  if constexpr (Bits == 64) return _mm256_sad_epu8(bytes, _mm256_setzero_si256());
  const __m256i words = _mm256_add_epi16(_mm256_and_si256(bytes, _mm256_set1_epi16(0xFF)), _mm256_srli_epi16(bytes, 8));
  if constexpr (Bits == 16) return words;
  return _mm256_madd_epi16(words, _mm256_set1_epi16(1));
}

template <unsigned Bits>
MENDSEQS_AVX2_INLINE __m256i splat(uint8_t value) {
  if constexpr (Bits == 16) return _mm256_set1_epi16(value);
  if constexpr (Bits == 32) return _mm256_set1_epi32(value);
  return _mm256_set1_epi64x(value);
}

// One bit per lane, in lane order, from all-ones / all-zeros lanes.
template <unsigned Bits>
MENDSEQS_AVX2_INLINE uint64_t lane_bits_of(const Lanes& flags) {
  if constexpr (Bits == 16) {
    // Packing interleaves the 128-bit halves; the permutation restores order.
    uint64_t bits = 0;
#pragma GCC unroll 2
    for (int pair = 0; pair < 2; ++pair) {
      const __m256i packed = _mm256_packs_epi16(flags.v[2 * pair], flags.v[2 * pair + 1]);
      const __m256i ordered = _mm256_permute4x64_epi64(packed, 0xD8);
      bits |= static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(ordered))) << (32 * pair);
    }
    return bits;
  } else {
    uint64_t bits = 0;
    constexpr unsigned per_vector = 256 / Bits;
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
      const int mask = Bits == 32 ? _mm256_movemask_ps(_mm256_castsi256_ps(flags.v[i]))
                                  : _mm256_movemask_pd(_mm256_castsi256_pd(flags.v[i]));
      bits |= static_cast<uint64_t>(mask) << (per_vector * i);
    }
    return bits;
  }
}

template <unsigned Bits>
MENDSEQS_AVX2 uint64_t accept(const BlockQuery& query, uint8_t max_flex) {
  const Lanes state = run<Bits>(query);
  const __m256i ones = _mm256_set1_epi32(-1);
  const __m256i tolerance = splat<Bits>(max_flex);
  Lanes rejected;
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    const __m256i common = count_lanes<Bits>(_mm256_xor_si256(state.v[i], ones));
    const __m256i length = load(query.lane_lengths + 32 * i);
    rejected.v[i] = greater_lanes<Bits>(length, add_lanes<Bits>(common, tolerance));
  }
  constexpr unsigned lanes = 1024 / Bits;
  constexpr uint64_t all_lanes = lanes == 64 ? ~uint64_t{0} : (uint64_t{1} << (lanes % 64)) - 1;
  return ~lane_bits_of<Bits>(rejected) & all_lanes;
}

template <unsigned Bits>
MENDSEQS_AVX2 void count(const BlockQuery& query, uint8_t* common) {
  const Lanes state = run<Bits>(query);
  alignas(32) uint64_t words[16];
  for (int i = 0; i < 4; ++i) _mm256_store_si256(reinterpret_cast<__m256i*>(words + 4 * i), state.v[i]);
  // Lanes never straddle a 64-bit word: count each word's lanes by shifting.
  constexpr unsigned lanes_per_word = 64 / Bits;
  constexpr uint64_t lane_mask = Bits == 64 ? ~uint64_t{0} : (uint64_t{1} << (Bits % 64)) - 1;
  for (unsigned w = 0; w < 16; ++w)
    for (unsigned l = 0; l < lanes_per_word; ++l)
      common[w * lanes_per_word + l] =
          static_cast<uint8_t>(__builtin_popcountll((~words[w] >> (l * Bits % 64)) & lane_mask));
}

}  // namespace

uint64_t block_accepting_lanes_avx2(const BlockQuery& query, uint8_t max_flex) {
  switch (query.lane_bits) {
    case 16: return accept<16>(query, max_flex);
    case 32: return accept<32>(query, max_flex);
    default: return accept<64>(query, max_flex);
  }
}

void block_lcs_avx2(const BlockQuery& query, uint8_t* common) {
  switch (query.lane_bits) {
    case 16: count<16>(query, common); break;
    case 32: count<32>(query, common); break;
    default: count<64>(query, common); break;
  }
}

}  // namespace mendseqs

#else

namespace mendseqs {

// Never selected where the processor family has no AVX2.
uint64_t block_accepting_lanes_avx2(const BlockQuery& query, uint8_t max_flex) {
  return block_accepting_lanes_portable(query, max_flex);
}

void block_lcs_avx2(const BlockQuery& query, uint8_t* common) { block_lcs_portable(query, common); }

}  // namespace mendseqs

#endif
