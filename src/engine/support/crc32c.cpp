#include "support/crc32c.hpp"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace mendseqs {
namespace {

constexpr uint32_t polynomial = 0x82F63B78;

// Slicing by eight: table[k][b] is the register after byte b followed by k
// zero bytes.
constexpr std::array<std::array<uint32_t, 256>, 8> make_tables() {
  std::array<std::array<uint32_t, 256>, 8> tables{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t crc = b;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (polynomial & (0u - (crc & 1)));
    tables[0][b] = crc;
  }
  for (size_t k = 1; k < 8; ++k)
    for (uint32_t b = 0; b < 256; ++b) tables[k][b] = (tables[k - 1][b] >> 8) ^ tables[0][tables[k - 1][b] & 0xFF];
  return tables;
}
constexpr std::array<std::array<uint32_t, 256>, 8> tables = make_tables();

uint64_t load64(const std::byte* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // little-endian hosts only, as the index files
}

uint32_t step8(uint32_t crc, uint64_t word) noexcept {
  const uint64_t x = word ^ crc;
  return tables[7][x & 0xFF] ^ tables[6][(x >> 8) & 0xFF] ^ tables[5][(x >> 16) & 0xFF] ^ tables[4][(x >> 24) & 0xFF] ^
         tables[3][(x >> 32) & 0xFF] ^ tables[2][(x >> 40) & 0xFF] ^ tables[1][(x >> 48) & 0xFF] ^ tables[0][x >> 56];
}

uint32_t step1(uint32_t crc, std::byte b) noexcept {
  return (crc >> 8) ^ tables[0][(crc ^ static_cast<uint32_t>(b)) & 0xFF];
}

#if defined(__x86_64__)
[[gnu::target("sse4.2")]] uint32_t crc32c_sse42(uint32_t crc, const std::byte* data, size_t size) noexcept {
  uint64_t c = crc;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) c = _mm_crc32_u64(c, load64(data + i));
  auto c32 = static_cast<uint32_t>(c);
  for (; i < size; ++i) c32 = _mm_crc32_u8(c32, static_cast<uint8_t>(data[i]));
  return c32;
}

[[gnu::target("sse4.2")]] void crc32c_four_sse42(uint32_t (&crc)[4], const std::byte* const (&data)[4],
                                                 size_t size) noexcept {
  uint64_t c0 = crc[0], c1 = crc[1], c2 = crc[2], c3 = crc[3];
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    c0 = _mm_crc32_u64(c0, load64(data[0] + i));
    c1 = _mm_crc32_u64(c1, load64(data[1] + i));
    c2 = _mm_crc32_u64(c2, load64(data[2] + i));
    c3 = _mm_crc32_u64(c3, load64(data[3] + i));
  }
  crc[0] = static_cast<uint32_t>(c0);
  crc[1] = static_cast<uint32_t>(c1);
  crc[2] = static_cast<uint32_t>(c2);
  crc[3] = static_cast<uint32_t>(c3);
  for (size_t j = 0; j < 4; ++j)
    for (size_t t = i; t < size; ++t) crc[j] = _mm_crc32_u8(crc[j], static_cast<uint8_t>(data[j][t]));
}

bool has_sse42() noexcept {
  static const bool has = __builtin_cpu_supports("sse4.2");
  return has;
}
#endif

}  // namespace

uint32_t crc32c_portable(uint32_t crc, const std::byte* data, size_t size) noexcept {
  size_t i = 0;
  for (; i + 8 <= size; i += 8) crc = step8(crc, load64(data + i));
  for (; i < size; ++i) crc = step1(crc, data[i]);
  return crc;
}

void crc32c_four_portable(uint32_t (&crc)[4], const std::byte* const (&data)[4], size_t size) noexcept {
  size_t i = 0;
  for (; i + 8 <= size; i += 8)
    for (size_t j = 0; j < 4; ++j) crc[j] = step8(crc[j], load64(data[j] + i));
  for (size_t j = 0; j < 4; ++j)
    for (size_t t = i; t < size; ++t) crc[j] = step1(crc[j], data[j][t]);
}

uint32_t crc32c(uint32_t crc, const std::byte* data, size_t size) noexcept {
#if defined(__x86_64__)
  if (has_sse42()) return crc32c_sse42(crc, data, size);
#endif
  return crc32c_portable(crc, data, size);
}

void crc32c_four(uint32_t (&crc)[4], const std::byte* const (&data)[4], size_t size) noexcept {
#if defined(__x86_64__)
  if (has_sse42()) return crc32c_four_sse42(crc, data, size);
#endif
  crc32c_four_portable(crc, data, size);
}

}  // namespace mendseqs
