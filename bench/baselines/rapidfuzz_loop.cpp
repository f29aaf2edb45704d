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
      if (needed <= 0 ||
          static_cast<intptr_t>(scorer.similarity(references[i], static_cast<size_t>(needed))) >= needed) {
        accepted = references[i];
        break;
      }
    }
    corrected.push_back(std::move(accepted));
  }
  return corrected;
}

namespace {

// Calls accepted(i, lcs) for every reference the query accepts, in list
// order; throws GuardTripped where any reference passing the filters trips
// the guard, when `guard` asks for it.
template <class Accepted>
void each_accepted(const Strings& references, const std::vector<intptr_t>& lengths,
                   const std::vector<intptr_t>& a_counts, const std::string& query, intptr_t max_flex, bool guard,
                   Accepted&& accepted) {
  const auto query_length = static_cast<intptr_t>(query.size());
  const intptr_t query_a_count = count_a(query);
  const rapidfuzz::CachedLCSseq<char> scorer(query);
  for (size_t i = 0; i < references.size(); ++i) {
    if (std::abs(query_length - lengths[i]) > max_flex) continue;
    if (std::abs(query_a_count - a_counts[i]) > max_flex) continue;
    if (max_flex > std::min(query_length, lengths[i])) {
      if (guard) throw GuardTripped();
      continue;
    }
    const intptr_t needed = std::max<intptr_t>(lengths[i] - max_flex, 0);
    const auto common = static_cast<intptr_t>(scorer.similarity(references[i], static_cast<size_t>(needed)));
    if (common >= needed) accepted(i, common);
  }
}

void measure(const Strings& references, std::vector<intptr_t>& lengths, std::vector<intptr_t>& a_counts) {
  for (const std::string& reference : references) {
    lengths.push_back(static_cast<intptr_t>(reference.size()));
    a_counts.push_back(count_a(reference));
  }
}

}  // namespace

std::vector<NearestFound> nearest_rapidfuzz(const Strings& references, const Strings& queries, intptr_t max_flex) {
  std::vector<intptr_t> lengths, a_counts;
  measure(references, lengths, a_counts);
  std::vector<NearestFound> found;
  found.reserve(queries.size());
  for (const std::string& query : queries) {
    NearestFound best;
    intptr_t next = -1;  // the smallest distance above best's
    each_accepted(references, lengths, a_counts, query, max_flex, true, [&](size_t i, intptr_t common) {
      const intptr_t distance = static_cast<intptr_t>(query.size()) + lengths[i] - 2 * common;
      if (best.index < 0 || distance < best.distance) {
        next = best.index < 0 ? -1 : best.distance;
        best = {static_cast<intptr_t>(i), distance, -1, 1};
      } else if (distance == best.distance) {
        ++best.ties;
      } else if (next < 0 || distance < next) {
        next = distance;
      }
    });
    if (best.index >= 0) best.runner_up = best.ties > 1 ? best.distance : next;
    found.push_back(best);
  }
  return found;
}

std::vector<size_t> accepted_counts(const Strings& references, const Strings& queries, intptr_t max_flex) {
  std::vector<intptr_t> lengths, a_counts;
  measure(references, lengths, a_counts);
  std::vector<size_t> counts;
  for (const std::string& query : queries) {
    size_t count = 0;
    each_accepted(references, lengths, a_counts, query, max_flex, false, [&](size_t, intptr_t) { ++count; });
    counts.push_back(count);
  }
  return counts;
}

}  // namespace baselines
