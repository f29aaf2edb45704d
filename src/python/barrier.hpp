// The failure barrier around each entry point: whatever the body ends with
// (a value, a pending Python error, an unrecoverable failure, exhausted
// memory) leaves as a new reference or as null with an exception set.
#pragma once

#include <Python.h>

#include <new>
#include <optional>
#include <stdexcept>
#include <string>

#include "engine/panic.hpp"
#include "python/errors.hpp"

namespace mendseqs::py {

// What the body left behind, once it has fully unwound: by then every
// routine of the body has released what it owns.
struct Outcome {
  Ref value;
  std::optional<PendingError> error;
  std::optional<std::string> panic_message;
  bool out_of_memory = false;
};

// Raises what the outcome holds, or returns its value. Raising must not fail
// in turn: if it does, nothing is left to carry the failure to, and the
// process ends with a report.
PyObject* leave_barrier(Outcome outcome) noexcept;

inline constexpr const char* failure_without_text = "native code failed without a message";

template <class Body>  // Body: () -> PyResult<Ref>
PyObject* run_in_barrier(Body&& body) noexcept {
  Outcome outcome;
  try {
    PyResult<Ref> result = body();
    if (result)
      outcome.value = std::move(*result);
    else
      outcome.error.emplace(std::move(result.error()));
  } catch (const Panic& failure) {
    outcome.panic_message.emplace(failure.message().empty() ? failure_without_text : failure.message());
  } catch (const std::bad_alloc&) {
    outcome.out_of_memory = true;
  } catch (const std::length_error&) {  // a size beyond what the address space can hold
    report_failure(capacity_overflow_message, std::source_location::current());
    outcome.panic_message.emplace(capacity_overflow_message);
  } catch (...) {
    outcome.panic_message.emplace(failure_without_text);
  }
  return leave_barrier(std::move(outcome));
}

}  // namespace mendseqs::py
