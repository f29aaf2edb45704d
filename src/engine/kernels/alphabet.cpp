#include "kernels/alphabet.hpp"

namespace mendseqs {

uint32_t Alphabet::add(char32_t character) {
  if (character < ascii_.size()) {
    if (ascii_[character] == absent) ascii_[character] = static_cast<uint32_t>(size_++);
    return ascii_[character];
  }
  const auto [entry, inserted] = others_.try_emplace(character, static_cast<uint32_t>(size_));
  if (inserted) ++size_;
  return entry->second;
}

uint32_t Alphabet::number(char32_t character) const noexcept {
  if (character < ascii_.size()) return ascii_[character];
  const auto entry = others_.find(character);
  return entry == others_.end() ? absent : entry->second;
}

std::vector<char32_t> Alphabet::characters() const {
  std::vector<char32_t> characters(size_);
  for (size_t c = 0; c < ascii_.size(); ++c)
    if (ascii_[c] != absent) characters[ascii_[c]] = static_cast<char32_t>(c);
  for (const auto& [character, number] : others_) characters[number] = character;
  return characters;
}

void Alphabet::translate(const Text& text, std::vector<uint32_t>& numbers) const {
  numbers.clear();
  numbers.reserve(text.length());
  text.visit([&](auto code_points) {
    for (const char32_t c : code_points) {
      const uint32_t n = c < ascii_.size() ? ascii_[c] : number(c);
      if (n != absent) numbers.push_back(n);
    }
  });
}

}  // namespace mendseqs
