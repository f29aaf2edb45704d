#include "python/nearest.hpp"

#include "python/barrier.hpp"
#include "python/binding.hpp"
#include "python/hooks.hpp"

namespace mendseqs::py {
namespace {

PyStructSequence_Field nearest_fields[] = {
    {"reference", "the accepted reference at the smallest distance, the earliest among equals; \"\" for none"},
    {"distance", "len(query) + len(reference) - 2 * LCS, or None"},
    {"runner_up", "the smallest distance among the other accepted references, or None"},
    {"ties", "how many accepted references share the smallest distance (0 when none)"},
    {nullptr, nullptr},
};

PyStructSequence_Desc nearest_description = {
    "mendseqs.Nearest",
    "The nearest accepted reference of one query: (reference, distance, runner_up, ties).",
    nearest_fields,
    4,
};

// Made with the module, once per process, never released: every result of
// every call is an instance.
PyObject* nearest_type = nullptr;

Ref distance_object(size_t distance) {
  Ref object = distance == no_distance ? Ref::borrow(Py_None) : Ref::steal(PyLong_FromSize_t(distance));
  if (!object) api_call_failed();
  return object;
}

constexpr FunctionDescription nearest_function_description{"nearest",
                                                           {"ref_seqs", "query_seqs", "max_flex", "threads"}};

PyResult<Ref> nearest_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyResult<ArgumentSlots> slots = extract_arguments_fastcall(nearest_function_description, args, nargs, kwnames);
  if (!slots) return Unexpected(std::move(slots.error()));
  auto [ref_arg, query_arg, max_flex_arg, threads_arg] = *slots;

  // The same conversions, in the same order, as correct_seq_mt's.
  PyResult<StrList> ref_seqs = extract_str_list(ref_arg);
  if (!ref_seqs) return Unexpected(argument_extraction_error("ref_seqs", std::move(ref_seqs.error())));
  PyResult<StrList> query_seqs = extract_str_list(query_arg);
  if (!query_seqs) return Unexpected(argument_extraction_error("query_seqs", std::move(query_seqs.error())));
  PyResult<intptr_t> max_flex = extract_max_flex(max_flex_arg);
  if (!max_flex) return Unexpected(argument_extraction_error("max_flex", std::move(max_flex.error())));
  PyResult<uint32_t> threads = extract_thread_count(threads_arg);
  if (!threads) return Unexpected(argument_extraction_error("threads", std::move(threads.error())));

  // The lock is let go while the engine runs: it reads the strings in
  // place, kept alive by the lists' own references, and touches no object.
  PyResult<std::vector<NearestMatch>> found = without_lock(
      [&](CallerHooks& hooks) { return nearest(ref_seqs->texts(), query_seqs->texts(), *max_flex, *threads, hooks); });
  if (!found) return Unexpected(std::move(found.error()));
  query_seqs->release();  // before the results: the call's peak stays low
  return to_nearest_list(*found, *ref_seqs);
}

PyObject* nearest_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_in_barrier([&] { return nearest_body(args, nargs, kwnames); });
}

PyMethodDef nearest_definition = {
    "nearest",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(nearest_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "nearest(ref_seqs, query_seqs, max_flex, threads)\n--\n\n"
    "Each query's nearest accepted reference, as a Nearest. Accepted means what\n"
    "correct_seq_mt accepts; every reference that passes both filters is examined,\n"
    "so any of them tripping the tolerance guard fails the call: PanicException with\n"
    "the guard's own message, on any number of threads.",
};

}  // namespace

Ref nearest_object(const NearestMatch& match, PyObject* reference) {
  Ref item = Ref::steal(PyStructSequence_New(reinterpret_cast<PyTypeObject*>(nearest_type)));
  if (!item) api_call_failed();
  Ref ties = Ref::steal(PyLong_FromSize_t(match.ties));
  if (!ties) api_call_failed();
  PyStructSequence_SetItem(item.get(), 0, Py_NewRef(reference));
  PyStructSequence_SetItem(item.get(), 1, distance_object(match.distance).release());
  PyStructSequence_SetItem(item.get(), 2, distance_object(match.runner_up).release());
  PyStructSequence_SetItem(item.get(), 3, ties.release());
  return item;
}

Ref to_nearest_list(std::span<const NearestMatch> found, const StrList& references) {
  MatchedStrings strings(references);
  return to_nearest_list(found, [&](Position position) { return strings.get(position); });
}

PyResult<void> add_nearest(PyObject* module) {
  if (!nearest_type) {
    nearest_type = reinterpret_cast<PyObject*>(PyStructSequence_NewType(&nearest_description));
    if (!nearest_type) return Unexpected(fetch_error());
  }
  if (PyModule_AddObjectRef(module, "Nearest", nearest_type) == -1) return Unexpected(fetch_error());
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return Unexpected(fetch_error());
  Ref function = Ref::steal(PyCMethod_New(&nearest_definition, module, name.get(), nullptr));
  if (!function) return Unexpected(fetch_error());
  if (PyModule_AddObjectRef(module, "nearest", function.get()) == -1) return Unexpected(fetch_error());
  return {};
}

}  // namespace mendseqs::py
