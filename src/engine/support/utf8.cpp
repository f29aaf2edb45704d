#include "support/utf8.hpp"

#include <algorithm>

namespace mendseqs::utf8 {

size_t count_code_points(std::string_view text) noexcept {
  size_t count = 0;
  for (size_t pos = 0; pos < text.size(); ++count) next(text, pos);
  return count;
}

size_t count_letter_a(std::string_view text) noexcept {
  return static_cast<size_t>(std::count(text.begin(), text.end(), 'A'));
}

}  // namespace mendseqs::utf8
