// The parallel path: the queries cut into contiguous chunks, one worker
// thread per chunk, results joined back in chunk order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "match/matcher.hpp"
#include "engine/progress.hpp"
#include "engine/sequence.hpp"

namespace mendseqs {

// Counts of queries are size_t, as the list's own size is: with a 32-bit
// size_t a 64-bit count would only have to be narrowed again at every use.
struct ChunkPlan {
  size_t chunk_size;       // ceil(n / threads), exact for every thread count
  size_t workers;          // non-empty chunks: ceil(n / chunk_size), at most threads
  uint32_t progress_step;  // max(threads * floor(chunk_size / 50), 1)
};

ChunkPlan plan_chunks(size_t queries, uint32_t threads) noexcept;

// Stack size of a worker: MENDSEQS_MIN_STACK in bytes when set, else 2 MiB;
// never below the platform's minimum.
size_t worker_stack_size() noexcept;

// Matches every query on worker threads and returns the results in query
// order. Worker m writes a mark before its query i when (m + i) is a
// multiple of the progress step, so marks are spread over all workers.
// A failed worker fails the call when it is reached in join order; the
// workers after it are detached and left to finish on their own, so `out`
// must outlive the call (standard_output() does).
SequenceList correct_in_parallel(std::shared_ptr<const ReferenceSet> references,
                                 const SequenceList& queries, intptr_t max_flex,
                                 uint32_t threads, OutputStream& out);

}  // namespace mendseqs
