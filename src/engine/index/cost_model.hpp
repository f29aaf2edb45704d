// The cost model's estimates, shared by the plan and the per-query advice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mendseqs {

// Estimated costs on one core, from the engine benchmark (bench/index_bench).
namespace costs {
inline constexpr double seconds_per_lookup = 80e-9;
inline constexpr double seconds_per_probe = 50e-9;                // a found posting's code mapped to its positions
inline constexpr double seconds_per_scanned_character = 0.03e-9;  // about 0.5 ns for a 16-letter reference
}  // namespace costs

// Variants looked up by a query of this length: for each indexed length Lr
// within max_flex, the (Lq - Lr + k)-deletions of the query. `lengths`:
// the distinct reference lengths, ascending; those up to max_flex are not
// indexed and count for nothing.
double lookups_for_length(const std::vector<uint32_t>& lengths, size_t max_flex, size_t query_length);

}  // namespace mendseqs
