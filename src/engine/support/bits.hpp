// Shifts and masks of 64-bit words that take any count, 64 included (a
// plain shift by 64 is undefined): the packed codes' lengths reach it.
#pragma once

#include <cstdint>

namespace mendseqs {

inline uint64_t shift_left(uint64_t x, unsigned bits) noexcept { return bits >= 64 ? 0 : x << bits; }
inline uint64_t shift_right(uint64_t x, unsigned bits) noexcept { return bits >= 64 ? 0 : x >> bits; }
inline uint64_t low_bits(unsigned bits) noexcept { return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1; }

}  // namespace mendseqs
