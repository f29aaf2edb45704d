#include "python/once.hpp"

#include <Python.h>

namespace mendseqs::py {

CreationGuard::CreationGuard(std::mutex& mutex) : mutex_(mutex) {
  if (mutex_.try_lock()) return;
  PyThreadState* state = PyEval_SaveThread();
  mutex_.lock();
  PyEval_RestoreThread(state);
}

}  // namespace mendseqs::py
