// The batch driver: the body of correct_seq_mt once its arguments are native
// values. Prints the banner, matches every query (in this thread, or spread
// over worker threads), prints the progress marks and the line end, and
// returns, per query in query order, the position of the reference it is
// corrected to. The progress display goes to file descriptor 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/host.hpp"
#include "engine/match_result.hpp"
#include "engine/text.hpp"

namespace mendseqs {

// threads 0 does no work and returns an empty list; 1 works in the calling
// thread; 2 or more cuts the queries into one contiguous chunk per worker.
// The texts are read in place and must stay alive and unchanged until the
// call returns; every worker has ended by then, whatever happened.
// Fails (Panic) on the matcher's tolerance guard, a failed write to `out` or
// a failed worker; exhausted memory throws std::bad_alloc; Interrupted from
// `caller` passes through. Nothing partial is returned.
std::vector<Position> correct_seq_mt(std::span<const Text> references, std::span<const Text> queries, intptr_t max_flex,
                                     uint32_t threads, CallerHooks& caller);

// The same batch, answered with the nearest accepted reference instead of
// the first: every reference that passes both filters is examined, so any
// of them tripping the tolerance guard fails the call (not only one before
// the first accepted, as in correct_seq_mt). The same progress bytes, the
// same cancellation and the same failures as correct_seq_mt, except that a
// Panic in a worker keeps its own message (the guard's, say) where
// correct_seq_mt raises its legacy wrapping.
std::vector<NearestMatch> nearest(std::span<const Text> references, std::span<const Text> queries, intptr_t max_flex,
                                  uint32_t threads, CallerHooks& caller);

}  // namespace mendseqs
