#include "engine/text.hpp"

#include <algorithm>

namespace mendseqs {

size_t count_letter_a(const Text& text) noexcept {
  return text.visit(
      [](auto code_points) { return static_cast<size_t>(std::count(code_points.begin(), code_points.end(), 'A')); });
}

}  // namespace mendseqs
