// How a piece of work ends when it does not finish: one value, one of
// exactly these. Both the workers and the module's failure barrier get it
// from the exception in flight, in one place (failure_of_current_exception).
#pragma once

#include <string>
#include <variant>

namespace mendseqs {

// An unrecoverable failure; its report already went to file descriptor 2.
struct Panicked {
  std::string message;
};
// Memory ran out: not a failure of the work, so it reaches the caller as
// exhausted memory whatever thread it happened on.
struct OutOfMemory {};
// The caller's host ended the call (see host.hpp); what ended it is the host's.
struct HostInterrupted {};

using Failure = std::variant<Panicked, OutOfMemory, HostInterrupted>;

// Call only inside a catch block: the exception being handled, as a Failure.
// Exceptions that were not reported when thrown are reported here.
Failure failure_of_current_exception() noexcept;

// Carries a failure of another thread on in this one, as the exception it
// stands for (Panic, std::bad_alloc or Interrupted), without a new report.
[[noreturn]] void rethrow(const Failure& failure);

}  // namespace mendseqs
