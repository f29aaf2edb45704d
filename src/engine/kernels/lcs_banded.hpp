// Whether a query and a reference have a common subsequence of at least
// Lr - max_flex characters: the acceptance test, answered without always
// computing the LCS in full.
//
// Any alignment with that many matches leaves at most max_flex reference
// characters and Lq - Lr + max_flex query characters unmatched, so it stays
// within a diagonal band of the table; only the machine words of the bit
// vector that meet the band are advanced. Every 64 reference characters the
// matches found so far plus the characters still to come bound the result
// from above, and the test stops as soon as it is decided either way.
#pragma once

#include <cstdint>

#include "engine/text.hpp"
#include "kernels/lcs.hpp"
#include "support/checkpoint.hpp"

namespace mendseqs {

// Requires 0 <= max_flex < reference.length() (so that at least one match
// is needed) and |query.length() - reference.length()| <= max_flex, which
// the length filter and the tolerance guard have established. The work is
// charged to `checkpoint` as it goes, so a long comparison can be stopped.
bool lcs_reaches(const QueryPattern& query, const Text& reference, intptr_t max_flex, Checkpoint& checkpoint);

// The LCS itself whenever it is at least Lr - max_flex (then an optimal
// alignment lies inside the band); otherwise some smaller count, below
// Lr - max_flex, found without reading further than needed to know it.
// Requires 0 <= max_flex <= min(Lq, Lr) and |Lq - Lr| <= max_flex: the
// filters passed and the guard not tripped (Lr == max_flex is allowed: every
// alignment then lies in the band, and the value is always exact).
size_t lcs_in_band(const QueryPattern& query, const Text& reference, intptr_t max_flex, Checkpoint& checkpoint);

}  // namespace mendseqs
