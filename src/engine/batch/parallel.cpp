#include "batch/parallel.hpp"

#include <pthread.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "engine/io_error.hpp"
#include "engine/panic.hpp"

namespace mendseqs {
namespace {

constexpr size_t default_stack_size = 2 * 1024 * 1024;

// Shared by a worker and the calling thread; read by the caller only after
// the join, which orders it after everything the worker wrote.
struct ResultSlot {
  enum class Ending { finished, failed, out_of_memory };
  SequenceList corrected;
  Ending ending = Ending::finished;
};

struct WorkerTask {
  std::shared_ptr<const SequenceList> chunk;
  std::shared_ptr<const ReferenceSet> references;
  uint32_t index;
  uint32_t progress_step;
  intptr_t max_flex;
  OutputStream* out;
  std::shared_ptr<ResultSlot> slot;
};

SequenceList correct_chunk(const WorkerTask& task) {
  SequenceList corrected;
  corrected.reserve(task.chunk->size());
  uint32_t counter = task.index;
  for (const Sequence& query : *task.chunk) {
    if (counter % task.progress_step == 0) task.out->print_flushed(progress_mark);
    corrected.push_back(correct_seq(*task.references, query, task.max_flex));
    ++counter;
  }
  return corrected;
}

// Thread body. A failure is reported here, where it arises, and left in the
// slot for the join; the task's shares of chunk and references go with it.
// Exhausted memory is not a failure of the work: it goes to the join as it
// is, so the caller sees the same MemoryError whatever the thread count.
void* run_worker(void* argument) {
  std::unique_ptr<WorkerTask> task(static_cast<WorkerTask*>(argument));
  mark_thread_unnamed();
  ResultSlot& slot = *task->slot;
  try {
    slot.corrected = correct_chunk(*task);
  } catch (const Panic&) {
    slot.ending = ResultSlot::Ending::failed;  // reported when it was raised
  } catch (const std::bad_alloc&) {
    slot.ending = ResultSlot::Ending::out_of_memory;
  } catch (const std::length_error&) {  // a size beyond the address space
    report_failure(capacity_overflow_message, std::source_location::current());
    slot.ending = ResultSlot::Ending::failed;
  } catch (...) {
    report_failure("worker failed", std::source_location::current());
    slot.ending = ResultSlot::Ending::failed;
  }
  return nullptr;
}

// A started worker. Unless joined, it is detached when the handle goes, so
// a call that fails part-way leaves its later workers to finish alone.
class WorkerHandle {
 public:
  WorkerHandle(pthread_t thread, std::shared_ptr<ResultSlot> slot)
      : thread_(thread), slot_(std::move(slot)) {}
  WorkerHandle(WorkerHandle&& other) noexcept
      : thread_(other.thread_), slot_(std::move(other.slot_)), owned_(std::exchange(other.owned_, false)) {}
  WorkerHandle& operator=(WorkerHandle&&) = delete;
  ~WorkerHandle() {
    if (owned_) pthread_detach(thread_);
  }

  SequenceList join() {
    owned_ = false;
    if (int error = pthread_join(thread_, nullptr))
      panic("failed to join thread: " + IoError{error}.display());
    switch (slot_->ending) {
      case ResultSlot::Ending::finished: return std::move(slot_->corrected);
      case ResultSlot::Ending::out_of_memory: throw std::bad_alloc();
      case ResultSlot::Ending::failed: break;
    }
    panic("called `Result::unwrap()` on an `Err` value: Any { .. }");
  }

 private:
  pthread_t thread_;
  std::shared_ptr<ResultSlot> slot_;
  bool owned_ = true;
};

class ThreadAttributes {
 public:
  ThreadAttributes() { pthread_attr_init(&attributes_); }
  ~ThreadAttributes() { pthread_attr_destroy(&attributes_); }
  ThreadAttributes(const ThreadAttributes&) = delete;
  ThreadAttributes& operator=(const ThreadAttributes&) = delete;
  pthread_attr_t* get() noexcept { return &attributes_; }

 private:
  pthread_attr_t attributes_;
};

WorkerHandle spawn_worker(std::unique_ptr<WorkerTask> task, size_t stack_size) {
  ThreadAttributes attributes;
  int error = pthread_attr_setstacksize(attributes.get(), stack_size);
  std::shared_ptr<ResultSlot> slot = task->slot;
  pthread_t thread;
  if (!error) error = pthread_create(&thread, attributes.get(), run_worker, task.get());
  if (error) panic("failed to spawn thread: " + IoError{error}.debug());
  task.release();  // the thread owns it now
  return WorkerHandle(thread, std::move(slot));
}

std::vector<std::shared_ptr<const SequenceList>> copy_chunks(const SequenceList& queries,
                                                             const ChunkPlan& plan) {
  std::vector<std::shared_ptr<const SequenceList>> chunks;
  chunks.reserve(plan.workers);
  // begin + chunk_size is never formed, so no sum can wrap.
  for (size_t begin = 0, size = 0; begin < queries.size(); begin += size) {
    size = std::min(plan.chunk_size, queries.size() - begin);
    const auto first = queries.begin() + static_cast<ptrdiff_t>(begin);
    chunks.push_back(std::make_shared<const SequenceList>(first, first + static_cast<ptrdiff_t>(size)));
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
  plan.progress_step = static_cast<uint32_t>(
      std::clamp<uint64_t>(step, 1, std::numeric_limits<uint32_t>::max()));
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

SequenceList correct_in_parallel(std::shared_ptr<const ReferenceSet> references,
                                 const SequenceList& queries, intptr_t max_flex,
                                 uint32_t threads, OutputStream& out) {
  const ChunkPlan plan = plan_chunks(queries.size(), threads);
  // Every chunk is copied before the first worker starts.
  const auto chunks = copy_chunks(queries, plan);
  const size_t stack_size = worker_stack_size();

  std::vector<WorkerHandle> workers;
  workers.reserve(chunks.size());
  for (uint32_t m = 0; m < chunks.size(); ++m) {
    auto task = std::make_unique<WorkerTask>(WorkerTask{
        chunks[m], references, m, plan.progress_step, max_flex, &out, std::make_shared<ResultSlot>()});
    workers.push_back(spawn_worker(std::move(task), stack_size));
  }

  std::vector<SequenceList> parts;
  parts.reserve(workers.size());
  for (WorkerHandle& worker : workers) parts.push_back(worker.join());

  SequenceList corrected;
  corrected.reserve(queries.size());
  for (SequenceList& part : parts)
    for (Sequence& sequence : part) corrected.push_back(std::move(sequence));
  return corrected;
}

}  // namespace mendseqs
