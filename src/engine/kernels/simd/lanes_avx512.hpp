// Lanes in 512-bit AVX-512BW registers: the block's 1024 bits are two
// registers. Comparisons write mask registers, which are the lane bits
// themselves, and one ternary-logic instruction does the step's or-andnot.
#pragma once

namespace mendseqs::simd {

struct Avx512Lanes {
  using reg = __m512i;
  static constexpr size_t bytes = 64;
  static constexpr size_t group = 2;

  static reg load(const void* at) { return _mm512_loadu_si512(at); }
  static void store(void* at, reg a) { _mm512_storeu_si512(at, a); }
  static reg ones() { return _mm512_set1_epi32(-1); }
  static reg not_(reg a) { return _mm512_ternarylogic_epi64(a, a, a, 0x55); }
  static reg and_(reg a, reg b) { return _mm512_and_si512(a, b); }
  // a | (s & ~m): truth table 0xF4 over (a, s, m) = (0xF0, 0xCC, 0xAA).
  static reg or_andnot(reg a, reg s, reg m) { return _mm512_ternarylogic_epi64(a, s, m, 0xF4); }

  template <unsigned Bits>
  static reg add(reg a, reg b) {
    if constexpr (Bits == 16) return _mm512_add_epi16(a, b);
    if constexpr (Bits == 32) return _mm512_add_epi32(a, b);
    if constexpr (Bits == 64) return _mm512_add_epi64(a, b);
  }

  template <unsigned Bits>
  static reg count(reg a) {
    const __m512i table = _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4));
    const __m512i nibble = _mm512_set1_epi8(0x0F);
    const __m512i bytes =
        _mm512_add_epi8(_mm512_shuffle_epi8(table, _mm512_and_si512(a, nibble)),
                        _mm512_shuffle_epi8(table, _mm512_and_si512(_mm512_srli_epi16(a, 4), nibble)));
    if constexpr (Bits == 64) return _mm512_sad_epu8(bytes, _mm512_setzero_si512());
    const __m512i words = _mm512_maddubs_epi16(bytes, _mm512_set1_epi8(1));
    if constexpr (Bits == 16) return words;
    if constexpr (Bits == 32) return _mm512_madd_epi16(words, _mm512_set1_epi16(1));
  }

  template <unsigned Bits>
  static reg splat(uint8_t value) {
    if constexpr (Bits == 16) return _mm512_set1_epi16(value);
    if constexpr (Bits == 32) return _mm512_set1_epi32(value);
    if constexpr (Bits == 64) return _mm512_set1_epi64(value);
  }

  template <unsigned Bits>
  static uint64_t greater(reg a, reg b) {
    if constexpr (Bits == 16) return _mm512_cmpgt_epi16_mask(a, b);
    if constexpr (Bits == 32) return _mm512_cmpgt_epi32_mask(a, b);
    if constexpr (Bits == 64) return _mm512_cmpgt_epi64_mask(a, b);
  }

  // Bytes, for the fingerprint compare.
  static reg splat8(uint8_t value) { return _mm512_set1_epi8(static_cast<char>(value)); }
  static uint64_t equal8(reg a, reg b) { return _mm512_cmpeq_epi8_mask(a, b); }

  static reg splat32(int32_t value) { return _mm512_set1_epi32(value); }
  static reg gap32(reg a, reg b) { return _mm512_abs_epi32(_mm512_sub_epi32(a, b)); }
  static reg min32(reg a, reg b) { return _mm512_min_epi32(a, b); }
  using flags = __mmask16;
  static flags at_most_u32(reg a, reg b) { return _mm512_cmple_epu32_mask(a, b); }
  static flags greater_s32(reg a, reg b) { return _mm512_cmpgt_epi32_mask(a, b); }
  static flags both(flags a, flags b) { return static_cast<flags>(a & b); }
  static uint64_t bits4(const flags (&f)[4]) {
    return uint64_t{f[0]} | uint64_t{f[1]} << 16 | uint64_t{f[2]} << 32 | uint64_t{f[3]} << 48;
  }
};

}  // namespace mendseqs::simd
