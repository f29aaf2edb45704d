#include "engine/text.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace mendseqs {
namespace {

// Bytes equal to 'A' among eight, exactly: a byte of x is zero where the
// text's was 'A', and (x & 0x7F..) + 0x7F.. sets a byte's high bit exactly
// where its low seven bits are not all zero, with no carry between bytes.
// The flags, one a byte, are summed by a multiplication into the top byte
// (a popcount is a library call on processors that may lack one).
size_t a_bytes_in(uint64_t word) noexcept {
  constexpr uint64_t a_s = 0x4141414141414141ull, lows = 0x7F7F7F7F7F7F7F7Full, ones = 0x0101010101010101ull;
  const uint64_t x = word ^ a_s;
  const uint64_t nonzero = ((x & lows) + lows) | x;
  const uint64_t flags = (~nonzero & ~lows) >> 7;
  return static_cast<size_t>((flags * ones) >> 56);
}

}  // namespace

// Counted once per reference at every build and load of a long list (and
// once per query): one-byte texts, nearly every list, are counted eight
// bytes a step rather than one.
size_t count_letter_a(const Text& text) noexcept {
  if (text.width() == CharWidth::one) {
    const auto* bytes = static_cast<const unsigned char*>(text.data());
    const size_t length = text.length();
    size_t count = 0, i = 0;
    for (; i + 8 <= length; i += 8) {
      uint64_t word;
      std::memcpy(&word, bytes + i, sizeof word);
      count += a_bytes_in(word);
    }
    for (; i < length; ++i) count += bytes[i] == 'A';
    return count;
  }
  return text.visit(
      [](auto code_points) { return static_cast<size_t>(std::count(code_points.begin(), code_points.end(), 'A')); });
}

}  // namespace mendseqs
