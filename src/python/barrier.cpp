#include "python/barrier.hpp"
#include "python/messages.hpp"

#include <cstdlib>

#include "engine/panic.hpp"

namespace mendseqs::py {
namespace {

void raise_failure(const mendseqs::Failure& failure) {
  if (const auto* panicked = std::get_if<Panicked>(&failure)) {
    raise_panic(panicked->message);
  } else if (std::holds_alternative<OutOfMemory>(failure)) {
    PyErr_NoMemory();
  } else if (!PyErr_Occurred()) {  // HostInterrupted: the host's exception stands
    PyErr_SetString(PyExc_SystemError, messages::no_exception_set);
  }
}

}  // namespace

PyObject* leave_barrier(Outcome outcome) noexcept {
  if (Ref* value = std::get_if<Ref>(&outcome)) return value->release();
  try {
    if (PendingError* error = std::get_if<PendingError>(&outcome))
      std::move(*error).raise();
    else
      raise_failure(std::get<mendseqs::Failure>(outcome));
  } catch (...) {
    report_failure(messages::uncaught_at_boundary, std::source_location::current());
    std::abort();
  }
  return nullptr;
}

}  // namespace mendseqs::py
