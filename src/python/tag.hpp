// ReferenceIndex.tag: every read's molecules (engine/tag.hpp) against the
// index's whitelist, as tuples of mendseqs.Molecule.
#pragma once

#include <Python.h>

namespace mendseqs::py {

// The method's entry point and its docstring, for the index's method table.
PyObject* index_tag(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char* const tag_doc;

}  // namespace mendseqs::py
