// The module object: created once per process, on the first import by the
// interpreter that owns it, and handed out again on every later import.
#pragma once

#include <Python.h>

#include "python/errors.hpp"

namespace mendseqs::py {

// Body of PyInit_mendseqs: a new reference to the module, whose namespace
// holds `function` and `__all__` naming it.
PyResult<Ref> module_for_current_interpreter(PyMethodDef* function);

}  // namespace mendseqs::py
