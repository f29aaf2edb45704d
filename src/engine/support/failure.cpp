#include "engine/failure.hpp"
#include "engine/messages.hpp"

#include <new>
#include <stdexcept>

#include "engine/host.hpp"
#include "engine/panic.hpp"

namespace mendseqs {

Failure failure_of_current_exception() noexcept {
  try {
    throw;
  } catch (const Panic& failure) {
    return Panicked{failure.message().empty() ? messages::without_text : failure.message()};
  } catch (const std::bad_alloc&) {
    return OutOfMemory{};
  } catch (const Interrupted&) {
    return HostInterrupted{};
  } catch (const std::length_error&) {  // a size beyond what the address space can hold
    report_failure(messages::capacity_overflow, std::source_location::current());
    return Panicked{messages::capacity_overflow};
  } catch (...) {
    report_failure(messages::without_text, std::source_location::current());
    return Panicked{messages::without_text};
  }
}

void rethrow(const Failure& failure) {
  if (const auto* panicked = std::get_if<Panicked>(&failure))
    throw Panic(panicked->message);
  if (std::holds_alternative<OutOfMemory>(failure)) throw std::bad_alloc();
  throw Interrupted{};
}

}  // namespace mendseqs
