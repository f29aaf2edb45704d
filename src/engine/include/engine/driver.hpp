// The batch driver: the body of correct_seq_mt once its arguments are native
// values. Prints the banner, matches every query (in this thread, or spread
// over worker threads), prints the progress marks and the line end, and
// returns one corrected sequence per query in query order.
#pragma once

#include <cstdint>

#include "engine/progress.hpp"
#include "engine/sequence.hpp"

namespace mendseqs {

// threads 0 does no work and returns an empty list; 1 works in the calling
// thread; 2 or more cuts the queries into one contiguous chunk per worker.
// Fails (Panic) on the matcher's tolerance guard, a failed write to `out` or
// a failed worker; nothing partial is returned.
SequenceList correct_seq_mt(SequenceList ref_seqs, SequenceList query_seqs, intptr_t max_flex,
                            uint32_t threads, OutputStream& out = standard_output());

}  // namespace mendseqs
