#include "python/once.hpp"

#include <Python.h>

namespace mendseqs::py {

CreationGuard::CreationGuard(CreationLock& lock) : lock_(lock) {
  const std::thread::id self = std::this_thread::get_id();
  if (lock_.holder_.load(std::memory_order_relaxed) == self) {
    reentered_ = true;
    return;
  }
  if (!lock_.mutex_.try_lock()) {
    PyThreadState* state = PyEval_SaveThread();
    lock_.mutex_.lock();
    PyEval_RestoreThread(state);
  }
  lock_.holder_.store(self, std::memory_order_relaxed);
}

CreationGuard::~CreationGuard() {
  if (reentered_) return;
  lock_.holder_.store(std::thread::id(), std::memory_order_relaxed);
  lock_.mutex_.unlock();
}

}  // namespace mendseqs::py
