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

// Lets go of the host's lock while a worker of the call waits on output
// that cannot proceed, and takes it back otherwise: the output's reader may
// be a thread of the caller's own process that needs that lock. Whatever
// happens, the lock is held again when this goes.
class LockWhileOutputBlocked {
 public:
  explicit LockWhileOutputBlocked(CallerHooks& caller) noexcept : caller_(caller) {}
  ~LockWhileOutputBlocked() { hold(); }
  LockWhileOutputBlocked(const LockWhileOutputBlocked&) = delete;
  LockWhileOutputBlocked& operator=(const LockWhileOutputBlocked&) = delete;

  void follow(const OutputStream& out) noexcept {
    if (out.waiting_workers() > 0)
      let_go();
    else
      hold();
  }
  void hold() noexcept {
    if (released_) caller_.reacquire_lock();
    released_ = false;
  }
  void let_go() noexcept {
    if (!released_) caller_.release_lock();
    released_ = true;
  }
  bool released() const noexcept { return released_; }

 private:
  CallerHooks& caller_;
  bool released_ = false;
};

// The started workers of one call. However the call leaves, they are
// cancelled and joined before the chunks they write go away: no worker
// outlives its call, and no mark follows the call's return. A worker that
// cannot start is the fork-join helper's one rule: Panic, the others
// cancelled and joined first.
class Workers {
 public:
  Workers(SharedCall& call, CallerHooks& caller, size_t stack_size)
      : call_(call), caller_(caller), group_(stack_size) {}
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

  // A cancelled worker exits within a slice (it looks up every few
  // thousand characters, and every few milliseconds while its output is
  // blocked), except from inside a write() that blocked after its poll
  // found room: that one ends only when the output's reader drains. The
  // join is so taken in slices, with the host's lock let go while any
  // worker waits on output, as while the call ran: a reader that needs the
  // lock (a thread of this process) would otherwise never drain, and the
  // join never return. Called with the host's lock held, also while an
  // interruption leaves the call; returns with it held.
  void join_all() noexcept {
    {
      LockWhileOutputBlocked host(caller_);
      std::unique_lock lock(call_.mutex);
      while (!call_.changed.wait_for(lock, wait_slice, [&] { return call_.running == 0; })) {
        lock.unlock();
        host.follow(call_.out);
        lock.lock();
      }
    }
    group_.join_all();  // each has left its body: no wait on anyone
  }

 private:
  SharedCall& call_;
  CallerHooks& caller_;
  ThreadGroup group_;
};

// The caller's side of the wait. The host's lock stays held, except while
// a worker waits on output that cannot proceed: the output's reader may be
// a thread of the caller's own process that needs that lock.
void wait_for_workers(SharedCall& call, CallerHooks& caller) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point last_check_in = Clock::now();
  LockWhileOutputBlocked host(caller);
  for (;;) {
    bool all_ended;
    {
      std::unique_lock lock(call.mutex);
      all_ended = call.changed.wait_for(lock, wait_slice, [&] { return call.running == 0; });
    }
    const bool check_in_due = Clock::now() - last_check_in >= check_in_interval;
    if (all_ended || check_in_due) host.hold();
    if (all_ended) return;
    if (check_in_due) {
      last_check_in = Clock::now();
      caller.check_in();  // may throw Interrupted: the workers are then cancelled
    }
    host.follow(call.out);
  }
}

// The ending of the lowest-numbered chunk that failed, carried on here; a
// wrapped Panic gets a report of its own, as a new failure of this thread.
void raise_first_failure(const std::vector<Chunk>& chunks, WorkerPanics panics) {
  for (const Chunk& chunk : chunks) {
    const auto* failure = std::get_if<Failure>(&chunk.ending);
    if (!failure) continue;
    if (panics == WorkerPanics::wrapped && std::holds_alternative<Panicked>(*failure))
      panic(std::string(messages::worker_failed));
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
                     WorkerPanics panics, WindowAction ahead) {
  const ChunkPlan plan = plan_chunks(query_count, threads);
  SharedCall call{action, ahead, plan.progress_step, out};
  std::vector<Chunk> chunks = cut_chunks(call, query_count, plan);

  {
    Workers workers(call, caller, worker_stack_size());  // declared after the chunks: joined before they go
    for (Chunk& chunk : chunks) workers.start(chunk);
    wait_for_workers(call, caller);
    workers.join_all();
  }
  raise_first_failure(chunks, panics);
}

}  // namespace mendseqs
