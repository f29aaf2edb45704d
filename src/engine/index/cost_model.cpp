// Whether a call builds an index: its size against the memory budget, and
// the estimated time of building it and answering every query with it
// against scanning.
#include "index/cost_model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "index/candidate_index.hpp"
#include "index/deletions.hpp"
#include "support/binomial.hpp"
#include "support/function_ref.hpp"
#include "support/machine.hpp"

namespace mendseqs {
namespace {

using namespace costs;
// A variant indexed (made, partitioned, sorted into its bucket): hashed,
// and packed (made again in each round of its build, then rebuilt from a
// posting by every query that finds it); a lookup in an index that fits in
// cache; a query's fixed work; a character hashed.
constexpr double seconds_per_indexed_variant = 40e-9;
constexpr double seconds_per_packed_variant = 25e-9;
constexpr double seconds_per_cached_lookup = 20e-9;
constexpr double cached_index_bytes = 8 << 20;
constexpr double seconds_per_query = 300e-9;
constexpr double seconds_per_hashed_character = 1e-9;
// The index must win by this factor, so an estimate off by less never
// makes a call slower than the scan.
constexpr double required_gain = 2.0;

// Lists hold few distinct lengths, mostly in runs: a length is looked up
// among those seen only when it differs from the one before (sorting one
// per reference took most of a second on millions, out of Ctrl+C's reach).
std::vector<uint32_t> distinct_lengths_above(std::span<const Text> references, size_t max_flex,
                                             FunctionRef<void(size_t)> charge) {
  std::vector<uint32_t> lengths;
  size_t previous = 0;
  for (size_t i = 0; i < references.size(); ++i) {
    if (i % 4096 == 0) charge(4096);
    const size_t length = references[i].length();
    if (length <= max_flex || length == previous) continue;
    previous = length;
    const auto at = std::lower_bound(lengths.begin(), lengths.end(), length);
    if (at == lengths.end() || *at != length) lengths.insert(at, static_cast<uint32_t>(length));
  }
  return lengths;
}

// Queries are expected to look like the references, give or take a
// character: their lookups are estimated on up to 64 references spread over
// the list, each read as a query as it is, less its last character, and
// with that character doubled. By the binomial bounds, or by counting the
// canonical deletions themselves, which runs of one letter (common in DNA)
// make far fewer. An enumeration too large to count is taken at its bound.
double estimate_lookups(std::span<const Text> references, const std::vector<uint32_t>& indexed, size_t k,
                        bool count_deletions) {
  const size_t n = references.size();
  const size_t samples = std::min<size_t>(n, 64);
  HashedDeletions variants;
  std::vector<char32_t> probe;
  double lookups = 0;
  for (size_t sample = 0; sample < samples; ++sample) {
    const Text& reference = references[sample * n / samples];
    // Long references are only looked at through their length.
    const bool count = count_deletions && reference.length() <= 4096;
    for (const int change : {-1, 0, 1}) {
      if (!count) {
        const size_t length = change < 0 ? reference.length() - std::min<size_t>(reference.length(), 1)
                                         : reference.length() + static_cast<size_t>(change);
        lookups += lookups_for_length(indexed, k, length);
        continue;
      }
      probe.assign(reference.length(), 0);
      for (size_t i = 0; i < probe.size(); ++i) probe[i] = reference[i];
      if (change < 0 && !probe.empty()) probe.pop_back();
      if (change > 0) probe.push_back(probe.empty() ? U'A' : probe.back());
      const Text query{std::span<const char32_t>(probe)};
      const size_t length = query.length();
      if (length < k) continue;
      bool loaded = false;
      for (auto it = std::lower_bound(indexed.begin(), indexed.end(), std::max(k + 1, length - std::min(length, k)));
           it != indexed.end() && *it <= length + k; ++it) {
        const size_t deletions = length + k - *it;
        const double bound = binomial(length, deletions);
        if (bound > 2e4) {
          lookups += bound;
          continue;
        }
        if (!loaded) variants.load(query), loaded = true;
        variants.for_each(deletions, [&](uint64_t) { lookups += 1; });
      }
    }
  }
  return lookups / (3 * static_cast<double>(samples));
}

}  // namespace

double lookups_for_length(const std::vector<uint32_t>& lengths, size_t max_flex, size_t query_length) {
  if (query_length < max_flex) return 0;
  const size_t low = std::max(max_flex + 1, query_length - std::min(query_length, max_flex));
  double lookups = 0;
  for (auto it = std::lower_bound(lengths.begin(), lengths.end(), low);
       it != lengths.end() && *it <= query_length + max_flex; ++it)
    lookups += binomial(query_length, query_length + max_flex - *it);
  return lookups;
}

IndexPlan CandidateIndex::plan(std::span<const Text> references, intptr_t max_flex, size_t query_count,
                               size_t memory_budget_bytes, unsigned threads, Layout layout,
                               FunctionRef<void(size_t)> charge) {
  IndexPlan plan;
  const size_t n = references.size();
  if (max_flex < 0 || n == 0 || n >= std::numeric_limits<uint32_t>::max() ||
      2 * static_cast<size_t>(max_flex) > max_deletions)
    return plan;
  const auto k = static_cast<size_t>(max_flex);
  double characters = 0;
  std::vector<uint32_t> lengths;
  lengths.reserve(n);
  bool suits_packed = layout == Layout::automatic;
  constexpr size_t chunk = 4096;
  for (size_t begin = 0; begin < n; begin += chunk) {
    const std::span<const Text> part = references.subspan(begin, std::min(chunk, n - begin));
    charge(chunk);
    for (const Text& reference : part) {
      if (reference.length() >= std::numeric_limits<uint32_t>::max()) return plan;
      characters += static_cast<double>(reference.length());
      lengths.push_back(static_cast<uint32_t>(reference.length()));
      if (reference.length() > k) plan.variants += binomial(reference.length(), k);
    }
    suits_packed = suits_packed && PackedLayout::suits(part, k);
  }
  plan.packed = suits_packed;
  // The short table, at most, and the lengths and A-counts read meanwhile.
  const double common_bytes =
      12 * std::min<double>(static_cast<double>(n), 4.0 * k * k + 2) + 8 * static_cast<double>(n);
  if (plan.packed) {
    plan.memory_bytes = PackedLayout::estimate(lengths, k).build_bytes + common_bytes;
  } else {
    // Entries and their tags, plus the 16-bit bucket numbers of the entries
    // while building; lengths, A-counts and distinct lengths per reference.
    const double buckets = std::ceil(plan.variants / HashedLayout::variants_per_bucket) + 1;
    plan.memory_bytes = 4 * (buckets + 1) + 8 * plan.variants + 4 * static_cast<double>(n) + common_bytes;
    if (plan.variants >= std::numeric_limits<uint32_t>::max()) return plan;
  }
  if (plan.memory_bytes > static_cast<double>(memory_budget_bytes)) return plan;

  const auto queries = static_cast<double>(query_count);
  const double workers = std::max(1u, threads);
  plan.scan_seconds =
      queries * std::max(characters, static_cast<double>(n) * 16) * seconds_per_scanned_character / workers;
  // Every character is hashed: twice per reference, once per query.
  const double mean_length = characters / static_cast<double>(n);
  const double lookup_seconds =
      plan.memory_bytes <= cached_index_bytes ? seconds_per_cached_lookup : seconds_per_lookup;
  const double build_seconds =
      plan.packed ? plan.variants * seconds_per_packed_variant : plan.variants * seconds_per_indexed_variant;
  const auto index_seconds = [&](double lookups) {
    return (build_seconds + 2 * characters * seconds_per_hashed_character +
            queries * (seconds_per_query + mean_length * seconds_per_hashed_character + lookups * lookup_seconds)) /
           workers;
  };
  // Without a single lookup: a small batch against a long list ends here,
  // before anything costs more than a pass over the lengths.
  plan.index_seconds = index_seconds(0);
  if (plan.index_seconds * required_gain >= plan.scan_seconds) return plan;
  const std::vector<uint32_t> indexed = distinct_lengths_above(references, k, charge);
  // Canonical deletions are rarely fewer than a quarter of the bound.
  plan.index_seconds = index_seconds(estimate_lookups(references, indexed, k, false) / 4);
  if (plan.index_seconds * required_gain >= plan.scan_seconds) return plan;
  plan.index_seconds = index_seconds(estimate_lookups(references, indexed, k, true));
  plan.use_index = plan.index_seconds * required_gain < plan.scan_seconds;
  return plan;
}

bool CandidateIndex::prefers_scan(const Text& query) const {
  // The binomial bound counts up to about twice the lookups a DNA query
  // makes; scanning must win even so.
  return lookups_for_length(facts_->distinct_lengths(), max_flex_, query.length()) * seconds_per_lookup >
         2 * scan_seconds_per_query_;
}

size_t CandidateIndex::scan_head(const Text& query) const {
  if (!packed_ || hits_per_lookup_ <= 0 || reference_count_ == 0) return 0;
  // Canonical deletions are about half the bound on random DNA; a reference
  // that passes is found through a couple of the query's variants.
  const double lookups = lookups_for_length(facts_->distinct_lengths(), max_flex_, query.length()) / 2;
  const double passing = lookups * hits_per_lookup_ / 2;
  const auto n = static_cast<double>(reference_count_);
  // Three mean gaps between passing references: the head holds one but
  // about one time in twenty.
  const double head = 3 * n / (passing + 1);
  if (head >= n) return 0;
  // A lookup in a dense list also maps what it finds to positions (W7, one
  // thread: about 210 ns a lookup for 17-letter queries, where the head of
  // 70,000 references costs about 35 us).
  const double scan_seconds = head / n * scan_seconds_per_query_;
  const double lookup_seconds = seconds_per_lookup + hits_per_lookup_ * seconds_per_probe;
  return scan_seconds < 0.8 * lookups * lookup_seconds ? static_cast<size_t>(head) : 0;
}

bool CandidateIndex::fits_a_window(const Text& query) const {
  return lookups_for_length(facts_->distinct_lengths(), max_flex_, query.length()) <= window_lookups_most;
}

size_t index_memory_budget() {
  constexpr uint64_t gib = uint64_t{1} << 30;
  // Within the job's cgroup limit too: a Slurm job or a container scans
  // instead of being killed.
  const std::optional<uint64_t> available = available_memory();
  uint64_t budget = available ? *available / 2 : gib;  // unknown: a modest guess
  if constexpr (sizeof(void*) < 8) budget = std::min(budget, gib);
  return static_cast<size_t>(std::min<uint64_t>(budget, std::numeric_limits<size_t>::max()));
}

}  // namespace mendseqs
