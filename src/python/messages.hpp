// The texts only the Python side shows its callers (the engine's own are
// in engine/messages.hpp, included here): exception names, conversion
// errors, failures of the interpreter's API.
//
// Callers match on these too: docs/compatibility.md lists them with the
// rest of that contract. Do not "fix" their wording, spelling or punctuation.
#pragma once

#include <string_view>

#include "engine/messages.hpp"

namespace mendseqs::messages {

// Failures of the Python side (raised as PanicException).
inline constexpr const char* api_call_failed = "Python API call failed";
inline constexpr const char* uncaught_at_boundary = "uncaught panic at ffi boundary";
inline constexpr const char* unwrapped_python_panic = "Unwrapped panic from Python code";
inline constexpr std::string_view type_creation_failed = "Failed to initialize new exception type.: ";
inline constexpr std::string_view export_append_failed = "could not append __name__ to __all__: ";
inline constexpr std::string_view resume_banner =
    "--- mendseqs is resuming a PanicException fetched from Python ---\n"
    "Python stack trace below:\n";

// Errors of the arguments (raised as the Python exceptions they name).
inline constexpr const char* out_of_range = "out of range integral type conversion attempted";
inline constexpr const char* str_is_not_a_list = "Can't extract `str` to `Vec`";
inline constexpr const char* no_exception_set = "attempted to fetch exception but none was set";

// The exception type, created on first need, never a module attribute.
inline constexpr const char* exception_name = "pyo3_runtime.PanicException";
inline constexpr const char* exception_doc =
    "\n"
    "The exception raised when native code called from Python fails unrecoverably.\n"
    "\n"
    "Like SystemExit, it derives from BaseException, so that it typically propagates\n"
    "all the way up the stack and makes the Python interpreter exit.\n";

// Importing from a second interpreter (ImportError).
inline constexpr const char* subinterpreters =
    "mendseqs, like every native module of its kind, does not yet support subinterpreters; "
    "it can be imported by one interpreter per process (see \"Subinterpreters\" in the "
    "project's README and its issue tracker)";

}  // namespace mendseqs::messages
