// The words of a query's match mask that one step of a comparison needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/lcs.hpp"

namespace mendseqs {

class MatchWords {
 public:
  explicit MatchWords(const QueryPattern& query) : query_(query) {
    if (!query.dense()) {
      scratch_.resize(query.words());
      cursor_.assign(query.distinct(), 0);
    }
  }

  // Words first .. last of the positions of `character` in the query,
  // indexed from `first`; null when the query lacks the character. Valid
  // until the next call. Windows must not move backwards between calls.
  const uint64_t* get(char32_t character, size_t first, size_t last) {
    const uint32_t number = query_.number(character);
    if (number == QueryPattern::absent) return nullptr;
    if (query_.dense()) return query_.mask(number) + first;
    query_.match_words(number, first, last, scratch_.data(), cursor_);
    return scratch_.data();
  }

 private:
  const QueryPattern& query_;
  std::vector<uint64_t> scratch_;
  std::vector<size_t> cursor_;
};

}  // namespace mendseqs
