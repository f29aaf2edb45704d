#include "engine/panic.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

namespace mendseqs {
namespace {

thread_local bool thread_is_unnamed = false;

// The kernel's name of a thread of this process ("comm").
std::string kernel_thread_name(pid_t thread) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/comm", static_cast<int>(thread));
  std::string name;
  if (FILE* file = std::fopen(path, "re")) {
    char buffer[64] = {};
    if (std::fgets(buffer, sizeof buffer, file)) name = buffer;
    std::fclose(file);
  }
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

// A new thread inherits its creator's kernel name, so a thread whose name is
// still the main thread's was never given one of its own.
std::string current_thread_name() {
  if (thread_is_unnamed) return "<unnamed>";
  const pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
  if (self == ::getpid()) return "main";
  const std::string name = kernel_thread_name(self);
  if (name.empty() || name == kernel_thread_name(::getpid())) return "<unnamed>";
  return name;
}

}  // namespace

// One write per report where the kernel allows it, so reports of threads
// failing together do not interleave.
void write_to_stderr(std::string_view text) noexcept {
  while (!text.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // nowhere left to report to
    text.remove_prefix(static_cast<size_t>(written));
  }
}

void report_failure(std::string_view message, const std::source_location& where) noexcept {
  try {
    std::string report = "\nthread '" + current_thread_name() + "' failed at " + where.file_name() + ":" +
                         std::to_string(where.line()) + ":" + std::to_string(where.column()) + ":\n";
    report.append(message).append("\n");
    write_to_stderr(report);
  } catch (...) {
    // Out of memory while formatting: the bare message still tells the story.
    write_to_stderr(message);
    write_to_stderr("\n");
  }
}

[[noreturn]] void panic(std::string message, std::source_location where) {
  report_failure(message, where);
  throw Panic(std::move(message));
}

void mark_thread_unnamed() noexcept { thread_is_unnamed = true; }

}  // namespace mendseqs
