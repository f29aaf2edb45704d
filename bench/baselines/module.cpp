// mendseqs_baselines: the benchmark's baselines as a Python module, so the
// benchmark runs them on the same inputs in the same process as mendseqs.
//   naive(ref_seqs, query_seqs, max_flex) -> list[str]
//   rapidfuzz(ref_seqs, query_seqs, max_flex) -> list[str]
//   nearest_rapidfuzz(ref_seqs, query_seqs, max_flex) -> list[tuple]
//   accepted_counts(ref_seqs, query_seqs, max_flex) -> list[int]
// Single-threaded; no progress output; RuntimeError where the guard fires.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "baselines/baselines.hpp"

namespace {

std::optional<baselines::Strings> strings_from(PyObject* list) {
  PyObject* items = PySequence_Fast(list, "expected a sequence of str");
  if (!items) return std::nullopt;
  baselines::Strings out;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(PySequence_Fast_GET_ITEM(items, i), &size);
    if (!text) {
      Py_DECREF(items);
      return std::nullopt;
    }
    out.emplace_back(text, static_cast<size_t>(size));
  }
  Py_DECREF(items);
  return out;
}

PyObject* list_from(const baselines::Strings& strings) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(strings.size()));
  if (!list) return nullptr;
  for (size_t i = 0; i < strings.size(); ++i) {
    PyObject* item = PyUnicode_FromStringAndSize(strings[i].data(), static_cast<Py_ssize_t>(strings[i].size()));
    if (!item) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

using Loop = baselines::Strings (*)(const baselines::Strings&, const baselines::Strings&, intptr_t);

PyObject* run(PyObject* args, Loop loop) {
  PyObject *references, *queries;
  Py_ssize_t max_flex;
  if (!PyArg_ParseTuple(args, "OOn", &references, &queries, &max_flex)) return nullptr;
  auto refs = strings_from(references);
  auto qs = refs ? strings_from(queries) : std::nullopt;
  if (!qs) return nullptr;
  try {
    return list_from(loop(*refs, *qs, max_flex));
  } catch (const baselines::GuardTripped& guard) {
    PyErr_SetString(PyExc_RuntimeError, guard.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return nullptr;
}

PyObject* nearest_rapidfuzz(PyObject*, PyObject* args) {
  PyObject *references, *queries;
  Py_ssize_t max_flex;
  if (!PyArg_ParseTuple(args, "OOn", &references, &queries, &max_flex)) return nullptr;
  auto refs = strings_from(references);
  auto qs = refs ? strings_from(queries) : std::nullopt;
  if (!qs) return nullptr;
  std::vector<baselines::NearestFound> found;
  try {
    found = baselines::nearest_rapidfuzz(*refs, *qs, max_flex);
  } catch (const baselines::GuardTripped& guard) {
    PyErr_SetString(PyExc_RuntimeError, guard.what());
    return nullptr;
  }
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(found.size()));
  for (size_t q = 0; list && q < found.size(); ++q) {
    const baselines::NearestFound& f = found[q];
    PyObject* item = f.index < 0 ? Py_BuildValue("(sOOn)", "", Py_None, Py_None, Py_ssize_t{0})
                     : f.runner_up < 0
                         ? Py_BuildValue("(s#nOn)", (*refs)[f.index].data(), (Py_ssize_t)(*refs)[f.index].size(),
                                         (Py_ssize_t)f.distance, Py_None, (Py_ssize_t)f.ties)
                         : Py_BuildValue("(s#nnn)", (*refs)[f.index].data(), (Py_ssize_t)(*refs)[f.index].size(),
                                         (Py_ssize_t)f.distance, (Py_ssize_t)f.runner_up, (Py_ssize_t)f.ties);
    if (!item) {
      Py_CLEAR(list);
      break;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(q), item);
  }
  return list;
}

PyObject* accepted_counts(PyObject*, PyObject* args) {
  PyObject *references, *queries;
  Py_ssize_t max_flex;
  if (!PyArg_ParseTuple(args, "OOn", &references, &queries, &max_flex)) return nullptr;
  auto refs = strings_from(references);
  auto qs = refs ? strings_from(queries) : std::nullopt;
  if (!qs) return nullptr;
  std::vector<size_t> counts;
  Py_BEGIN_ALLOW_THREADS counts = baselines::accepted_counts(*refs, *qs, max_flex);
  Py_END_ALLOW_THREADS PyObject* list = PyList_New(static_cast<Py_ssize_t>(counts.size()));
  for (size_t q = 0; list && q < counts.size(); ++q)
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(q), PyLong_FromSize_t(counts[q]));
  return list;
}

PyObject* naive(PyObject*, PyObject* args) { return run(args, baselines::correct_naive); }
PyObject* rapidfuzz(PyObject*, PyObject* args) { return run(args, baselines::correct_rapidfuzz); }

PyMethodDef methods[] = {
    {"naive", naive, METH_VARARGS, "The full-table loop."},
    {"rapidfuzz", rapidfuzz, METH_VARARGS, "The loop with rapidfuzz::CachedLCSseq."},
    {"nearest_rapidfuzz", nearest_rapidfuzz, METH_VARARGS,
     "The nearest accepted reference, every reference scored with CachedLCSseq: (reference, distance, runner_up, "
     "ties)."},
    {"accepted_counts", accepted_counts, METH_VARARGS, "How many references each query accepts."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "mendseqs_baselines", nullptr, 0, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_mendseqs_baselines() { return PyModule_Create(&module); }
