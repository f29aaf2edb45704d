// Unrecoverable failures: one exception type carrying a message and the
// place it arose. Everything between the throw and the failure barrier
// releases what it owns through RAII; the barrier turns it into Python's
// PanicException.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace mendseqs {

class Panic : public std::exception {
 public:
  Panic(std::string message, std::source_location where)
      : message_(std::move(message)), where_(where) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

// Writes the failure report (thread, location, message) to file descriptor 2
// at the moment of failure, then throws Panic.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Writes a failure report without throwing: for failures that cannot be
// carried any further (the process is about to abort).
void report_failure(const std::string& message, const std::source_location& where) noexcept;

// Writes all of `text` to file descriptor 2, retrying on signals and short
// writes; gives up silently when nothing can be written there.
void write_to_stderr(std::string_view text) noexcept;

// Message of a size beyond what the address space can hold.
inline constexpr const char* capacity_overflow_message = "capacity overflow";

// Worker threads carry no name; they call this first so that their failure
// reports say so instead of inheriting the creating thread's name.
void mark_thread_unnamed() noexcept;

}  // namespace mendseqs
