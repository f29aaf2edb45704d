// The nearest of some accepted references, and the one rule for ties: the
// smallest distance wins, and among equals the lowest position; how many
// share that distance, and the smallest distance above it, say how clear
// the choice is. The scan (match/) adds references one by one; the packed
// index (index/) summarises the codes it found, and the two summaries of
// one query are merged: in any order, and split in any way, the same.
#pragma once

#include <algorithm>
#include <cstddef>

#include "engine/match_result.hpp"

namespace mendseqs {

struct NearestSummary {
  size_t position = no_match;     // the lowest at `distance`
  size_t distance = no_distance;  // the smallest
  size_t ties = 0;                // references at `distance`; 0 for none at all
  size_t next = no_distance;      // the smallest distance above `distance`

  void add(size_t at, size_t distance_at) noexcept { merge(NearestSummary{at, distance_at, 1, no_distance}); }

  // The summary of both sets together.
  void merge(const NearestSummary& other) noexcept {
    if (other.distance < distance) {
      next = std::min(distance, other.next);
      position = other.position;
      distance = other.distance;
      ties = other.ties;
    } else if (other.distance == distance) {
      if (other.ties == 0) return;
      position = std::min(position, other.position);
      ties += other.ties;
      next = std::min(next, other.next);
    } else {
      next = std::min(next, other.distance);
    }
  }

  // As the caller sees it: the runner-up is the next distance, or the
  // same one when it is shared.
  NearestMatch result() const noexcept {
    if (ties == 0) return NearestMatch{};
    return NearestMatch{position, distance, ties > 1 ? distance : next, ties};
  }

  bool operator==(const NearestSummary&) const = default;
};

}  // namespace mendseqs
