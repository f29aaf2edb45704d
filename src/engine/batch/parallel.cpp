#include "batch/parallel.hpp"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <variant>
#include <vector>

#include "engine/failure.hpp"
#include "engine/io_error.hpp"
#include "engine/messages.hpp"  // frozen texts: docs/compatibility.md
#include "engine/panic.hpp"
#include "support/fork_join.hpp"

namespace mendseqs {
namespace {

constexpr size_t default_stack_size = 2 * 1024 * 1024;
// How often the waiting caller looks at its workers: whether one waits on
// output, whether its host is due to check in.
constexpr std::chrono::milliseconds wait_slice{5};

struct Finished {};
using ChunkEnding = std::variant<std::monostate, Finished, Cancelled, Failure>;

// What the workers of one call share: the per-query action, the cancel
// flag, and the count of workers still running.
struct SharedCall {
  SharedCall(QueryAction action, WindowAction ahead, uint32_t progress_step, OutputStream& out)
      : action(action), ahead(ahead), progress_step(progress_step), out(out) {}

  QueryAction action;
  WindowAction ahead;
  uint32_t progress_step;
  OutputStream& out;
  std::atomic<bool> cancelled{false};
  std::mutex mutex;
  std::condition_variable changed;
  size_t running = 0;
};

// One chunk: queries begin .. begin + size - 1, whose results the action
// writes in place. `ending` is written by the worker and read by the caller
// after the join, which orders it after everything the worker wrote.
struct Chunk {
  SharedCall* call;
  uint32_t index;
  size_t begin;
  size_t size;
  ChunkEnding ending;
};

void correct_chunk(Chunk& chunk, Checkpoint& checkpoint) {
  SharedCall& call = *chunk.call;
  uint32_t counter = chunk.index;
  for (size_t q = 0; q < chunk.size; ++q) {
    if (q % window_queries == 0)
      call.ahead(chunk.begin + q, chunk.begin + std::min(chunk.size, q + window_queries), checkpoint);
    if (counter % call.progress_step == 0) call.out.print_flushed(progress_mark, checkpoint);
    call.action(chunk.begin + q, checkpoint);
    ++counter;
    checkpoint.charge(1);
  }
}

// Thread body. A failure cancels the other chunks; it was reported where it
// arose, except where failure_of_current_exception reports it.
void* run_worker(void* argument) {
  Chunk& chunk = *static_cast<Chunk*>(argument);
  SharedCall& call = *chunk.call;
  mark_thread_unnamed();
  Checkpoint checkpoint(call.cancelled);
  try {
    correct_chunk(chunk, checkpoint);
    chunk.ending = Finished{};
  } catch (const Cancelled&) {
    chunk.ending = Cancelled{};
  } catch (...) {
    chunk.ending = failure_of_current_exception();
    call.cancelled.store(true, std::memory_order_relaxed);
  }
  std::lock_guard lock(call.mutex);
  --call.running;
  call.changed.notify_all();
  return nullptr;
}

// The started workers of one call. However the call leaves, they are
// cancelled and joined before the chunks they write go away: no worker
// outlives its call, and no mark follows the call's return. A worker that
// cannot start is the fork-join helper's one rule: Panic, the others
// cancelled and joined first.
class Workers {
 public:
  Workers(SharedCall& call, size_t stack_size) : call_(call), group_(stack_size) {}
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
  ~Workers() {
    call_.cancelled.store(true, std::memory_order_relaxed);
    join_all();
  }

  void start(Chunk& chunk) {
    {
      std::lock_guard lock(call_.mutex);
      ++call_.running;
    }
    try {
      group_.start(run_worker, &chunk);
    } catch (...) {
      std::lock_guard lock(call_.mutex);
      --call_.running;
      throw;
    }
  }

  // Every worker exits within a slice of its cancellation (it looks up
  // every few thousand characters, and every few milliseconds while its
  // output is blocked), so this join needs no lock released.
  void join_all() noexcept { group_.join_all(); }

