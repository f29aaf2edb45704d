#include <rapidfuzz/distance/LCSseq.hpp>

#include <algorithm>

#include "baselines/baselines.hpp"

namespace baselines {
namespace {

intptr_t count_a(const std::string& text) { return std::count(text.begin(), text.end(), 'A'); }

}  // namespace

Strings correct_rapidfuzz(const Strings& references, const Strings& queries, intptr_t max_flex) {
  std::vector<intptr_t> lengths, a_counts;
  for (const std::string& reference : references) {
    lengths.push_back(static_cast<intptr_t>(reference.size()));
    a_counts.push_back(count_a(reference));
  }
  Strings corrected;
  corrected.reserve(queries.size());
  for (const std::string& query : queries) {
    const auto query_length = static_cast<intptr_t>(query.size());
    const intptr_t query_a_count = count_a(query);
    const rapidfuzz::CachedLCSseq<char> scorer(query);
    std::string accepted;
    for (size_t i = 0; i < references.size(); ++i) {
      if (std::abs(query_length - lengths[i]) > max_flex) continue;
      if (std::abs(query_a_count - a_counts[i]) > max_flex) continue;
      if (max_flex > std::min(query_length, lengths[i])) throw GuardTripped();
      const intptr_t needed = lengths[i] - max_flex;
      if (needed <= 0 || static_cast<intptr_t>(scorer.similarity(references[i], static_cast<size_t>(needed))) >= needed) {
        accepted = references[i];
        break;
      }
    }
    corrected.push_back(std::move(accepted));
  }
  return corrected;
}

}  // namespace baselines
