// mendseqs: snaps every query sequence to the first reference close enough
// to it. This file is the module's door: its entry point, and the road of
// one call of correct_seq_mt from Python objects to the engine and back.
#include <Python.h>

#include "engine/driver.hpp"
#include "engine/isa.hpp"
#include "python/barrier.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/module.hpp"

namespace mendseqs {
namespace {

constexpr py::FunctionDescription correct_seq_mt_description{
    "correct_seq_mt", {"ref_seqs", "query_seqs", "max_flex", "threads"}};

py::PyResult<py::Ref> correct_seq_mt_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  py::PyResult<py::ArgumentSlots> slots =
      py::extract_arguments_fastcall(correct_seq_mt_description, args, nargs, kwnames);
  if (!slots) return py::Failure(std::move(slots.error()));
  auto [ref_arg, query_arg, max_flex_arg, threads_arg] = *slots;

  // Converted in parameter order; the first bad argument ends the call
  // before anything is printed.
  py::PyResult<SequenceList> ref_seqs = py::extract_sequence_list(ref_arg, "ref_seqs");
  if (!ref_seqs) return py::Failure(std::move(ref_seqs.error()));
  py::PyResult<SequenceList> query_seqs = py::extract_sequence_list(query_arg, "query_seqs");
  if (!query_seqs) return py::Failure(std::move(query_seqs.error()));
  py::PyResult<intptr_t> max_flex = py::extract_tolerance(max_flex_arg);
  if (!max_flex) return py::Failure(py::argument_extraction_error("max_flex", std::move(max_flex.error())));
  py::PyResult<uint32_t> threads = py::extract_thread_count(threads_arg);
  if (!threads) return py::Failure(py::argument_extraction_error("threads", std::move(threads.error())));

  // The interpreter lock stays held: the workers never touch Python, and
  // the caller expects the call to be atomic with respect to other threads.
  const SequenceList corrected =
      correct_seq_mt(std::move(*ref_seqs), std::move(*query_seqs), *max_flex, *threads);
  return py::to_python_list(corrected);
}

PyObject* correct_seq_mt_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return py::run_in_barrier([&] { return correct_seq_mt_body(args, nargs, kwnames); });
}

PyMethodDef correct_seq_mt_definition = {
    "correct_seq_mt",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(correct_seq_mt_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "correct_seq_mt(ref_seqs, query_seqs, max_flex, threads)\n--\n\n",
};

}  // namespace
}  // namespace mendseqs

PyMODINIT_FUNC PyInit_mendseqs() {
  return mendseqs::py::run_in_barrier([]() -> mendseqs::py::PyResult<mendseqs::py::Ref> {
    // A test or benchmark that names a kernel must get that kernel or no
    // module at all (MENDSEQS_ISA, see README).
    if (std::optional<std::string> error = mendseqs::isa_override_error())
      return mendseqs::py::fail(PyExc_ImportError, std::move(*error));
    return mendseqs::py::module_for_current_interpreter(&mendseqs::correct_seq_mt_definition);
  });
}
