#include "python/hooks.hpp"
#include "python/messages.hpp"

namespace mendseqs::py {

void InterpreterHooks::check_in() {
  if (PyErr_CheckSignals() == 0) return;
  // Taken now, before anything else can run Python code: the fetch rule
  // applies (a PanicException goes on as the failure it is).
  interruption_.emplace(fetch_error());
  throw Interrupted{};
}

PendingError InterpreterHooks::take_interruption() {
  if (!interruption_) return PendingError::of_type(PyExc_SystemError, messages::no_exception_set);
  PendingError error = std::move(*interruption_);
  interruption_.reset();
  return error;
}

void UnlockedHooks::check_in() {
  PyEval_RestoreThread(released_);
  try {
    if (PyErr_CheckSignals() != 0) interruption_.emplace(fetch_error());
  } catch (...) {  // a resumed PanicException: the failure goes on, unlocked as before
    released_ = PyEval_SaveThread();
    throw;
  }
  released_ = PyEval_SaveThread();
  if (interruption_) throw Interrupted{};
}

}  // namespace mendseqs::py
