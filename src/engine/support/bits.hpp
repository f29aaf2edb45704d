// Shifts and masks of 64-bit words that take any count, 64 included (a
// plain shift by 64 is undefined): the packed codes' lengths reach it; and
// the set bits of a word.
#pragma once

#include <cstdint>

namespace mendseqs {

inline uint64_t shift_left(uint64_t x, unsigned bits) noexcept { return bits >= 64 ? 0 : x << bits; }
inline uint64_t shift_right(uint64_t x, unsigned bits) noexcept { return bits >= 64 ? 0 : x >> bits; }
inline uint64_t low_bits(unsigned bits) noexcept { return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1; }

// Set bits, without the instruction baseline x86-64 lacks (std::popcount
// would be a library call there, on the packed lookups' hottest path).
inline unsigned set_bits(uint64_t x) noexcept {
  x -= (x >> 1) & 0x5555555555555555ull;
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<unsigned>((x * 0x0101010101010101ull) >> 56);
}

}  // namespace mendseqs
