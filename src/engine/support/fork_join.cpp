#include "support/fork_join.hpp"

#include <exception>
#include <string>

#include "engine/io_error.hpp"
#include "engine/messages.hpp"  // frozen texts: docs/compatibility.md
#include "engine/panic.hpp"

namespace mendseqs {

ThreadGroup::ThreadGroup(size_t stack_size) {
  if (const int error = pthread_attr_init(&attributes_))
    panic(std::string(messages::spawn_failed) + IoError{error}.debug());
  if (stack_size > 0) {
    if (const int error = pthread_attr_setstacksize(&attributes_, stack_size)) {
      pthread_attr_destroy(&attributes_);
      panic(std::string(messages::spawn_failed) + IoError{error}.debug());
    }
  }
}

ThreadGroup::~ThreadGroup() {
  join_all();
  pthread_attr_destroy(&attributes_);
}

void ThreadGroup::start(void* (*body)(void*), void* argument) {
  threads_.reserve(threads_.size() + 1);  // may throw: no thread started yet
  pthread_t thread;
  if (const int error = pthread_create(&thread, &attributes_, body, argument))
    panic(std::string(messages::spawn_failed) + IoError{error}.debug());
  threads_.push_back(thread);  // within the reserved capacity: cannot throw
}

void ThreadGroup::join_all() noexcept {
  for (const pthread_t thread : threads_) pthread_join(thread, nullptr);
  threads_.clear();
}

namespace {

struct Task {
  FunctionRef<void(size_t)>* work;
  std::atomic<bool>* stop;
  size_t worker;
  std::exception_ptr failure;
};

void* run_task(void* argument) {
  Task& task = *static_cast<Task*>(argument);
  mark_thread_unnamed();
  try {
    (*task.work)(task.worker);
  } catch (...) {  // out of memory, say: passed on to the calling thread
    task.failure = std::current_exception();
    task.stop->store(true, std::memory_order_relaxed);
  }
  return nullptr;
}

}  // namespace

void fork_join(size_t workers, std::atomic<bool>& stop, FunctionRef<void(size_t)> work) {
  std::vector<Task> tasks;
  tasks.reserve(workers);  // never reallocated: the threads hold pointers into it
  for (size_t w = 1; w < workers; ++w) tasks.push_back(Task{&work, &stop, w, nullptr});
  {
    ThreadGroup group;  // declared after the tasks: joined before they go
    try {
      for (Task& task : tasks) group.start(run_task, &task);
      work(0);
    } catch (...) {
      stop.store(true, std::memory_order_relaxed);
      group.join_all();
      throw;
    }
  }
  for (const Task& task : tasks)
    if (task.failure) std::rethrow_exception(task.failure);
}

}  // namespace mendseqs
