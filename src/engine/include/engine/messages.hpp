// Every text the engine shows its callers, in one place; the Python side's
// own texts are in src/python/messages.hpp.
//
// Callers match on these (in except clauses, log filters, tests of their
// own), so they are the module's public behaviour, however accidental some
// look: docs/compatibility.md lists them with the rest of that contract.
// Do not "fix" their wording, spelling or punctuation.
#pragma once

#include <string_view>

namespace mendseqs::messages {

// The progress display on file descriptor 1: banner, marks, line end.
inline constexpr std::string_view banner_start = "    Aligning with ";
inline constexpr std::string_view banner_end = " threads: ";
inline constexpr std::string_view progress_mark = "\xE2\x96\xA0";  // U+25A0

// Failures of a call (raised as PanicException).
inline constexpr std::string_view guard = "max_flex cannot be greater than the length of the sequences.";
inline constexpr std::string_view unwrap_error = "called `Result::unwrap()` on an `Err` value: ";
inline constexpr std::string_view worker_failed = "called `Result::unwrap()` on an `Err` value: Any { .. }";
inline constexpr std::string_view line_end_failed = "failed printing to stdout: ";
inline constexpr std::string_view spawn_failed = "failed to spawn thread: ";
inline constexpr std::string_view write_zero = "failed to write the buffered data";
inline constexpr const char* capacity_overflow = "capacity overflow";
inline constexpr const char* without_text = "native code failed without a message";

}  // namespace mendseqs::messages
