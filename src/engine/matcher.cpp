#include "engine/matcher.hpp"

#include <algorithm>
#include <optional>

#include "engine/lcs.hpp"
#include "engine/panic.hpp"
#include "engine/utf8.hpp"

namespace mendseqs {
namespace {

intptr_t distance(intptr_t a, intptr_t b) noexcept { return a > b ? a - b : b - a; }

}  // namespace

ReferenceSet::ReferenceSet(SequenceList sequences) : sequences_(std::move(sequences)) {
  lengths_.reserve(sequences_.size());
  a_counts_.reserve(sequences_.size());
  for (const Sequence& reference : sequences_) {
    lengths_.push_back(static_cast<intptr_t>(utf8::count_code_points(reference)));
    a_counts_.push_back(static_cast<intptr_t>(utf8::count_letter_a(reference)));
  }
}

Sequence correct_seq(const ReferenceSet& references, std::string_view query, intptr_t max_flex) {
  const auto query_length = static_cast<intptr_t>(utf8::count_code_points(query));
  const auto query_a_count = static_cast<intptr_t>(utf8::count_letter_a(query));
  // The query's bit masks are built on the first candidate that needs them.
  std::optional<QueryPattern> pattern;

  for (size_t i = 0; i < references.size(); ++i) {
    const intptr_t reference_length = references.length(i);
    if (distance(query_length, reference_length) > max_flex) continue;
    if (distance(query_a_count, references.a_count(i)) > max_flex) continue;
    if (max_flex > std::min(query_length, reference_length)) panic(std::string(tolerance_guard_message));

    if (!pattern) pattern.emplace(query);
    const auto common = static_cast<intptr_t>(lcs_length(*pattern, references.sequence(i)));
    // max_flex is here between 0 and the reference length: no overflow.
    if (common >= reference_length - max_flex) return references.sequence(i);
  }
  return Sequence();
}

}  // namespace mendseqs
