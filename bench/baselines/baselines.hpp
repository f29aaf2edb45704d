// The two loops the benchmark measures the module against. Both select
// exactly as the module does (length filter, A-count filter, guard, LCS
// threshold, first accepted reference wins) and both are benchmark code
// only: nothing here ships.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace baselines {

using Strings = std::vector<std::string>;

// Thrown where the module's tolerance guard fires.
struct GuardTripped : std::runtime_error {
  GuardTripped() : std::runtime_error("max_flex cannot be greater than the length of the sequences.") {}
};

// The straightforward algorithm (reference/full_table.hpp): the sequences
// unpacked into code point arrays once per call, then per candidate a full
// (Lq + 1) x (Lr + 1) table, one array per row; nothing else reused.
Strings correct_naive(const Strings& references, const Strings& queries, intptr_t max_flex);

// The same loop with a general-purpose library kernel: the query cached once
// (rapidfuzz::CachedLCSseq), each candidate scored with the acceptance
// threshold as score_cutoff; lengths and A-counts computed once per call.
// Byte-wise, so meant for ASCII input, which is all the benchmark uses.
Strings correct_rapidfuzz(const Strings& references, const Strings& queries, intptr_t max_flex);

// The nearest accepted reference the same way: every reference scored with
// CachedLCSseq (the threshold as score_cutoff: a score that reaches it is
// the exact LCS), then the smallest indel distance, the earliest among
// equals, the runner-up's distance and the ties. index -1: none.
struct NearestFound {
  intptr_t index = -1;
  intptr_t distance = -1;
  intptr_t runner_up = -1;  // -1: none
  intptr_t ties = 0;
};
std::vector<NearestFound> nearest_rapidfuzz(const Strings& references, const Strings& queries, intptr_t max_flex);

// How many references each query accepts (both filters and the LCS test),
// every reference scored; the guard is not tested.
std::vector<size_t> accepted_counts(const Strings& references, const Strings& queries, intptr_t max_flex);

}  // namespace baselines
