#include "engine/failure.hpp"
#include "engine/messages.hpp"

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "engine/host.hpp"
#include "engine/panic.hpp"

namespace mendseqs {

namespace {

// A Panicked with a copy of `message`. The copy needs memory; when there is
// none left, the failure that needs none stands in for it (the panic's own
// report was written where it was raised).
Failure panicked(std::string_view message) noexcept {
  try {
    return Panicked{std::string(message)};
  } catch (...) {
    return OutOfMemory{};
  }
}

}  // namespace

Failure failure_of_current_exception() noexcept {
  try {
    throw;
  } catch (const Panic& failure) {
    return panicked(failure.message().empty() ? std::string_view(messages::without_text) : failure.message());
  } catch (const std::bad_alloc&) {
    return OutOfMemory{};
  } catch (const Interrupted&) {
    return HostInterrupted{};
  } catch (const std::length_error&) {  // a size beyond what the address space can hold
    report_failure(messages::capacity_overflow, std::source_location::current());
    return panicked(messages::capacity_overflow);
  } catch (...) {
    report_failure(messages::without_text, std::source_location::current());
    return panicked(messages::without_text);
  }
}

void rethrow(const Failure& failure) {
  if (const auto* panicked = std::get_if<Panicked>(&failure)) throw Panic(panicked->message);
  if (std::holds_alternative<OutOfMemory>(failure)) throw std::bad_alloc();
  throw Interrupted{};
}

}  // namespace mendseqs
