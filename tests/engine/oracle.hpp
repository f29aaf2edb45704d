// The engine's UTF-8 sequences handed to the full-table reference matcher
// (reference/full_table.hpp), the yardstick every faster kernel is checked
// against.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "full_table.hpp"
#include "texts.hpp"

namespace oracle {

inline std::u32string code_points(std::string_view text) {
  const std::vector<char32_t> decoded = mendseqs::test_support::decode_utf8(text);
  return std::u32string(decoded.begin(), decoded.end());
}

inline mendseqs::Text text_of(const std::u32string& code_points) {
  return mendseqs::Text(std::span<const char32_t>(code_points));
}

inline size_t lcs_length(std::string_view query, std::string_view reference) {
  const std::u32string q = code_points(query), r = code_points(reference);
  return mendseqs::reference::lcs_length(text_of(q), text_of(r));
}

// UTF-8 references as code points, and views of them for the reference.
struct DecodedList {
  explicit DecodedList(const std::vector<std::string>& references) {
    decoded.reserve(references.size());
    texts.reserve(references.size());
    for (const std::string& reference : references)
      texts.push_back(text_of(decoded.emplace_back(code_points(reference))));
  }
  std::vector<std::u32string> decoded;
  std::vector<mendseqs::Text> texts;
};

// The selection; nullopt where the tolerance guard fires.
inline std::optional<std::string> correct_seq(const std::vector<std::string>& references, std::string_view query,
                                              intptr_t max_flex) {
  const DecodedList list(references);
  const std::u32string q = code_points(query);
  using Outcome = mendseqs::reference::Selection::Outcome;
  const auto selection = mendseqs::reference::select(list.texts, text_of(q), max_flex);
  if (selection.outcome == Outcome::guard_tripped) return std::nullopt;
  return selection.outcome == Outcome::accepted ? references[selection.index] : std::string();
}

}  // namespace oracle

namespace oracle {

// Every reference scored (reference::select_nearest); nullopt where the
// tolerance guard fires.
inline std::optional<mendseqs::reference::NearestSelection> nearest(const std::vector<std::string>& references,
                                                                    std::string_view query, intptr_t max_flex) {
  const DecodedList list(references);
  const std::u32string q = code_points(query);
  const auto selection = mendseqs::reference::select_nearest(list.texts, text_of(q), max_flex);
  if (selection.outcome == mendseqs::reference::Selection::Outcome::guard_tripped) return std::nullopt;
  return selection;
}

}  // namespace oracle
