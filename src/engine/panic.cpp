#include "engine/panic.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace mendseqs {
namespace {

thread_local bool thread_is_unnamed = false;

std::string current_thread_name() {
  if (thread_is_unnamed) return "<unnamed>";
  if (::syscall(SYS_gettid) == ::getpid()) return "main";
  char name[64] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) == 0 && name[0] != '\0') return name;
  return "<unnamed>";
}

// One write per report where the kernel allows it, so reports of threads
// failing together do not interleave; retried on signals and short writes.
void write_fully(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // nowhere left to report to
    bytes.remove_prefix(static_cast<size_t>(written));
  }
}

}  // namespace

void report_failure(const std::string& message, const std::source_location& where) noexcept {
  try {
    std::string report = "\nthread '" + current_thread_name() + "' failed at " +
                         where.file_name() + ":" + std::to_string(where.line()) + ":" +
                         std::to_string(where.column()) + ":\n" + message + "\n";
    write_fully(STDERR_FILENO, report);
  } catch (...) {
    // Out of memory while formatting: the bare message still tells the story.
    write_fully(STDERR_FILENO, message);
    write_fully(STDERR_FILENO, "\n");
  }
}

[[noreturn]] void panic(std::string message, std::source_location where) {
  report_failure(message, where);
  throw Panic(std::move(message), where);
}

void mark_thread_unnamed() noexcept { thread_is_unnamed = true; }

}  // namespace mendseqs
