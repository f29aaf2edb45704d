// Threads started for one piece of work and joined before it is over: the
// one place the engine starts threads, for the parallel path
// (batch/parallel.cpp) and the threaded passes of the index build and load
// (support/build_pass.hpp) alike.
//
// One rule for a thread that cannot start: it is an error. start() raises
// Panic with the frozen "failed to spawn thread: " message and its reason;
// the threads already started keep their slots, and the group's owner
// cancels them and joins them (the destructor joins) before the error
// leaves. Running the work inline instead would hide the failure and, on
// the parallel path, keep the calling thread from checking in.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <vector>

#include "support/function_ref.hpp"

namespace mendseqs {

class ThreadGroup {
 public:
  // stack_size 0: the platform's default.
  explicit ThreadGroup(size_t stack_size = 0);
  ~ThreadGroup();
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;

  // Runs body(argument) on a new thread. Its slot is reserved before the
  // thread is created, so no allocation can fail between a thread's start
  // and its record: every started thread is joined.
  void start(void* (*body)(void*), void* argument);
  // Waits for every started thread; the caller has made them stop.
  void join_all() noexcept;
  size_t size() const noexcept { return threads_.size(); }

 private:
  pthread_attr_t attributes_;
  std::vector<pthread_t> threads_;
};

// Runs work(0) on the calling thread and work(1) .. work(workers - 1) on
// threads of their own, and joins them all before returning. The first
// failure (the calling thread's, else the lowest worker's) is rethrown after
// the join; any failure, and a thread that cannot start, sets `stop`, which
// `work` looks at between steps so that the others end soon.
void fork_join(size_t workers, std::atomic<bool>& stop, FunctionRef<void(size_t)> work);

}  // namespace mendseqs
