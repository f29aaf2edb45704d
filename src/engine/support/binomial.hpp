// n choose r: the deletion variants' ranks and the cost model's counts.
#pragma once

#include <cstdint>

namespace mendseqs {

// As a double. Each step's value, value * (n - r + i) / i, is the whole
// number C(n - r + i, i), so the result is exact while the products stay
// below 2^53; beyond, it is within rounding, which is all an estimate
// needs. Rounding at the end mends a quotient whose product went past
// 2^53 though the value did not (from 2^52 on every double is whole).
constexpr double binomial(uint64_t n, uint64_t r) noexcept {
  if (r > n) return 0;
  if (n - r < r) r = n - r;
  double value = 1;
  for (uint64_t i = 1; i <= r; ++i) value = value * static_cast<double>(n - r + i) / static_cast<double>(i);
  return value < 0x1p52 ? static_cast<double>(static_cast<uint64_t>(value + 0.5)) : value;
}

}  // namespace mendseqs
