// mendseqs.ReferenceIndex: a reference list prepared once for one max_flex
// (engine/prepared_references.hpp), corrected against any number of times,
// saved to a file and loaded again.
#pragma once

#include <Python.h>

#include "engine/prepared_references.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace mendseqs::py {

// The type, made once per process (the module is single-phase), never
// released; a new reference.
PyResult<Ref> reference_index_type();

// For the methods defined in files of their own (python/tag.cpp): what an
// index object holds. `index` must be a ReferenceIndex. The strings are the
// caller's, read in place by a built index; null for a loaded one.
const PreparedReferences& prepared_of(PyObject* index) noexcept;
const StrList* strings_of(PyObject* index) noexcept;

}  // namespace mendseqs::py