 private:
  SharedCall& call_;
  ThreadGroup group_;
};

// The caller's side of the wait. The host's lock stays held, except while
// a worker waits on output that cannot proceed: the output's reader may be
// a thread of the caller's own process that needs that lock.
void wait_for_workers(SharedCall& call, CallerHooks& caller) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point last_check_in = Clock::now();
  bool released = false;
  for (;;) {
    bool all_ended;
    {
      std::unique_lock lock(call.mutex);
      all_ended = call.changed.wait_for(lock, wait_slice, [&] { return call.running == 0; });
    }
    const bool output_blocked = call.out.waiting_workers() > 0;
    const bool check_in_due = Clock::now() - last_check_in >= check_in_interval;
    if (released && (all_ended || !output_blocked || check_in_due)) {
      caller.reacquire_lock();
      released = false;
    }
    if (all_ended) return;
    if (check_in_due) {
      last_check_in = Clock::now();
      caller.check_in();  // may throw Interrupted: the workers are then cancelled
    }
    if (output_blocked && !released) {
      caller.release_lock();
      released = true;
    }
  }
}

// The ending of the lowest-numbered chunk that failed, carried on here.
void raise_first_failure(const std::vector<Chunk>& chunks) {
  for (const Chunk& chunk : chunks) {
    const auto* failure = std::get_if<Failure>(&chunk.ending);
    if (!failure) continue;
    if (std::holds_alternative<Panicked>(*failure)) panic(std::string(messages::worker_failed));
    rethrow(*failure);
  }
}

std::vector<Chunk> cut_chunks(SharedCall& call, size_t query_count, const ChunkPlan& plan) {
  std::vector<Chunk> chunks;
  chunks.reserve(plan.workers);
  // begin + chunk_size is never formed, so no sum can wrap.
  for (size_t begin = 0, size = 0; begin < query_count; begin += size) {
    size = std::min(plan.chunk_size, query_count - begin);
    chunks.push_back(Chunk{&call, static_cast<uint32_t>(chunks.size()), begin, size, std::monostate{}});
  }
  return chunks;
}

}  // namespace

ChunkPlan plan_chunks(size_t queries, uint32_t threads) noexcept {
  ChunkPlan plan{};
  if (queries == 0 || threads == 0) return ChunkPlan{0, 0, 1};
  // Division first: queries + threads - 1 could overflow.
  plan.chunk_size = queries / threads + (queries % threads != 0);
  plan.workers = queries / plan.chunk_size + (queries % plan.chunk_size != 0);
  const uint64_t step = uint64_t{threads} * (plan.chunk_size / 50);
  plan.progress_step = static_cast<uint32_t>(std::clamp<uint64_t>(step, 1, std::numeric_limits<uint32_t>::max()));
  return plan;
}

size_t worker_stack_size() noexcept {
  size_t size = default_stack_size;
  const char* requested = std::getenv("MENDSEQS_MIN_STACK");
  // Digits only: strtoull would take "-5" as a huge count.
  if (requested && *requested >= '0' && *requested <= '9') {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(requested, &end, 10);
    if (*end == '\0')
      size = static_cast<size_t>(std::min<unsigned long long>(value, std::numeric_limits<size_t>::max()));
  }
  return std::max<size_t>(size, PTHREAD_STACK_MIN);
}

void run_in_parallel(size_t query_count, uint32_t threads, OutputStream& out, CallerHooks& caller, QueryAction action,
                     WindowAction ahead) {
  const ChunkPlan plan = plan_chunks(query_count, threads);
  SharedCall call{action, ahead, plan.progress_step, out};
  std::vector<Chunk> chunks = cut_chunks(call, query_count, plan);

  {
    Workers workers(call, worker_stack_size());  // declared after the chunks: joined before they go
    for (Chunk& chunk : chunks) workers.start(chunk);
    wait_for_workers(call, caller);
    workers.join_all();
  }
  raise_first_failure(chunks);
}

}  // namespace mendseqs
