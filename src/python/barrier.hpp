// The failure barrier around each entry point: whatever the body ends with
// (a value, a pending Python error, an unrecoverable failure, exhausted
// memory) leaves as a new reference or as null with an exception set.
#pragma once

#include <Python.h>

#include <variant>

#include "engine/failure.hpp"
#include "python/errors.hpp"

namespace mendseqs::py {

// What the body left behind, once it has fully unwound: by then every
// routine of the body has released what it owns.
using Outcome = std::variant<Ref, PendingError, mendseqs::Failure>;

// Raises what the outcome holds, or returns its value. Raising must not fail
// in turn: if it does, nothing is left to carry the failure to, and the
// process ends with a report.
PyObject* leave_barrier(Outcome outcome) noexcept;

template <class Body>  // Body: () -> PyResult<Ref>
PyObject* run_in_barrier(Body&& body) noexcept {
  Outcome outcome{Ref()};
  try {
    PyResult<Ref> result = body();
    if (result)
      outcome = std::move(*result);
    else
      outcome = std::move(result.error());
  } catch (...) {
    outcome = mendseqs::failure_of_current_exception();
  }
  return leave_barrier(std::move(outcome));
}

}  // namespace mendseqs::py
