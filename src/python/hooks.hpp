// The interpreter as the host of a call (see engine/host.hpp).
//
// The call keeps the interpreter lock, as the caller expects (the call is
// atomic with respect to other Python threads), with two exceptions:
// - every few tens of milliseconds the calling thread runs the pending
//   signal handlers, so Ctrl+C ends a long call; a handler that raises ends
//   it with that exception;
// - while the call waits on output that cannot proceed it lets go of the
//   lock: the reader of that output may be a thread of this very process
//   (output capture, a notebook kernel) that needs the lock to read.
#pragma once

#include <Python.h>

#include <optional>

#include "engine/host.hpp"
#include "python/errors.hpp"

namespace mendseqs::py {

class InterpreterHooks final : public CallerHooks {
 public:
  void check_in() override;
  void release_lock() noexcept override { released_ = PyEval_SaveThread(); }
  void reacquire_lock() noexcept override { PyEval_RestoreThread(released_); }

  // The exception a signal handler raised, once check_in has thrown.
  PendingError take_interruption();

 private:
  PyThreadState* released_ = nullptr;
  std::optional<PendingError> interruption_;
};

}  // namespace mendseqs::py
