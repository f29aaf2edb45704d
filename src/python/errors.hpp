// Pending errors: failures on their way back to the Python caller.
//
// Routines of the module interface return either their value or a pending
// error (PyResult). Python errors travel this way and are raised unchanged
// at the failure barrier; unrecoverable failures travel as Panic instead.
#pragma once

#include <Python.h>

#include <expected>
#include <optional>
#include <source_location>
#include <string>

#include "python/ref.hpp"

namespace mendseqs::py {

class PendingError {
 public:
  // An exception of a built-in type, made when raised, with `message` as its
  // argument (TypeError, OverflowError, SystemError, ImportError...).
  static PendingError of_type(PyObject* type, std::string message);
  // A complete exception object taken from the interpreter.
  static PendingError of_object(Ref exception);

  PyObject* type() const noexcept;
  // The exception object, when the error holds one; null otherwise.
  PyObject* object() const noexcept { return exception_.get(); }

  // Sets the error as the calling thread's current exception. Consumes it.
  // May fail only by Panic, when the message cannot even be made.
  void raise() &&;

 private:
  PyObject* type_ = nullptr;  // borrowed: a built-in exception type
  std::string message_;
  Ref exception_;
};

template <class T>
using PyResult = std::expected<T, PendingError>;
using Unexpected = std::unexpected<PendingError>;

inline Unexpected fail(PyObject* type, std::string message) {
  return Unexpected(PendingError::of_type(type, std::move(message)));
}

// The fetch rule, for calls that always set an exception when they fail:
// takes the pending exception; SystemError if there is none. A fetched
// PanicException is not passed on but resumed as an unrecoverable failure.
PendingError fetch_error();

// The fetch rule for calls whose failure value is also a legitimate result
// (-1 from an integer conversion, null at the end of an iteration):
// nothing when no exception is pending.
std::optional<PendingError> take_error();

// For C API calls that should not fail and have no error path of their own:
// prints the pending exception through the interpreter, then fails
// unrecoverably with "Python API call failed".
[[noreturn]] void api_call_failed(std::source_location where = std::source_location::current());

// The process-wide PanicException type (created on first need).
PyObject* panic_exception_type();

// Raises PanicException(message) in the calling thread.
void raise_panic(const std::string& message);

}  // namespace mendseqs::py
