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

}  // namespace baselines
