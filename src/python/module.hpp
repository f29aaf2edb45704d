// The module object: created once per process, on the first import by the
// interpreter that owns it, and handed out again on every later import.
#pragma once

#include <Python.h>

#include "python/errors.hpp"

namespace mendseqs::py {

// Body of PyInit_mendseqs: a new reference to the module, whose namespace
// holds `function` and `__all__` naming it, and whatever `add_attributes`
// adds when the module is made (names that stay out of __all__).
PyResult<Ref> module_for_current_interpreter(PyMethodDef* function, PyResult<void> (*add_attributes)(PyObject* module));

}  // namespace mendseqs::py
