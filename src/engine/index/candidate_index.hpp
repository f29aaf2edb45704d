// An exact candidate index over the references of one call, for long
// whitelists (10^5 to 10^7 short barcodes) where scanning every reference
// for every query costs too much.
//
// Why it is exact: a query q and a reference r of lengths Lq and Lr with
// Lr > k have LCS(q, r) >= Lr - k exactly when they share a string of length
// Lr - k, which comes from deleting k characters of r and Lq - Lr + k of q.
// The index holds the k-deletion variants of every reference longer than k
// (index/deletions.hpp), keyed by (variant, Lr); a query looks up its own
// (Lq - Lr + k)-deletion variants for each indexed Lr in [Lq - k, Lq + k].
//
// Two layouts, chosen per call: the packed one (index/packed_layout.hpp)
// for lists over A, C, G, T of at most 32 letters and k <= 3, compact and
// needing no verification; the hashed one (index/hashed_layout.hpp) for
// everything else, whose hits the caller's LCS test confirms. References
// too short for either sit in a small table (index/short_table.hpp). The
// cost model (index/cost_model.cpp) decides whether to build at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "engine/text.hpp"
#include "index/hashed_layout.hpp"
#include "index/packed_layout.hpp"
#include "index/short_table.hpp"
#include "storage/reference_facts.hpp"
#include "storage/sections.hpp"
#include "support/function_ref.hpp"

namespace mendseqs {

// What the cost model weighed for one call: the index's size, and the
// estimated time of building it and answering every query with it against
// scanning. Returned for the benchmark and the tests to show.
struct IndexPlan {
  bool use_index = false;
  bool packed = false;      // the packed layout suits the references
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
  // automatic: the packed layout wherever it suits; hashed: always the
  // hashed one (tests compare the two).
  enum class Layout { automatic, hashed };

  // `threads` build the index (and share its memory budget while they do).
  // Weighing millions of references takes a while: it is charged to
  // `charge`, which may throw to end the call.
  static IndexPlan plan(
      std::span<const Text> references, intptr_t max_flex, size_t query_count, size_t memory_budget_bytes,
      unsigned threads = 1, Layout layout = Layout::automatic, FunctionRef<void(size_t)> charge = [](size_t) {});

  // Null when the plan says scan (or memory runs out while building): the
  // caller scans then, with the same results. The calling thread charges
  // its share of the building to `charge` (characters' worth of work), which
  // may throw to end the call; the building threads are joined first.
  // `facts` is the references' table (reference_facts.hpp): the index
  // borrows it, so it must outlive the index. A table that is not narrow
  // gets no index.
  static std::unique_ptr<CandidateIndex> build(
      std::span<const Text> references, const ReferenceFacts& facts, intptr_t max_flex, size_t query_count,
      size_t memory_budget_bytes, Choice choice = Choice::cost_model, unsigned threads = 1,
      FunctionRef<void(size_t)> charge = [](size_t) {}, Layout layout = Layout::automatic);

  // The scan's answer for this query: nullopt when no reference decides
  // it (the empty string). `accepts(i)` must be the exact LCS test of
  // reference i (LCS >= Lr - max_flex); it is called only for references
  // that pass both filters and do not trip the guard, in increasing
  // position, stopping at the first true: for a sound index. A loaded
  // index's file may be damaged, so `accepts` must check the filters
  // itself before anything that relies on them. Thread-safe: scratch is
  // per thread.
  std::optional<Decision> first_decisive(const Text& query, FunctionRef<bool(size_t)> accepts) const;
  // first_decisive for several queries at once, where the layout names
  // exactly the accepted references (the packed one): out[i] is
  // queries[i]'s decision, found with the lookups of every query in flight
  // together. Returns false, writing nothing, for the hashed layout.
  bool first_decisive(std::span<const Text* const> queries, std::span<std::optional<Decision>> out) const;
  // The nearest accepted references of several queries at once, where the
  // layout names exactly the accepted ones (the packed one): out[i]
  // summarises every reference that passes both filters and the LCS test
  // for queries[i], except those of length at most max_flex, which the
  // caller measures itself (each_accepted_outright). The distance is
  // measured on the layout's own copy of each reference, and positions are
  // fetched only for the nearest. Returns false, writing nothing, for the
  // hashed layout. Whether the guard trips is the caller's to ask first.
  bool nearest(std::span<const Text* const> queries, std::span<NearestSummary> out) const;
  // Each reference of length at most max_flex that passes both filters
  // for this query (accepted whatever it holds), in increasing position
  // within one length and A-count.
  void each_accepted_outright(const Text& query, FunctionRef<void(size_t)> visit) const;

