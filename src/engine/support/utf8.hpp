// Walking UTF-8 text one code point at a time.
//
// Every length the matcher compares is a count of code points: for ASCII,
// what the module expects, that is the byte count; for other text it keeps
// the length filter, the guard and the LCS threshold consistent with the
// characters actually compared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace mendseqs::utf8 {

// Decodes the code point starting at text[pos] (pos < text.size()) and moves
// pos past it. Text from Python is always valid UTF-8; a malformed byte (only
// possible from native callers) decodes alone to 0xDC00 + byte, as Python's
// surrogateescape does, so every byte is accounted for and nothing is read
// past the end.
inline char32_t next(std::string_view text, size_t& pos) noexcept {
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  const size_t extra = lead >= 0xF0 && lead <= 0xF4 ? 3 : lead >= 0xE0 && lead < 0xF0 ? 2
                     : lead >= 0xC2 && lead < 0xE0 ? 1 : 0;
  if (extra == 0 || text.size() - pos <= extra) {
    ++pos;
    return 0xDC00 + lead;
  }
  char32_t code_point = lead & (0x7F >> (extra + 1));
  for (size_t i = 1; i <= extra; ++i) {
    const auto continuation = static_cast<unsigned char>(text[pos + i]);
    if ((continuation & 0xC0) != 0x80) {
      ++pos;
      return 0xDC00 + lead;
    }
    code_point = (code_point << 6) | (continuation & 0x3F);
  }
  pos += extra + 1;
  return code_point;
}

inline bool is_ascii(std::string_view text) noexcept {
  for (unsigned char byte : text)
    if (byte >= 0x80) return false;
  return true;
}

size_t count_code_points(std::string_view text) noexcept;

// Number of characters equal to uppercase 'A'. In UTF-8 the byte 0x41 only
// ever stands for that character, so counting bytes counts characters.
size_t count_letter_a(std::string_view text) noexcept;

}  // namespace mendseqs::utf8
