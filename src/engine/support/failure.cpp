#include "engine/failure.hpp"

#include <new>
#include <stdexcept>

#include "engine/host.hpp"
#include "engine/panic.hpp"

namespace mendseqs {

Failure failure_of_current_exception() noexcept {
  try {
    throw;
  } catch (const Panic& failure) {
    return Panicked{failure.message().empty() ? failure_without_text : failure.message()};
  } catch (const std::bad_alloc&) {
    return OutOfMemory{};
  } catch (const Interrupted&) {
    return HostInterrupted{};
  } catch (const std::length_error&) {  // a size beyond what the address space can hold
    report_failure(capacity_overflow_message, std::source_location::current());
    return Panicked{capacity_overflow_message};
  } catch (...) {
    report_failure(failure_without_text, std::source_location::current());
    return Panicked{failure_without_text};
  }
}

void rethrow(const Failure& failure) {
  if (const auto* panicked = std::get_if<Panicked>(&failure))
    throw Panic(panicked->message, std::source_location::current());
  if (std::holds_alternative<OutOfMemory>(failure)) throw std::bad_alloc();
  throw Interrupted{};
}

}  // namespace mendseqs
