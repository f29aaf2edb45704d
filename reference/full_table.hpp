// The matcher as first written down, kept once: for each reference in list
// order, the two cheap filters, the tolerance guard, then the full
// (Lq + 1) x (Lr + 1) LCS table, built anew for every candidate. Slow and
// obviously right; every faster kernel is checked against it (engine tests,
// fuzzing), and the benchmark times it as the naive baseline.
//
// Plain C++ over code points (mendseqs::Text, 1, 2 or 4 bytes each), with
// nothing of the engine but that view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "engine/text.hpp"

namespace mendseqs::reference {

size_t lcs_length(const Text& query, const Text& reference);
size_t count_a(const Text& text);

// Both filters: lengths and A-counts each differ by at most max_flex.
bool passes_filters(intptr_t query_length, intptr_t query_a_count, intptr_t length, intptr_t a_count,
                    intptr_t max_flex);
// The guard, for a reference that passed both filters.
bool trips_guard(intptr_t query_length, intptr_t length, intptr_t max_flex);

struct Selection {
  enum class Outcome { accepted, none, guard_tripped } outcome;
  size_t index = 0;  // the accepted reference, for Outcome::accepted
};

Selection select(std::span<const Text> references, const Text& query, intptr_t max_flex);

// Every reference scored: the accepted one at the smallest indel distance
// (Lq + Lr - 2 * LCS), the earliest among equals; the smallest distance of
// the other accepted ones; how many share the smallest. Any reference that
// passes both filters and trips the guard gives guard_tripped.
struct NearestSelection {
  Selection::Outcome outcome;
  size_t index = 0;  // for Outcome::accepted, as the three below
  size_t distance = 0;
  std::optional<size_t> runner_up;
  size_t ties = 0;
};

NearestSelection select_nearest(std::span<const Text> references, const Text& query, intptr_t max_flex);

}  // namespace mendseqs::reference
