// Seeded DNA for the engine benchmarks, and the views the engine reads it
// through.
#pragma once

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "engine/text.hpp"

namespace mendseqs::bench {

inline std::string random_dna(std::mt19937_64& rng, size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) text += "ACGT"[rng() % 4];
  return text;
}

// Substitutions, insertions and deletions, `edits` of them.
inline std::string edited(std::mt19937_64& rng, std::string text, size_t edits) {
  for (size_t e = 0; e < edits && !text.empty(); ++e) {
    const size_t at = rng() % text.size();
    switch (rng() % 3) {
      case 0:
        text[at] = "ACGT"[rng() % 4];
        break;
      case 1:
        text.insert(at, 1, "ACGT"[rng() % 4]);
        break;
      default:
        text.erase(at, 1);
        break;
    }
  }
  return text;
}

// ASCII text read in place, as the module reads a str of 1-byte characters.
inline std::vector<Text> views(const std::vector<std::string>& texts) {
  std::vector<Text> out;
  out.reserve(texts.size());
  for (const std::string& text : texts) out.emplace_back(std::string_view(text));
  return out;
}

}  // namespace mendseqs::bench
