#include "python/barrier.hpp"

#include <cstdlib>

namespace mendseqs::py {

PyObject* leave_barrier(Outcome outcome) noexcept {
  if (outcome.value) return outcome.value.release();
  try {
    if (outcome.error)
      std::move(*outcome.error).raise();
    else if (outcome.out_of_memory)
      PyErr_NoMemory();
    else
      raise_panic(outcome.panic_message.value_or(failure_without_text));
  } catch (...) {
    report_failure("uncaught panic at ffi boundary", std::source_location::current());
    std::abort();
  }
  return nullptr;
}

}  // namespace mendseqs::py
