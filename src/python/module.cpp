#include "python/module.hpp"

#include <atomic>
#include <cstdint>

#include "engine/panic.hpp"
#include "python/messages.hpp"  // frozen texts: docs/compatibility.md
#include "python/object_text.hpp"
#include "python/once.hpp"

namespace mendseqs::py {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "mendseqs",
    "A Python module implemented in native code that corrects each query sequence to the first "
    "reference close enough to it.",
    0,        // no per-module state
    nullptr,  // the function is added by the initialiser, not a method table
    nullptr,  // single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

// The first interpreter to import the module owns it: a single-phase module
// holds process-wide state and cannot be shared with subinterpreters.
std::atomic<int64_t> owning_interpreter{-1};

PyObject* module_cache = nullptr;  // created once, never released
CreationLock module_lock;

// Finds the module's __all__, creating it as an empty list when missing.
PyResult<Ref> export_list(PyObject* module) {
  // Made per attempt: a name that failed to be made once must not stay null
  // for every later initialisation.
  Ref all_name = Ref::steal(PyUnicode_InternFromString("__all__"));
  if (!all_name) return Unexpected(fetch_error());
  if (Ref all = Ref::steal(PyObject_GetAttr(module, all_name.get()))) return all;
  PendingError error = fetch_error();
  if (!PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError)) return Unexpected(std::move(error));
  Ref all = Ref::steal(PyList_New(0));
  if (!all) api_call_failed();
  if (PyObject_SetAttr(module, all_name.get(), all.get()) == -1) return Unexpected(fetch_error());
  return all;
}

// Registers the function: its name joins __all__ before the attribute is set.
PyResult<void> initialise(PyObject* module, PyMethodDef* function_definition) {
  Ref function;
  {
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return Unexpected(fetch_error());
    function = Ref::steal(PyCMethod_New(function_definition, module, name.get(), nullptr));
    if (!function) return Unexpected(fetch_error());
  }
  Ref function_name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!function_name) return Unexpected(fetch_error());

  PyResult<Ref> all = export_list(module);
  if (!all) return Unexpected(std::move(all.error()));
  if (PyList_Append(all->get(), function_name.get()) == -1) {
    PendingError error = fetch_error();
    panic(std::string(messages::export_append_failed) +
          (error.object() ? describe_exception(error.object()) : std::string("no exception set")));
  }
  if (PyObject_SetAttr(module, function_name.get(), function.get()) == -1) return Unexpected(fetch_error());
  return {};
}

}  // namespace

PyResult<Ref> module_for_current_interpreter(PyMethodDef* function, AddAttributes add) {
  const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) return Unexpected(fetch_error());
  int64_t owner = -1;
  if (!owning_interpreter.compare_exchange_strong(owner, interpreter) && owner != interpreter)
    return fail(PyExc_ImportError, messages::subinterpreters);

  CreationGuard guard(module_lock);
  if (module_cache) return Ref::borrow(module_cache);

  Ref module = Ref::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
  if (!module) return Unexpected(fetch_error());
  if (PyResult<void> done = initialise(module.get(), function); !done) return Unexpected(std::move(done.error()));
  if (PyResult<void> done = add(module.get()); !done) return Unexpected(std::move(done.error()));
  if (!module_cache) module_cache = module.release();  // else a nested creation won
  return Ref::borrow(module_cache);
}

}  // namespace mendseqs::py
