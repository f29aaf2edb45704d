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
