// The parallel path: the queries cut into contiguous chunks, one worker
// thread per chunk, each writing its chunk's results in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "batch/progress.hpp"
#include "support/checkpoint.hpp"
#include "support/function_ref.hpp"

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

// One query's work, whatever the batch computes: query `q` of the batch,
// charged to the checkpoint of the thread that runs it. It writes its own
// result (each query's slot belongs to one worker) and may throw to fail
// the call.
using QueryAction = FunctionRef<void(size_t q, Checkpoint& checkpoint)>;
// Work done ahead for a window of queries [begin, end) before the action
// runs for each of them (answers found for many queries at once, say): it
// writes only their slots and must not fail for a query whose action would
// (the action raises that in its turn, after the same marks).
using WindowAction = FunctionRef<void(size_t begin, size_t end, Checkpoint& checkpoint)>;
// Queries per window: enough to keep many loads in flight, few enough that
// what they fetch stays in cache until it is used.
inline constexpr size_t window_queries = 16;

// What the caller sees of a worker's failure (Panic). correct_seq_mt has
// always wrapped it in a message of its own, which its callers match on
// (docs/compatibility.md); the newer calls pass the failure on as raised,
// the guard's own message say, as the serial path does.
enum class WorkerPanics { wrapped, as_raised };

// Runs the action for every query on worker threads, each worker's queries
// taken window by window (ahead(begin, end) first, then the action for
// each query of the window).
// Worker m writes a mark before its query i when (m + i) is a multiple of
// the progress step, so marks are spread over all workers.
//
// While the workers run, the calling thread lets `caller` check in every
// few tens of milliseconds, and lets go of its lock while a worker waits on
// output that cannot proceed. When a worker fails, or the caller is
// interrupted, the others are cancelled; every worker has ended before this
// returns or throws. The failure raised is that of the lowest-numbered
// chunk that failed (a cancelled chunk has not failed), a Panic as
// `panics` says.
void run_in_parallel(
    size_t query_count, uint32_t threads, OutputStream& out, CallerHooks& caller, QueryAction action,
    WorkerPanics panics = WorkerPanics::wrapped, WindowAction ahead = [](size_t, size_t, Checkpoint&) {});

}  // namespace mendseqs
