// The hashed layout: every k-deletion variant of every reference longer
// than k, keyed by (variant, Lr) through a 64-bit hash, for any alphabet.
// Only part of a key is stored, so a hit is a candidate, never an answer:
// the filters are checked here and the LCS by the caller's exact test.
//
// Flat arrays: bucket offsets; 32-bit entries holding a position and spare
// hash bits; a 16-bit tag per entry, compared four at a time. Filled by
// counting sort in two passes over the references, so building needs no
// memory beyond the index itself and the entries of a bucket are in
// increasing position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/text.hpp"
#include "storage/large_array.hpp"
#include "storage/reference_facts.hpp"
#include "storage/sections.hpp"
#include "support/function_ref.hpp"

namespace mendseqs {

class HashedLayout {
 public:
  // Keys per bucket the build aims at.
  static constexpr double variants_per_bucket = 4;

  // The filters read the references' table (`facts`, narrow), which the
  // caller keeps and passes to every lookup.
  HashedLayout() = default;
  HashedLayout(std::span<const Text> references, const ReferenceFacts& facts, size_t max_flex, double variant_bound,
               unsigned threads, FunctionRef<void(size_t)> charge);

  // The lowest position below `limit` that passes both filters and that
  // `accepts`, asked in increasing position, the caller's exact LCS test.
  std::optional<size_t> first_accepted(const Text& query, size_t query_a_count, size_t limit,
                                       const ReferenceFacts& facts, FunctionRef<bool(size_t)> accepts) const;
  // Every position that passes both filters and shares a key with the
  // query (a superset of those whose LCS passes), in no order, maybe twice.
  void each_candidate(const Text& query, size_t query_a_count, const ReferenceFacts& facts,
                      FunctionRef<void(size_t)> found) const;

  void save(SectionSink& sink) const;
  // Checks the arrays' sizes; their contents are bounded where a lookup
  // reads them (index/bounded.hpp). (`threads` and `charge` are for checks
  // that take a pass; there are none now.)
  static HashedLayout load(
      SectionSource& source, const ReferenceFacts& facts, size_t max_flex, unsigned threads = 1,
      FunctionRef<void(size_t)> charge = [](size_t) {});

  size_t memory_bytes() const noexcept { return offsets_.bytes() + entries_.bytes() + tags_.bytes(); }
  // As PackedLayout::copy_borrowed.
  void copy_borrowed() {
    if (offsets_.borrowed()) offsets_ = offsets_.copy();
    if (entries_.borrowed()) entries_ = entries_.copy();
    if (tags_.borrowed()) tags_ = tags_.copy();
  }
  size_t entry_count() const noexcept { return entries_.size(); }

 private:
  struct Lookup;
  size_t bucket_of(uint64_t key) const noexcept {
    return static_cast<size_t>(((key >> 32) * static_cast<uint64_t>(bucket_count_)) >> 32);
  }
  void lookups_of(const Text& query, const ReferenceFacts& facts, std::vector<Lookup>& lookups) const;
  template <class F>
  void each_match(const Lookup& lookup, size_t query_a_count, const ReferenceFacts& facts, F&& found) const;

  size_t max_flex_ = 0;
  uint32_t position_mask_ = 0;  // entry bits holding the position; the rest are hash bits
  size_t bucket_count_ = 0;
  LargeArray<uint32_t> offsets_;  // bucket b holds entries_[offsets_[b], offsets_[b + 1])
  LargeArray<uint32_t> entries_;
  LargeArray<uint16_t> tags_;  // more of each entry's key, scanned before the entry is read
};

}  // namespace mendseqs
