// References too short for the layouts to decide alone.
//
// References of length at most k never need an LCS: passing the filters,
// they either trip the tolerance guard (Lr < k, or a query shorter than k)
// or are accepted outright (Lr == k, since Lr - k <= 0). They, and the
// references short enough to trip the guard for a short query (Lr < 2k),
// sit in this table: their positions, sorted by (length, A-count,
// position), the lengths and A-counts read from the references' own table
// (storage/reference_facts.hpp), which it borrows. Derived from the
// references alone, so a loaded index rebuilds it instead of saving it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/text.hpp"
#include "storage/reference_facts.hpp"
#include "support/function_ref.hpp"

namespace mendseqs {

// What decides a query: the lowest position that passes both filters and
// either trips the tolerance guard or is accepted.
struct Decision {
  size_t position;
  bool guard;  // the reference at `position` trips the guard: the call fails

  bool operator==(const Decision&) const = default;
};

class ShortTable {
 public:
  ShortTable() = default;
  // `facts` (narrow) must outlive the table.
  ShortTable(const ReferenceFacts& facts, size_t max_flex);

  // The lowest position among the table's references that pass both
  // filters and trip the guard or are accepted outright.
  std::optional<Decision> first(size_t query_length, size_t query_a_count) const;
  // Whether any reference passing both filters trips the guard.
  bool guard_tripped(size_t query_length, size_t query_a_count) const;
  // Each reference of length at most k passing both filters (their LCS
  // test always passes), in increasing position within one (length,
  // A-count) pair.
  void each_accepted_outright(size_t query_length, size_t query_a_count, FunctionRef<void(size_t)> visit) const;

  size_t memory_bytes() const noexcept { return positions_.capacity() * sizeof(uint32_t); }

 private:
  using Iterator = std::vector<uint32_t>::const_iterator;
  template <class F>
  void each_pair(size_t query_length, size_t query_a_count, F&& f) const;
  uint32_t length(uint32_t position) const noexcept { return facts_->lengths()[position]; }
  uint32_t a_count(uint32_t position) const noexcept { return facts_->a_counts()[position]; }

  const ReferenceFacts* facts_ = nullptr;
  size_t max_flex_ = 0;
  std::vector<uint32_t> positions_;
};

}  // namespace mendseqs
