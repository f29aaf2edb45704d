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

// The interpreter as the host of a call that lets go of the lock for all of
// its native part (the new API: it touches no Python object meanwhile).
// The lock is taken back only to run the pending signal handlers every few
// tens of milliseconds. Let go by LockReleased, for exactly its scope.
class ReleasedInterpreterHooks final : public CallerHooks {
 public:
  void check_in() override;
  // Nothing to do around a blocked write: the lock is already let go.
  void release_lock() noexcept override {}
  void reacquire_lock() noexcept override {}

  // The exception a signal handler raised, once check_in has thrown. Call
  // with the lock held (after LockReleased's scope).
  PendingError take_interruption();

 private:
  friend class LockReleased;
  PyThreadState* released_ = nullptr;
  std::optional<PendingError> interruption_;
};

// Lets go of the interpreter lock for its scope, however the scope is left,
// so that a failure reaches the barrier with the lock held.
class LockReleased {
 public:
  explicit LockReleased(ReleasedInterpreterHooks& hooks) noexcept : hooks_(hooks) {
    hooks_.released_ = PyEval_SaveThread();
  }
  ~LockReleased() { PyEval_RestoreThread(hooks_.released_); }
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;

 private:
  ReleasedInterpreterHooks& hooks_;
};

}  // namespace mendseqs::py
