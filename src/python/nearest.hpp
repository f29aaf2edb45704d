// mendseqs.nearest and mendseqs.Nearest: the nearest accepted reference of
// each query, with its distance, the runner-up's and the count of ties.
// Attributes of the module, never in its __all__.
#pragma once

#include <Python.h>

#include <span>

#include "engine/driver.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace mendseqs::py {

// Adds `Nearest` (the struct sequence type, made once per process) and
// `nearest` (the one-shot function) to the module.
PyResult<void> add_nearest(PyObject* module);

// Per query, a Nearest(reference, distance, runner_up, ties): the matched
// reference as correct_seq_mt's result list holds it ("" for none), the
// distances as int or None.
Ref to_nearest_list(std::span<const NearestMatch> found, const StrList& references);

}  // namespace mendseqs::py
