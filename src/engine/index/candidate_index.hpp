// An exact candidate index over the references of one call, for long
// whitelists (10^5 to 10^7 short barcodes) where scanning every reference
// for every query costs too much.
//
// Why it is exact: a query q and a reference r of lengths Lq and Lr with
// Lr > k have LCS(q, r) >= Lr - k exactly when they share a string of length
// Lr - k, which comes from deleting k characters of r and Lq - Lr + k of q.
// The index holds every k-deletion variant of every reference longer than
// k (deleting within runs of one character only from the run's start, so
// few are repeats), keyed by (variant, Lr); a query looks up its own
// (Lq - Lr + k)-deletion variants for each indexed Lr in [Lq - k, Lq + k].
// Keys are 64-bit hashes and only part of one is stored, so a hit is a
// candidate, never an answer: the two filters are checked exactly here and
// the LCS by the caller's exact test.
//
// References of length at most k never need an LCS: passing the filters,
// they either trip the tolerance guard (Lr < k, or a query shorter than k)
// or are accepted outright (Lr == k, since Lr - k <= 0). They, and the
// references short enough to trip the guard for a short query (Lr < 2k),
// sit in a small table of (length, A-count) -> first position instead.
//
// The layout is flat arrays (bucket offsets; 32-bit entries holding a
// position and spare hash bits; a 16-bit tag per entry, compared four at a
// time), filled by counting sort in two passes
// over the references, so building needs no memory beyond the index itself
// and the entries of a bucket are in increasing position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/text.hpp"
#include "index/function_ref.hpp"
#include "index/large_array.hpp"

namespace mendseqs {

// What decides a query: the lowest position that passes both filters and
// either trips the tolerance guard or is accepted.
struct Decision {
  size_t position;
  bool guard;  // the reference at `position` trips the guard: the call fails

  bool operator==(const Decision&) const = default;
};

// What the cost model weighed for one call: the index's size, and the
// estimated time of building it and answering every query with it against
// scanning. Returned for the benchmark and the tests to show.
struct IndexPlan {
  bool use_index = false;
  double variants = 0;      // k-deletion variants to index, at most
  double memory_bytes = 0;  // the index while it is built, at most
  double index_seconds = 0;
  double scan_seconds = 0;
};

class CandidateIndex {
 public:
  // cost_model: build only when the estimate says the index wins the call
  // clearly; always: build whenever possible (tests and benchmarks force the
  // index this way). Either way nothing is built past the memory budget,
  // for a negative max_flex, or for a tolerance too large to enumerate.
  enum class Choice { cost_model, always };

  // `threads` build the index (and share its memory budget while they do).
  static IndexPlan plan(std::span<const Text> references, intptr_t max_flex, size_t query_count,
                        size_t memory_budget_bytes, unsigned threads = 1);

  // Null when the plan says scan (or memory runs out while building): the
  // caller scans then, with the same results. The calling thread charges
  // its share of the building to `charge` (characters' worth of work), which
  // may throw to end the call; the building threads are joined first.
  static std::unique_ptr<CandidateIndex> build(std::span<const Text> references, intptr_t max_flex,
                                               size_t query_count, size_t memory_budget_bytes,
                                               Choice choice = Choice::cost_model, unsigned threads = 1,
                                               FunctionRef<void(size_t)> charge = [](size_t) {});

  // The scan's answer for this query: nullopt when no reference decides
  // it (the empty string). `accepts(i)` must be the exact LCS test of
  // reference i (LCS >= Lr - max_flex); it is called only for references
  // that pass both filters and do not trip the guard, in increasing
  // position, stopping at the first true. Thread-safe: scratch is per thread.
  std::optional<Decision> first_decisive(const Text& query, FunctionRef<bool(size_t)> accepts) const;

  // For measuring every accepted reference (the nearest): visits, once
  // each and in increasing position, every reference that passes both
  // filters and is not in the small table, and shares a deletion variant
  // with the query: a superset of those with LCS >= Lr - max_flex (a hash
  // may collide). False, having visited nothing, where it cannot promise
  // that: references of length exactly max_flex pass (accepted on the
  // filters alone, and the small table keeps only the first of each), or
  // the query is shorter than max_flex. Thread-safe: scratch is per thread.
  bool for_each_candidate(const Text& query, FunctionRef<void(size_t)> visit) const;

  // Whether any reference that passes both filters trips the tolerance
  // guard (max_flex > min(Lq, Lr)) for this query.
  bool guard_tripped(const Text& query) const;

  // Whether this one query would look up so many variants that scanning it
  // is cheaper (a query much longer than the references with a large k, for
  // instance). Advisory: first_decisive is exact either way.
  bool prefers_scan(const Text& query) const;

  size_t memory_bytes() const noexcept;
  size_t entry_count() const noexcept { return entries_.size(); }

 private:
  struct ShortReference {  // one (length, A-count) pair of the small table
    uint32_t length;
    uint32_t a_count;
    uint32_t first;  // lowest position with this length and A-count
  };

  CandidateIndex(std::span<const Text> references, intptr_t max_flex, double variant_bound, unsigned threads,
                 FunctionRef<void(size_t)> charge);
  void add_short_references(std::span<const Text> references);
  std::optional<Decision> first_short(size_t query_length, size_t query_a_count) const;
  // The query's lookups, one per deletion variant and indexed length, their
  // bucket bounds read; into `scratch` (a QueryScratch).
  template <class QueryScratchT>
  void look_up(const Text& query, QueryScratchT& scratch) const;
  double lookups_for(size_t query_length) const;
  size_t bucket_of(uint64_t key) const noexcept {
    return static_cast<size_t>(((key >> 32) * static_cast<uint64_t>(bucket_count_)) >> 32);
  }

  size_t max_flex_;
  size_t reference_count_;
  double scan_seconds_per_query_;  // estimated, for prefers_scan
  uint32_t position_mask_;  // entry bits holding the position; the rest are hash bits
  size_t bucket_count_ = 0;
  LargeArray<uint32_t> offsets_;  // bucket b holds entries_[offsets_[b], offsets_[b + 1])
  LargeArray<uint32_t> entries_;
  LargeArray<uint16_t> tags_;      // more of each entry's key, scanned before the entry is read
  std::vector<uint32_t> lengths_;   // per reference, for the exact filters
  std::vector<uint32_t> a_counts_;
  std::vector<uint32_t> indexed_lengths_;      // distinct lengths > max_flex, ascending
  std::vector<ShortReference> short_;          // sorted by (length, A-count)
};

// How much memory one call may give its index: half of what the system
// reports available, and never more than 1 GiB where addresses are 32-bit.
size_t index_memory_budget();

}  // namespace mendseqs
