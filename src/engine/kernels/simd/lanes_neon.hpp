// Lanes in 128-bit NEON registers (32-bit ARM): the block's 1024 bits are
// eight registers, all advanced in one pass. ARMv7 has no 64-bit lane
// comparison and no mask extraction: 64-bit lanes compare their low
// halves (lane values are small), and bits are gathered by weighting each
// lane and summing pairwise.
#pragma once

namespace mendseqs::simd {

struct NeonLanes {
  using reg = uint8x16_t;
  static constexpr size_t bytes = 16;
  static constexpr size_t group = 8;

  static reg load(const void* at) { return vld1q_u8(static_cast<const uint8_t*>(at)); }
  struct Pair {
    reg first, second;
  };
  static Pair load_two(const void* at) {
    const uint8x16x2_t both = vld1q_u8_x2(static_cast<const uint8_t*>(at));
    return {both.val[0], both.val[1]};
  }
  static void store(void* at, reg a) { vst1q_u8(static_cast<uint8_t*>(at), a); }
  static reg ones() { return vdupq_n_u8(0xFF); }
  static reg not_(reg a) { return vmvnq_u8(a); }
  static reg and_(reg a, reg b) { return vandq_u8(a, b); }
  static reg or_andnot(reg a, reg s, reg m) { return vorrq_u8(a, vbicq_u8(s, m)); }

  template <unsigned Bits>
  static reg add(reg a, reg b) {
    if constexpr (Bits == 16) return vreinterpretq_u8_u16(vaddq_u16(vreinterpretq_u16_u8(a), vreinterpretq_u16_u8(b)));
    if constexpr (Bits == 32) return vreinterpretq_u8_u32(vaddq_u32(vreinterpretq_u32_u8(a), vreinterpretq_u32_u8(b)));
    if constexpr (Bits == 64) return vreinterpretq_u8_u64(vaddq_u64(vreinterpretq_u64_u8(a), vreinterpretq_u64_u8(b)));
  }

  template <unsigned Bits>
  static reg count(reg a) {
    const uint16x8_t words = vpaddlq_u8(vcntq_u8(a));
    if constexpr (Bits == 16) return vreinterpretq_u8_u16(words);
    const uint32x4_t doubles = vpaddlq_u16(words);
    if constexpr (Bits == 32) return vreinterpretq_u8_u32(doubles);
    if constexpr (Bits == 64) return vreinterpretq_u8_u64(vpaddlq_u32(doubles));
  }

  template <unsigned Bits>
  static reg splat(uint8_t value) {
    if constexpr (Bits == 16) return vreinterpretq_u8_u16(vdupq_n_u16(value));
    if constexpr (Bits == 32) return vreinterpretq_u8_u32(vdupq_n_u32(value));
    if constexpr (Bits == 64) return vreinterpretq_u8_u64(vdupq_n_u64(value));
  }

  // All-ones lanes of a 32-bit comparison, weighted, summed to one number.
  static uint64_t gather32(uint32x4_t flags, uint32x4_t weights) {
    const uint64x2_t sums = vpaddlq_u32(vandq_u32(flags, weights));
    return vgetq_lane_u64(sums, 0) | vgetq_lane_u64(sums, 1);
  }

  template <unsigned Bits>
  static uint64_t greater(reg a, reg b) {
    if constexpr (Bits == 16) {
      static constexpr uint16_t weight_values[8] = {1, 2, 4, 8, 16, 32, 64, 128};
      const uint16x8_t flags = vcgtq_u16(vreinterpretq_u16_u8(a), vreinterpretq_u16_u8(b));
      return gather32(vpaddlq_u16(vandq_u16(flags, vld1q_u16(weight_values))), vdupq_n_u32(0xFFFFFFFF));
    } else {
      static constexpr uint32_t weight_values[4] = {1, 2, 4, 8};
      static constexpr uint32_t low_half_weights[4] = {1, 0, 2, 0};
      const uint32x4_t flags = vcgtq_u32(vreinterpretq_u32_u8(a), vreinterpretq_u32_u8(b));
      return gather32(flags, vld1q_u32(Bits == 32 ? weight_values : low_half_weights));
    }
  }

  // Bytes, for the fingerprint compare: equal bytes weighted and summed
  // pairwise into two bytes, as bits4 does.
  static reg splat8(uint8_t value) { return vdupq_n_u8(value); }
  static uint64_t equal8(reg a, reg b) {
    static constexpr uint8_t weight_values[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t weighted = vandq_u8(vceqq_u8(a, b), vld1q_u8(weight_values));
    uint8x8_t sums = vpadd_u8(vget_low_u8(weighted), vget_high_u8(weighted));
    sums = vpadd_u8(sums, sums);
    sums = vpadd_u8(sums, sums);
    return vget_lane_u16(vreinterpret_u16_u8(sums), 0);
  }

  static reg splat32(int32_t value) { return vreinterpretq_u8_s32(vdupq_n_s32(value)); }
  // The absolute difference of two int32 is exact as an unsigned number.
  static reg gap32(reg a, reg b) {
    return vreinterpretq_u8_s32(vabdq_s32(vreinterpretq_s32_u8(a), vreinterpretq_s32_u8(b)));
  }
  static reg min32(reg a, reg b) {
    return vreinterpretq_u8_s32(vminq_s32(vreinterpretq_s32_u8(a), vreinterpretq_s32_u8(b)));
  }
  using flags = uint32x4_t;  // all-ones lanes
  static flags at_most_u32(reg a, reg b) { return vcleq_u32(vreinterpretq_u32_u8(a), vreinterpretq_u32_u8(b)); }
  static flags greater_s32(reg a, reg b) { return vcgtq_s32(vreinterpretq_s32_u8(a), vreinterpretq_s32_u8(b)); }
  static flags both(flags a, flags b) { return vandq_u32(a, b); }
  // Sixteen flags narrowed to bytes, weighted, and summed pairwise into
  // two bytes: a dozen instructions where one gather per register would
  // take twenty.
  static uint64_t bits4(const flags (&f)[4]) {
    static constexpr uint8_t weight_values[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t bytes = vcombine_u8(vmovn_u16(vcombine_u16(vmovn_u32(f[0]), vmovn_u32(f[1]))),
                                         vmovn_u16(vcombine_u16(vmovn_u32(f[2]), vmovn_u32(f[3]))));
    const uint8x16_t weighted = vandq_u8(bytes, vld1q_u8(weight_values));
    uint8x8_t sums = vpadd_u8(vget_low_u8(weighted), vget_high_u8(weighted));
    sums = vpadd_u8(sums, sums);
    sums = vpadd_u8(sums, sums);
    return vget_lane_u16(vreinterpret_u16_u8(sums), 0);
  }
};

}  // namespace mendseqs::simd
