// mendseqs.nearest and mendseqs.Nearest: the nearest accepted reference of
// each query, with its distance, the runner-up's and the count of ties.
// Attributes of the module, never in its __all__.
#pragma once

#include <Python.h>

#include <span>
#include <type_traits>

#include "engine/driver.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace mendseqs::py {

// Adds `Nearest` (the struct sequence type, made once per process) and
// `nearest` (the one-shot function) to the module.
PyResult<void> add_nearest(PyObject* module);

// One Nearest(reference, distance, runner_up, ties); `reference` borrowed.
Ref nearest_object(const NearestMatch& match, PyObject* reference);

// Per query, a Nearest: the matched reference as `str_for(position)` gives
// it (a borrowed str, alive until the list is made), "" for none; the
// distances as int or None. For references the module holds no object
// for (a loaded index, say), `str_for` makes them.
template <class StrFor>
  requires std::is_invocable_r_v<PyObject*, StrFor&, Position>
Ref to_nearest_list(std::span<const NearestMatch> found, StrFor&& str_for) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
  if (!list) api_call_failed();
  Ref empty = Ref::steal(Py_GetConstant(Py_CONSTANT_EMPTY_STR));
  if (!empty) api_call_failed();
  for (size_t q = 0; q < found.size(); ++q) {
    PyObject* reference = found[q].position == no_match ? empty.get() : str_for(found[q].position);
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(q), nearest_object(found[q], reference).release());
  }
  return list;
}

// The references as correct_seq_mt's result list holds them (MatchedStrings).
Ref to_nearest_list(std::span<const NearestMatch> found, const StrList& references);

}  // namespace mendseqs::py
