// mendseqs: snaps every query sequence to the first reference close enough
// to it. This file is the module's door: its entry point, and the road of
// one call of correct_seq_mt from Python objects to the engine and back.
#include <Python.h>

#include "engine/driver.hpp"
#include "engine/isa_setting.hpp"
#include "python/barrier.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/hooks.hpp"
#include "python/layout.hpp"
#include "python/module.hpp"
#include "python/molecule.hpp"
#include "python/nearest.hpp"
#include "python/reference_index.hpp"

namespace mendseqs {
namespace {

constexpr py::FunctionDescription correct_seq_mt_description{"correct_seq_mt",
                                                             {"ref_seqs", "query_seqs", "max_flex", "threads"}};

py::PyResult<py::Ref> correct_seq_mt_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  py::PyResult<py::ArgumentSlots> slots =
      py::extract_arguments_fastcall(correct_seq_mt_description, args, nargs, kwnames);
  if (!slots) return py::Unexpected(std::move(slots.error()));
  auto [ref_arg, query_arg, max_flex_arg, threads_arg] = *slots;

  // Converted in parameter order; the first bad argument ends the call
  // before anything is printed. The strings are read in place.
  py::PyResult<py::StrList> ref_seqs = py::extract_str_list(ref_arg);
  if (!ref_seqs) return py::Unexpected(py::argument_extraction_error("ref_seqs", std::move(ref_seqs.error())));
  py::PyResult<py::StrList> query_seqs = py::extract_str_list(query_arg);
  if (!query_seqs) return py::Unexpected(py::argument_extraction_error("query_seqs", std::move(query_seqs.error())));
  py::PyResult<intptr_t> max_flex = py::extract_max_flex(max_flex_arg);
  if (!max_flex) return py::Unexpected(py::argument_extraction_error("max_flex", std::move(max_flex.error())));
  py::PyResult<uint32_t> threads = py::extract_thread_count(threads_arg);
  if (!threads) return py::Unexpected(py::argument_extraction_error("threads", std::move(threads.error())));

  // The interpreter lock stays held (the workers never touch Python), but
  // for signal handlers and blocked output: see python/hooks.hpp.
  py::InterpreterHooks hooks;
  std::vector<Position> matched;
  try {
    matched = correct_seq_mt(ref_seqs->texts(), query_seqs->texts(), *max_flex, *threads, hooks);
  } catch (const Interrupted&) {
    return py::Unexpected(hooks.take_interruption());
  }
  query_seqs->release();  // before the result list: the call's peak stays low
  return py::to_result_list(matched, *ref_seqs);
}

PyObject* correct_seq_mt_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::run_in_barrier([&] { return correct_seq_mt_body(args, nargs, kwnames); });
}

PyMethodDef correct_seq_mt_definition = {
    "correct_seq_mt",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(correct_seq_mt_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "correct_seq_mt(ref_seqs, query_seqs, max_flex, threads)\n--\n\n",
};

// The newer API: attributes of the module, but not in __all__, whose one
// name callers rely on (docs/compatibility.md).
py::PyResult<void> add_attributes(PyObject* module) {
  py::PyResult<py::Ref> type = py::reference_index_type();
  if (!type) return py::Unexpected(std::move(type.error()));
  if (PyModule_AddObjectRef(module, "ReferenceIndex", type->get()) == -1) return py::Unexpected(py::fetch_error());
  py::PyResult<py::Ref> layout = py::layout_type();
  if (!layout) return py::Unexpected(std::move(layout.error()));
  if (PyModule_AddObjectRef(module, "Layout", layout->get()) == -1) return py::Unexpected(py::fetch_error());
  if (py::PyResult<void> added = py::add_molecule(module); !added) return py::Unexpected(std::move(added.error()));
  return py::add_nearest(module);
}

}  // namespace
}  // namespace mendseqs

PyMODINIT_FUNC PyInit_mendseqs() {
  return mendseqs::py::run_in_barrier([]() -> mendseqs::py::PyResult<mendseqs::py::Ref> {
    // A test or benchmark that names a kernel must get that kernel or no
    // module at all (MENDSEQS_ISA, see README).
    if (std::optional<std::string> error = mendseqs::isa_override_error())
      return mendseqs::py::fail(PyExc_ImportError, std::move(*error));
    return mendseqs::py::module_for_current_interpreter(&mendseqs::correct_seq_mt_definition,
                                                        &mendseqs::add_attributes);
  });
}
