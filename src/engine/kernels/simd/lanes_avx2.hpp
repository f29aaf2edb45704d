// Lanes in 256-bit AVX2 registers: the block's 1024 bits are four
// registers, four independent chains per step.
#pragma once

namespace mendseqs::simd {

struct Avx2Lanes {
  using reg = __m256i;
  static constexpr size_t bytes = 32;
  static constexpr size_t group = 4;

  static reg load(const void* at) { return _mm256_loadu_si256(static_cast<const __m256i*>(at)); }
  static void store(void* at, reg a) { _mm256_storeu_si256(static_cast<__m256i*>(at), a); }
  static reg ones() { return _mm256_set1_epi32(-1); }
  static reg not_(reg a) { return _mm256_xor_si256(a, ones()); }
  static reg and_(reg a, reg b) { return _mm256_and_si256(a, b); }
  static reg or_andnot(reg a, reg s, reg m) { return _mm256_or_si256(a, _mm256_andnot_si256(m, s)); }

  template <unsigned Bits>
  static reg add(reg a, reg b) {
    if constexpr (Bits == 16) return _mm256_add_epi16(a, b);
    if constexpr (Bits == 32) return _mm256_add_epi32(a, b);
    if constexpr (Bits == 64) return _mm256_add_epi64(a, b);
  }

  // Per byte through a nibble table, then summed up to the lane width.
  template <unsigned Bits>
  static reg count(reg a) {
    const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2, 3, 1, 2,
                                           2, 3, 2, 3, 3, 4);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i bytes =
        _mm256_add_epi8(_mm256_shuffle_epi8(table, _mm256_and_si256(a, nibble)),
                        _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(a, 4), nibble)));
    if constexpr (Bits == 64) return _mm256_sad_epu8(bytes, _mm256_setzero_si256());
    const __m256i words = _mm256_maddubs_epi16(bytes, _mm256_set1_epi8(1));
    if constexpr (Bits == 16) return words;
    if constexpr (Bits == 32) return _mm256_madd_epi16(words, _mm256_set1_epi16(1));
  }

  template <unsigned Bits>
  static reg splat(uint8_t value) {
    if constexpr (Bits == 16) return _mm256_set1_epi16(value);
    if constexpr (Bits == 32) return _mm256_set1_epi32(value);
    if constexpr (Bits == 64) return _mm256_set1_epi64x(value);
  }

  template <unsigned Bits>
  static uint64_t greater(reg a, reg b) {
    if constexpr (Bits == 16) {
      // Packed to bytes beside zeros: lanes 0-7 land in mask bits 0-7,
      // lanes 8-15 (the upper half) in bits 16-23.
      const auto mask = static_cast<uint32_t>(
          _mm256_movemask_epi8(_mm256_packs_epi16(_mm256_cmpgt_epi16(a, b), _mm256_setzero_si256())));
      return (mask & 0xFF) | ((mask >> 8) & 0xFF00);
    }
    if constexpr (Bits == 32)
      return static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(a, b))));
    if constexpr (Bits == 64)
      return static_cast<uint32_t>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(a, b))));
  }

  // Bytes, for the fingerprint compare.
  static reg splat8(uint8_t value) { return _mm256_set1_epi8(static_cast<char>(value)); }
  static uint64_t equal8(reg a, reg b) { return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, b))); }

  static reg splat32(int32_t value) { return _mm256_set1_epi32(value); }
  // Exact as unsigned: abs of the wrapped difference 2^31 is 2^31.
  static reg gap32(reg a, reg b) { return _mm256_abs_epi32(_mm256_sub_epi32(a, b)); }
  static reg min32(reg a, reg b) { return _mm256_min_epi32(a, b); }
  using flags = __m256i;  // all-ones lanes
  static flags at_most_u32(reg a, reg b) { return _mm256_cmpeq_epi32(_mm256_min_epu32(a, b), a); }
  static flags greater_s32(reg a, reg b) { return _mm256_cmpgt_epi32(a, b); }
  static flags both(flags a, flags b) { return _mm256_and_si256(a, b); }
  static uint64_t bits4(const flags (&f)[4]) {
    uint64_t bits = 0;
    for (int r = 0; r < 4; ++r)
      bits |= static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(f[r])))) << (8 * r);
    return bits;
  }
};

}  // namespace mendseqs::simd
