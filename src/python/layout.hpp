// mendseqs.Layout: what surrounds the barcode and the UMI in one library
// kit (engine/tag.hpp), made from its parts or taken from the presets.
// An attribute of the module, never in its __all__.
#pragma once

#include <Python.h>

#include "engine/tag.hpp"
#include "python/errors.hpp"

namespace mendseqs::py {

// The type, made once per process, never released; a new reference.
PyResult<Ref> layout_type();

// The layout an object holds, or null when it is no Layout.
const Layout* layout_of(PyObject* object) noexcept;

}  // namespace mendseqs::py
