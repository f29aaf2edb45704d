// The word-at-a-time loops of the load: CRC-32C (the standard check value,
// and the hardware's instruction, where this processor has it, against the
// tables, one stream and four) and the count of A's eight bytes at a time.
#include "support/crc32c.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/text.hpp"

namespace mendseqs {
namespace {

TEST(Crc32c, TheCheckValueAndHardwareAgainstTables) {
  const char* check = "123456789";
  const auto* bytes = reinterpret_cast<const std::byte*>(check);
  EXPECT_EQ(crc32c(~0u, bytes, 9) ^ ~0u, 0xE3069283u);
  EXPECT_EQ(crc32c_portable(~0u, bytes, 9) ^ ~0u, 0xE3069283u);

  std::mt19937_64 rng(32);
  std::vector<std::byte> data(4 * 1000 + 37);
  for (std::byte& b : data) b = static_cast<std::byte>(rng());
  for (const size_t size : {0, 1, 7, 8, 9, 63, 64, 999, 1000}) {
    SCOPED_TRACE(size);
    const auto seed = static_cast<uint32_t>(rng());
    EXPECT_EQ(crc32c(seed, data.data() + 3, size), crc32c_portable(seed, data.data() + 3, size));
    const std::byte* const stripes[4] = {data.data(), data.data() + 1001, data.data() + 2003, data.data() + 3010};
    uint32_t four[4] = {1, 2, 3, seed}, portable[4] = {1, 2, 3, seed};
    crc32c_four(four, stripes, size);
    crc32c_four_portable(portable, stripes, size);
    for (size_t j = 0; j < 4; ++j) {
      EXPECT_EQ(four[j], portable[j]);
      EXPECT_EQ(four[j], crc32c_portable(j == 3 ? seed : static_cast<uint32_t>(j + 1), stripes[j], size));
    }
  }
  // Any one flipped bit changes it.
  const uint32_t whole = crc32c(0, data.data(), data.size());
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<std::byte> flipped = data;
    flipped[rng() % flipped.size()] ^= static_cast<std::byte>(1u << (rng() % 8));
    EXPECT_NE(crc32c(0, flipped.data(), flipped.size()), whole);
  }
}

// Every byte value beside 'A' (its neighbours, its high-bit twin 0xC1,
// zero), at every offset from the word boundaries.
TEST(CountLetterA, WordAtATimeAsOneByOne) {
  std::mt19937_64 rng(65);
  const std::string letters = std::string("AAAA@BaCGT\x01\xC1\xFF") + '\0';
  for (int trial = 0; trial < 2000; ++trial) {
    std::string text(rng() % 40, 'A');
    for (char& c : text) c = letters[rng() % letters.size()];
    const size_t offset = rng() % 8;
    const std::string shifted = std::string(offset, 'A') + text;
    const Text view(std::string_view(shifted).substr(offset));
    ASSERT_EQ(count_letter_a(view), static_cast<size_t>(std::count(text.begin(), text.end(), 'A'))) << text;
  }
}

}  // namespace
}  // namespace mendseqs
