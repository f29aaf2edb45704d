// How far apart two counts are (lengths, A-counts): the one definition the
// filters, the index and their tests share.
#pragma once

#include <type_traits>

namespace mendseqs {

template <class Count>
  requires std::is_integral_v<Count>
constexpr Count distance(Count a, Count b) noexcept {
  return a > b ? a - b : b - a;
}

}  // namespace mendseqs
