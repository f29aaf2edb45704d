// DNA letters as two-bit codes (A, C, G, T as 0 to 3) and their
// complements: the one alphabet of the packed index, the adapter search
// and the reads' tagging.
#pragma once

#include <cstdint>

namespace mendseqs {

// The code of any character that is not one of the four letters: it
// matches nothing (N included).
inline constexpr uint8_t unmatched_code = 4;

// A, C, G, T exactly as written. The index compares characters as they
// are, so 'a' is not 'A' there: a lower-case letter is unmatched.
constexpr uint8_t upper_base_code(char32_t letter) noexcept {
  switch (letter) {
    case U'A':
      return 0;
    case U'C':
      return 1;
    case U'G':
      return 2;
    case U'T':
      return 3;
    default:
      return unmatched_code;
  }
}

// A, C, G, T in either case: a read's soft-masked lower case is DNA too.
constexpr uint8_t base_code(char32_t letter) noexcept {
  return upper_base_code(letter >= U'a' && letter <= U'z' ? letter - (U'a' - U'A') : letter);
}

// The code of the complementary letter (unmatched stays unmatched).
constexpr uint8_t complement_code(uint8_t code) noexcept {
  return code < unmatched_code ? static_cast<uint8_t>(3 - code) : code;
}

// The upper-case letter of a code; N for unmatched.
constexpr char base_letter(uint8_t code) noexcept { return "ACGTN"[code < unmatched_code ? code : unmatched_code]; }

}  // namespace mendseqs
