// Binding the fast-call arguments of a function to its parameters.
#pragma once

#include <Python.h>

#include <array>
#include <string_view>

#include "python/errors.hpp"

namespace mendseqs::py {

inline constexpr size_t parameter_count = 4;

// Every parameter may be given by position or by keyword, all are required,
// and nothing else is accepted.
struct FunctionDescription {
  std::string_view name;
  std::array<std::string_view, parameter_count> parameters;
};

// Borrowed: the objects belong to the caller for the whole call.
using ArgumentSlots = std::array<PyObject*, parameter_count>;

// Fills one slot per parameter from the positional arguments, then the
// keywords (the i-th keyword's value is args[nargs + i]), or fails with the
// TypeError Python's own functions give for the same mistake.
PyResult<ArgumentSlots> extract_arguments_fastcall(const FunctionDescription& function, PyObject* const* args,
                                                   Py_ssize_t nargs, PyObject* kwnames);

}  // namespace mendseqs::py
