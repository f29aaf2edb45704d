#include <string>
#include <vector>

#include "baselines/baselines.hpp"
#include "full_table.hpp"

namespace baselines {
namespace {

// UTF-8 to code points; benchmark input is ASCII, but decoding is part of
// what a caller of the straightforward loop pays, so it is done for real.
std::u32string unpack(const std::string& text) {
  std::u32string code_points;
  for (size_t pos = 0; pos < text.size();) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    const size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    char32_t c = extra ? lead & (0x3F >> extra) : lead;
    for (size_t i = 1; i <= extra && pos + i < text.size(); ++i)
      c = (c << 6) | (static_cast<unsigned char>(text[pos + i]) & 0x3F);
    code_points.push_back(c);
    pos += extra + 1;
  }
  return code_points;
}

mendseqs::Text text_of(const std::u32string& code_points) {
  return mendseqs::Text(std::span<const char32_t>(code_points));
}

}  // namespace

Strings correct_naive(const Strings& references, const Strings& queries, intptr_t max_flex) {
  std::vector<std::u32string> unpacked;
  std::vector<mendseqs::Text> texts;
  unpacked.reserve(references.size());
  for (const std::string& reference : references) texts.push_back(text_of(unpacked.emplace_back(unpack(reference))));
  Strings corrected;
  corrected.reserve(queries.size());
  using Outcome = mendseqs::reference::Selection::Outcome;
  for (const std::string& query : queries) {
    const std::u32string q = unpack(query);
    const auto selection = mendseqs::reference::select(texts, text_of(q), max_flex);
    if (selection.outcome == Outcome::guard_tripped) throw GuardTripped();
    corrected.push_back(selection.outcome == Outcome::accepted ? references[selection.index] : std::string());
  }
  return corrected;
}

}  // namespace baselines
