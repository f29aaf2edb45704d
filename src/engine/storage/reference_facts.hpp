// What every part of matching knows of each reference, kept once: its
// length and its count of 'A', in code points.
//
// The reference set's filters, the block filter and the candidate index's
// lookups all read this one table; none keeps a copy. Two 32-bit numbers a
// reference, with max_block_span unused entries after the last, so that the
// block filter can read the 64 entries from any reference on (the matcher
// masks off those past its block). A list with a reference of 2^32 - 1
// code points or more (64-bit hosts only) keeps 64-bit numbers instead, and
// gets neither the block filter nor an index.
//
// Built by counting; a loaded list's saved counts are checked against
// their texts in that same pass, once, whatever reads the table afterwards.
// Everything that reads it borrows it: the reference set owns the one
// table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/text.hpp"
#include "kernels/block_filter.hpp"
#include "kernels/block_layout.hpp"
#include "storage/sections.hpp"
#include "support/function_ref.hpp"

namespace mendseqs {

class ReferenceFacts {
 public:
  ReferenceFacts() = default;
  // Counted from `texts` on up to `threads` threads; the calling thread
  // charges its share to `charge`, which may throw to end the work.
  explicit ReferenceFacts(
      std::span<const Text> texts, unsigned threads = 1, FunctionRef<void(size_t)> charge = [](size_t) {});
  // The A-counts saved with a list whose texts are `texts`, each checked
  // against its text; throws IndexFormatError when one is not its count.
  ReferenceFacts(
      std::span<const Text> texts, SectionSource& source, unsigned threads = 1,
      FunctionRef<void(size_t)> charge = [](size_t) {});
  void save(SectionSink& sink) const;

  size_t size() const noexcept { return size_; }
  size_t length(size_t i) const noexcept { return narrow() ? size_t{lengths_[i]} : static_cast<size_t>(wide_[2 * i]); }
  size_t a_count(size_t i) const noexcept {
    return narrow() ? size_t{a_counts_[i]} : static_cast<size_t>(wide_[2 * i + 1]);
  }

  // Every length below 2^32 - 1: the table is the 32-bit arrays (the index
  // needs this form).
  bool narrow() const noexcept { return wide_.empty(); }
  std::span<const uint32_t> lengths() const noexcept { return {lengths_.data(), narrow() ? size_ : 0}; }
  std::span<const uint32_t> a_counts() const noexcept { return {a_counts_.data(), narrow() ? size_ : 0}; }
  // The lengths the references have, each once, ascending (narrow only).
  const std::vector<uint32_t>& distinct_lengths() const noexcept { return distinct_lengths_; }

  // Every length below int32_filter_limit: the block filter may read the
  // arrays as its 32-bit entries, max_block_span of them from `first` on.
  bool fit_block_filter() const noexcept { return narrow() && max_length_ < size_t{int32_filter_limit}; }
  const int32_t* filter_lengths(size_t first) const noexcept { return as_filter_entries(lengths_.data() + first); }
  const int32_t* filter_a_counts(size_t first) const noexcept { return as_filter_entries(a_counts_.data() + first); }

  size_t memory_bytes() const noexcept {
    return 4 * (lengths_.capacity() + a_counts_.capacity() + distinct_lengths_.capacity()) + 8 * wide_.capacity();
  }

 private:
  // Counts the texts, each checked against its saved A-count, if any.
  struct Saved {
    const uint64_t* a_counts;  // one per text, or null
  };
  ReferenceFacts(std::span<const Text> texts, Saved saved, unsigned threads, FunctionRef<void(size_t)> charge);
  static const uint64_t* saved_a_counts(SectionSource& source, size_t size);

  // Signed and unsigned forms of one type may alias; below the limit the
  // values read the same either way, and the padding is unused_filter_entry.
  static const int32_t* as_filter_entries(const uint32_t* entries) noexcept {
    return reinterpret_cast<const int32_t*>(entries);
  }

  size_t size_ = 0;
  size_t max_length_ = 0;
  std::vector<uint32_t> lengths_;   // size_ + max_block_span entries when narrow
  std::vector<uint32_t> a_counts_;  // likewise
  std::vector<uint64_t> wide_;      // length, A-count, per reference, when not narrow
  std::vector<uint32_t> distinct_lengths_;
};

}  // namespace mendseqs