  // Visits, each once and in increasing position, a superset of the
  // references that pass both filters for this query and whose LCS with it
  // is at least Lr - max_flex (references of length at most max_flex
  // included: their test always passes). Returns true when the visited
  // references are exactly those (the packed layout: nothing to verify),
  // false when some may fail the LCS test (the hashed layout: the caller
  // measures each). Whether a visited reference trips the tolerance guard
  // is the caller's to check; see guard_tripped.
  bool for_each_candidate(const Text& query, FunctionRef<void(size_t position)> visit) const;

  // Whether ANY reference passing both filters for this query trips the
  // tolerance guard (max_flex > min(Lq, Lr)), wherever it is in the list.
  bool guard_tripped(const Text& query) const;

  // Whether this one query would look up so many variants that scanning it
  // is cheaper (a query much longer than the references with a large k, for
  // instance). Advisory: first_decisive is exact either way.
  bool prefers_scan(const Text& query) const;
  // Where the index expects many references to pass for a query (a query
  // longer than the references against a dense list: an 18-letter one
  // against millions of 16-letter barcodes makes over a thousand lookups
  // and finds hundreds of references), the first of them lies early in the
  // list, and scanning the list's head finds it for less than the lookups
  // cost. How many references to scan first (0: none). Advisory: a head
  // scanned in vain leaves the first decisive reference beyond it, where
  // first_decisive finds it.
  size_t scan_head(const Text& query) const;
  // Whether this query makes few enough lookups to be answered in a window
  // with others (the window runs between two check-ins, so Ctrl+C stays
  // prompt): at most window_lookups_most, by the binomial bound.
  static constexpr double window_lookups_most = 4096;
  bool fits_a_window(const Text& query) const;

  // The whole state as named sections (storage/sections.hpp); load borrows
  // the arrays from the source, checks what is small (scalars, the packed
  // layout's groups, every array's size) against `references` (those the
  // index was built over, in the same order) and their table `facts`
  // (already checked, and borrowed as by build), and throws
  // IndexFormatError naming what is wrong. The arrays' contents are not
  // checked, in time proportional to them, but bounded where a lookup reads
  // them: whatever the source holds, a loaded index never reads out of
  // range nor names a position past the list. From a damaged source it may
  // miss references, name ones that fail the filters or the LCS test (the
  // caller checks the filters again before its LCS test), or read many
  // postings per lookup. The checks run on up to `threads` threads; the
  // calling thread charges its share to `charge`, which may throw to end
  // the load (the others are joined first).
  void save(SectionSink& sink) const;
  static std::unique_ptr<CandidateIndex> load(
      SectionSource& source, std::span<const Text> references, const ReferenceFacts& facts, unsigned threads = 1,
      FunctionRef<void(size_t)> charge = [](size_t) {});

  // Copies the arrays a load borrowed from its source (a mapped file) into
  // memory of the process's own, in huge pages where the kernel gives them:
  // a random lookup then misses the TLB far less often (a mapped file is in
  // 4 KiB pages), at the cost of a private copy per process instead of
  // pages shared by every process that maps the file. The source may go
  // after. Throws std::bad_alloc.
  void copy_borrowed() {
    packed_layout_.copy_borrowed();
    hashed_.copy_borrowed();
  }

  // The packed layout's posting tables with their entries split or packed
  // (index/block_table.hpp), the same answers: for benchmarks comparing
  // the two searches. Throws std::bad_alloc.
  void relay_postings(bool split) {
    if (packed_) packed_layout_ = packed_layout_.relaid(split);
  }

  size_t memory_bytes() const noexcept;
  size_t entry_count() const noexcept { return packed_ ? packed_layout_.posting_count() : hashed_.entry_count(); }
  bool packed() const noexcept { return packed_; }
  size_t max_flex() const noexcept { return max_flex_; }

 private:
  CandidateIndex(const ReferenceFacts& facts, size_t max_flex, bool packed);

  const ReferenceFacts* facts_ = nullptr;  // borrowed: the references' one table
  size_t max_flex_ = 0;
  size_t reference_count_ = 0;
  double scan_seconds_per_query_ = 0;  // estimated, for prefers_scan
  double hits_per_lookup_ = 0;         // references a packed lookup finds, about, for scan_head
  bool packed_ = false;
  ShortTable short_;
  HashedLayout hashed_;
  PackedLayout packed_layout_;
};

// How much memory one call may give its index: half of what the process
// can still take (support/machine.hpp: the system's available memory, and
// its cgroup's limit less its usage), and never more than 1 GiB where
// addresses are 32-bit.
size_t index_memory_budget();

}  // namespace mendseqs
