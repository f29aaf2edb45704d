// What matching one query comes to: a position in the reference list, or
// the nearest accepted reference with what tells how clear the choice is.
// Plain values, shared by the walk of one query (match/) and the batch that
// returns them, so the walk needs to know nothing of the batch.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mendseqs {

using Position = size_t;
inline constexpr Position no_match = SIZE_MAX;

// Distances are indel distances, Lq + Lr - 2 * LCS.
inline constexpr size_t no_distance = SIZE_MAX;
struct NearestMatch {
  Position position = no_match;    // smallest distance, earliest among equals
  size_t distance = no_distance;   // its distance; no_distance when none
  size_t runner_up = no_distance;  // smallest distance of the other accepted references
  size_t ties = 0;                 // accepted references at `distance`

  bool operator==(const NearestMatch&) const = default;
};

}  // namespace mendseqs
