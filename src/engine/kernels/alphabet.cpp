#include "kernels/alphabet.hpp"

#include "support/utf8.hpp"

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

uint32_t Alphabet::slot(char32_t character) const noexcept {
  if (character < ascii_.size()) return ascii_[character];
  const auto entry = others_.find(character);
  return entry == others_.end() ? absent : entry->second;
}

void Alphabet::translate(std::string_view text, std::vector<uint32_t>& slots) const {
  slots.clear();
  for (size_t pos = 0; pos < text.size();) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    uint32_t number;
    if (byte < 0x80) {
      number = ascii_[byte];
      ++pos;
    } else {
      number = slot(utf8::next(text, pos));
    }
    if (number != absent) slots.push_back(number);
  }
}

}  // namespace mendseqs
