// mendseqs.ReferenceIndex: a reference list prepared once for one max_flex
// (engine/prepared_references.hpp), corrected against any number of times,
// saved to a file and loaded again.
#pragma once

#include <Python.h>

#include "python/errors.hpp"

namespace mendseqs::py {

// The type, made once per process (the module is single-phase), never
// released; a new reference.
PyResult<Ref> reference_index_type();

}  // namespace mendseqs::py
