// Seeded random sequences for the differential tests.
#pragma once

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "texts.hpp"

namespace testing_text {

// Letters, a lowercase one and characters of two, three and four bytes, so
// the kernels meet code points that are not bytes.
inline const std::vector<std::string> mixed_alphabet = {
    "A", "C", "G", "T", "a", "\xC3\xA9", "\xE2\x96\xA0", "\xF0\x9F\xA7\xAC"};
inline const std::vector<std::string> dna_alphabet = {"A", "C", "G", "T"};

inline std::string random_text(std::mt19937_64& rng, size_t length, const std::vector<std::string>& alphabet) {
  std::string text;
  for (size_t i = 0; i < length; ++i) text += alphabet[rng() % alphabet.size()];
  return text;
}

// The text with `edits` random substitutions, insertions and deletions, one
// character each.
inline std::string edited(std::mt19937_64& rng, std::string_view text, size_t edits,
                          const std::vector<std::string>& alphabet) {
  std::vector<std::string> characters;
  for (const char32_t c : mendseqs::test_support::decode_utf8(text))
    mendseqs::test_support::append_utf8(characters.emplace_back(), c);
  for (size_t e = 0; e < edits; ++e) {
    const std::string& letter = alphabet[rng() % alphabet.size()];
    const size_t at = characters.empty() ? 0 : rng() % characters.size();
    switch (characters.empty() ? 1 : rng() % 3) {
      case 0:
        characters[at] = letter;
        break;
      case 1:
        characters.insert(characters.begin() + static_cast<long>(at), letter);
        break;
      default:
        characters.erase(characters.begin() + static_cast<long>(at));
        break;
    }
  }
  std::string out;
  for (const std::string& c : characters) out += c;
  return out;
}

}  // namespace testing_text
