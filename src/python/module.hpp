// The module object: created once per process, on the first import by the
// interpreter that owns it, and handed out again on every later import.
#pragma once

#include <Python.h>

#include "python/errors.hpp"

namespace mendseqs::py {

// Adds attributes that stay out of __all__ to the new module.
using AddAttributes = PyResult<void> (*)(PyObject* module);

// Body of PyInit_mendseqs: a new reference to the module, whose namespace
// holds `function` and `__all__` naming it, and what `add` adds.
PyResult<Ref> module_for_current_interpreter(PyMethodDef* function, AddAttributes add);

}  // namespace mendseqs::py
