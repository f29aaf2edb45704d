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
#include <utility>

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

// The host of a call of the newer API (ReferenceIndex), which lets go of
// the interpreter lock for as long as it exists: the engine then touches no
// Python object (the strings it reads are immutable and held by their
// owner), and other Python threads run. A check-in takes the lock for the
// moment it runs the signal handlers. Made and destroyed with the lock held.
class UnlockedHooks final : public CallerHooks {
 public:
  UnlockedHooks() noexcept : released_(PyEval_SaveThread()) {}
  ~UnlockedHooks() { PyEval_RestoreThread(released_); }
  UnlockedHooks(const UnlockedHooks&) = delete;
  UnlockedHooks& operator=(const UnlockedHooks&) = delete;

  void check_in() override;
  // Already let go for the whole call.
  void release_lock() noexcept override {}
  void reacquire_lock() noexcept override {}

  // The exception a signal handler raised, once check_in has thrown; call
  // with the lock held (after this object is gone, say).
  std::optional<PendingError> take_interruption() noexcept { return std::move(interruption_); }

 private:
  PyThreadState* released_;
  std::optional<PendingError> interruption_;
};

// Runs `work(hooks)` with the interpreter lock let go (see UnlockedHooks);
// an interruption comes back as the exception the signal handler raised.
template <class Work>
auto without_lock(Work&& work) -> PyResult<decltype(work(std::declval<CallerHooks&>()))> {
  std::optional<PendingError> interruption;
  {
    UnlockedHooks hooks;
    try {
      return work(hooks);
    } catch (const Interrupted&) {
      interruption = hooks.take_interruption();
    }
  }
  if (!interruption) return fail(PyExc_SystemError, "interrupted without an exception");
  return Unexpected(std::move(*interruption));
}

}  // namespace mendseqs::py
