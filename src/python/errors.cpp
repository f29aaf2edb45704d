#include "python/errors.hpp"

#include <string_view>

#include "engine/panic.hpp"
#include "python/messages.hpp"  // frozen texts: docs/compatibility.md
#include "python/object_text.hpp"
#include "python/once.hpp"

namespace mendseqs::py {
namespace {

// A message as a str. Messages may quote text from the system (an error
// description in the user's locale) that is not UTF-8; such bytes become
// U+FFFD rather than making the exception impossible to raise.
Ref message_text(std::string_view message) {
  return Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
}

PyObject* panic_type = nullptr;  // process-wide, never released
CreationLock panic_type_lock;

// Takes the pending exception without the PanicException check: used while
// the type does not exist yet, when no exception can be an instance of it.
PendingError fetch_plain() {
  if (Ref exception = Ref::steal(PyErr_GetRaisedException())) return PendingError::of_object(std::move(exception));
  return PendingError::of_type(PyExc_SystemError, messages::no_exception_set);
}

// A PanicException raised by Python code inside one of our calls goes on as
// the unrecoverable failure it was, with its traceback shown first.
[[noreturn]] void resume_panic(Ref exception) {
  std::string message = messages::unwrapped_python_panic;
  if (Ref text = Ref::steal(PyObject_Str(exception.get())))
    message = lenient_utf8(text.get());
  else
    PyErr_Clear();
  write_to_stderr(messages::resume_banner);
  PyErr_SetRaisedException(exception.release());
  PyErr_PrintEx(0);
  throw Panic(std::move(message));  // no second report
}

}  // namespace

PendingError PendingError::of_type(PyObject* type, std::string message) {
  PendingError error;
  error.type_ = type;
  error.message_ = std::move(message);
  return error;
}

PendingError PendingError::of_object(Ref exception) {
  PendingError error;
  error.exception_ = std::move(exception);
  return error;
}

PyObject* PendingError::type() const noexcept {
  return exception_ ? reinterpret_cast<PyObject*>(Py_TYPE(exception_.get())) : type_;
}

void PendingError::raise() && {
  if (exception_) {
    PyErr_SetRaisedException(exception_.release());
    return;
  }
  Ref message = message_text(message_);
  if (!message) api_call_failed();
  PyErr_SetObject(type_, message.get());
}

PendingError fetch_error() {
  Ref exception = Ref::steal(PyErr_GetRaisedException());
  if (!exception) return PendingError::of_type(PyExc_SystemError, messages::no_exception_set);
  if (reinterpret_cast<PyObject*>(Py_TYPE(exception.get())) == panic_exception_type())
    resume_panic(std::move(exception));
  return PendingError::of_object(std::move(exception));
}

std::optional<PendingError> take_error() {
  if (!PyErr_Occurred()) return std::nullopt;
  return fetch_error();
}

[[noreturn]] void api_call_failed(std::source_location where) {
  PyErr_Print();
  panic(messages::api_call_failed, where);
}

PyObject* panic_exception_type() {
  if (panic_type) return panic_type;
  CreationGuard guard(panic_type_lock);
  if (panic_type) return panic_type;
  PyObject* type =
      PyErr_NewExceptionWithDoc(messages::exception_name, messages::exception_doc, PyExc_BaseException, nullptr);
  if (!type) {
    PendingError error = fetch_plain();
    panic(std::string(messages::type_creation_failed) +
          (error.object() ? describe_exception(error.object()) : std::string("no exception set")));
  }
  if (panic_type)  // made meanwhile by a nested creation: keep that one
    Py_DECREF(type);
  else
    panic_type = type;
  return panic_type;
}

void raise_panic(const std::string& message) {
  PyObject* type = panic_exception_type();
  Ref text = message_text(message);
  if (!text) api_call_failed();
  Ref arguments = Ref::steal(PyTuple_New(1));
  if (!arguments) api_call_failed();
  PyTuple_SET_ITEM(arguments.get(), 0, text.release());
  PyErr_SetObject(type, arguments.get());
}

}  // namespace mendseqs::py
