// The characters that occur in a set of texts, numbered densely from 0.
//
// The short-reference kernels keep one mask per (block, character) pair, so
// a query character is turned into that number once per query rather than
// looked up once per candidate. Characters the texts never use get no
// number: they cannot take part in a common subsequence.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "engine/text.hpp"

namespace mendseqs {

class Alphabet {
 public:
  static constexpr uint32_t absent = UINT32_MAX;

  Alphabet() { ascii_.fill(absent); }

  // Numbers the character if it is new; returns its number either way.
  uint32_t add(char32_t character);
  uint32_t number(char32_t character) const noexcept;
  size_t size() const noexcept { return size_; }
  // The characters, the one numbered 0 first: adding them in this order
  // to an empty alphabet numbers them the same again.
  std::vector<char32_t> characters() const;

  // Replaces `numbers` with the numbers of the text's characters, in text
  // order, leaving out those the alphabet lacks.
  void translate(const Text& text, std::vector<uint32_t>& numbers) const;

 private:
  std::array<uint32_t, 128> ascii_;  // absent or the number
  std::unordered_map<char32_t, uint32_t> others_;
  size_t size_ = 0;
};

}  // namespace mendseqs
