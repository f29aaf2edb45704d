// Lanes in plain integer words, for any processor: several narrow lanes
// share a word, and the carry of a sum is kept from crossing into the next
// lane (SIMD within a register). Words are 32 bits on 32-bit processors,
// where a 64-bit word costs two instructions per operation, and 64 bits on
// 64-bit ones; only 64-bit lanes need a 64-bit word everywhere.
#pragma once

namespace mendseqs::simd {

template <class W>
struct PortableLanes {
  using reg = W;
  static constexpr size_t bytes = sizeof(W);
  // Four words' chains at a time; two where a word takes two registers.
  static constexpr size_t group = sizeof(W) > sizeof(void*) ? 2 : 4;
  static constexpr unsigned word_bits = sizeof(W) * 8;

  // `value` (below 2^Bits) in every Bits-wide lane.
  template <unsigned Bits>
  static constexpr W repeat(W value) {
    if constexpr (Bits == word_bits) {
      return value;
    } else {
      return static_cast<W>(value * static_cast<W>(~W{0} / ((W{1} << Bits) - 1)));
    }
  }
  template <unsigned Bits>
  static constexpr W high_bits = repeat<Bits>(W{1} << (Bits - 1));

  static reg load(const void* at) {
    W word;
    std::memcpy(&word, at, sizeof word);
    return word;
  }
  static void store(void* at, reg word) { std::memcpy(at, &word, sizeof word); }
  static reg ones() { return static_cast<W>(~W{0}); }
  static reg not_(reg a) { return static_cast<W>(~a); }
  static reg and_(reg a, reg b) { return a & b; }
  static reg or_andnot(reg a, reg s, reg m) { return a | (s & static_cast<W>(~m)); }

  template <unsigned Bits>
  static reg add(reg a, reg b) {
    if constexpr (Bits == word_bits) {
      return static_cast<W>(a + b);
    } else {
#if defined(__ARM_FEATURE_SIMD32)
      // ARMv6 and later add two 16-bit lanes in one instruction.
      if constexpr (Bits == 16 && word_bits == 32) return __uadd16(a, b);
#endif
      // Sum the lanes without their top bits, then put the top bits' sum
      // back without a carry out.
      constexpr W high = high_bits<Bits>;
      return static_cast<W>(((a & ~high) + (b & ~high)) ^ ((a ^ b) & high));
    }
  }

  template <unsigned Bits>
  static reg count(reg x) {
    x = static_cast<W>(x - ((x >> 1) & repeat<8>(0x55)));
    x = static_cast<W>((x & repeat<8>(0x33)) + ((x >> 2) & repeat<8>(0x33)));
    x = static_cast<W>((x + (x >> 4)) & repeat<8>(0x0F));
    if constexpr (Bits >= 16) x = static_cast<W>((x + (x >> 8)) & repeat<16>(0xFF));
    if constexpr (Bits >= 32) x = static_cast<W>((x + (x >> 16)) & repeat<32>(0xFFFF));
    if constexpr (Bits >= 64) x = static_cast<W>((x + (x >> 32)) & repeat<64>(0xFFFFFFFF));
    return x;
  }

  template <unsigned Bits>
  static reg splat(uint8_t value) {
    return repeat<Bits>(value);
  }

  template <unsigned Bits>
  static uint64_t greater(reg a, reg b) {
    // With both lanes below the top bit, (b | top) - a keeps the top bit
    // exactly where b >= a, and never borrows from the next lane.
    constexpr W high = high_bits<Bits>;
    const W greater_lanes = static_cast<W>(~((b | high) - a) & high);
    uint64_t bits = 0;
    for (unsigned l = 0; l < word_bits / Bits; ++l)
      bits |= static_cast<uint64_t>((greater_lanes >> (l * Bits + Bits - 1)) & 1) << l;
    return bits;
  }

  // Bytes, for the fingerprint compare (memory order is the word's
  // little-endian order on every target).
  static reg splat8(uint8_t value) { return repeat<8>(value); }
  static uint64_t equal8(reg a, reg b) {
    const W x = a ^ b;  // zero bytes where equal
    constexpr W low7 = repeat<8>(0x7F);
    // A byte's top bit set exactly where the byte is zero: adding 0x7F to
    // its low bits carries into the top bit unless they are zero, and never
    // out of the byte.
    const W zero = static_cast<W>(~(((x & low7) + low7) | x | low7));
    // The top bits gathered, byte i to bit i, by one multiplication.
    const W tops = static_cast<W>(zero >> 7);
    if constexpr (sizeof(W) == 8)
      return static_cast<uint64_t>(tops * 0x0102040810204080ull) >> 56;
    else
      return static_cast<uint32_t>(static_cast<uint32_t>(tops) * 0x10204080u) >> 28;
  }

  // The filter, with one 32-bit lane per word.
  static reg splat32(int32_t value) { return static_cast<W>(static_cast<uint32_t>(value)); }
  static reg gap32(reg a, reg b) {
    const auto x = static_cast<int64_t>(static_cast<int32_t>(a)), y = static_cast<int64_t>(static_cast<int32_t>(b));
    return static_cast<W>(x > y ? x - y : y - x);
  }
  static reg min32(reg a, reg b) { return static_cast<int32_t>(a) < static_cast<int32_t>(b) ? a : b; }
  using flags = uint32_t;  // 0 or 1
  static flags at_most_u32(reg a, reg b) { return static_cast<uint32_t>(a) <= static_cast<uint32_t>(b); }
  static flags greater_s32(reg a, reg b) { return static_cast<int32_t>(a) > static_cast<int32_t>(b); }
  static flags both(flags a, flags b) { return a & b; }
  static uint64_t bits4(const flags (&f)[4]) { return f[0] | f[1] << 1 | f[2] << 2 | f[3] << 3; }
};

}  // namespace mendseqs::simd
