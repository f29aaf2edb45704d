// Unrecoverable failures: one exception type carrying a message; the place
// it arose went into the report written when it was raised. Everything between the throw and the failure barrier
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
  explicit Panic(std::string message) : message_(std::move(message)) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Writes the failure report (thread, location, message) to file descriptor 2
// at the moment of failure, then throws Panic.
[[noreturn]] void panic(std::string message, std::source_location where = std::source_location::current());

// Writes a failure report without throwing: for failures that cannot be
// carried any further (the process is about to abort).
void report_failure(std::string_view message, const std::source_location& where) noexcept;

// Writes all of `text` to file descriptor 2, retrying on signals and short
// writes; gives up silently when nothing can be written there.
void write_to_stderr(std::string_view text) noexcept;

// Worker threads carry no name; they call this first so that their failure
// reports say so instead of inheriting the creating thread's name.
void mark_thread_unnamed() noexcept;

}  // namespace mendseqs
