// Conversions between the Python objects of a call and the engine's values.
#pragma once

#include <Python.h>

#include <cstdint>

#include "engine/sequence.hpp"
#include "python/errors.hpp"

namespace mendseqs::py {

// ref_seqs, query_seqs: any sequence of str, but not a str itself. Each
// string is copied out as its UTF-8 bytes.
PyResult<SequenceList> extract_sequence_list(PyObject* object, const char* parameter);

// max_flex: any integer (or __index__) that fits a pointer-width signed integer.
PyResult<intptr_t> extract_tolerance(PyObject* object);

// threads: any integer (or __index__) from 0 to 4294967295.
PyResult<uint32_t> extract_thread_count(PyObject* object);

// Says which argument a TypeError is about; other exceptions pass unchanged.
PendingError argument_extraction_error(const char* parameter, PendingError error);

// A new list of new str, one per sequence.
Ref to_python_list(const SequenceList& sequences);

}  // namespace mendseqs::py
