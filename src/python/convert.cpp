#include "python/convert.hpp"

#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "engine/panic.hpp"
#include "python/once.hpp"
#include "python/text.hpp"

namespace mendseqs::py {
namespace {

constexpr const char* out_of_range = "out of range integral type conversion attempted";

PyObject* sequence_class = nullptr;  // collections.abc.Sequence, looked up once, never released
CreationLock sequence_class_lock;

// collections.abc.Sequence, for messages about objects that are not one.
PyObject* sequence_abc() {
  if (sequence_class) return sequence_class;
  CreationGuard guard(sequence_class_lock);
  if (sequence_class) return sequence_class;
  Ref name = Ref::steal(PyUnicode_FromString("collections.abc"));
  if (!name) api_call_failed();
  Ref abc = Ref::steal(PyImport_Import(name.get()));
  Ref found = abc ? Ref::steal(PyObject_GetAttrString(abc.get(), "Sequence")) : Ref();
  if (!found || !PyType_Check(found.get())) {
    std::string description = "the attribute is not a class";
    if (!found) {
      PendingError error = fetch_error();
      description = error.object() ? describe_exception(error.object()) : "no exception set";
    }
    panic("called `Result::unwrap()` on an `Err` value: " + description);
  }
  if (!sequence_class) sequence_class = found.release();  // else a nested lookup won
  return sequence_class;
}

std::string qualified_name(PyTypeObject* type) {
  if (Ref name = Ref::steal(PyType_GetQualName(type))) return lenient_utf8(name.get());
  PyErr_Clear();
  return "<failed to extract type name>";
}

Failure cast_error(PyObject* source, PyTypeObject* target) {
  return fail(PyExc_TypeError, "'" + qualified_name(Py_TYPE(source)) + "' object cannot be cast as '" +
                                   qualified_name(target) + "'");
}

// One item into one entry: a copy of the interpreter's own UTF-8 of a str.
PyResult<Sequence> extract_string(PyObject* item) {
  if (!PyUnicode_Check(item)) return cast_error(item, &PyUnicode_Type);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
  if (!utf8) return Failure(fetch_error());
  return Sequence(utf8, static_cast<size_t>(size));
}

// Room for the reported number of entries, if that is at all possible: a
// __len__ may report far more than it yields, or than memory holds.
void reserve_reported(SequenceList& list, PyObject* object) {
  const Py_ssize_t reported = PyObject_Size(object);
  if (reported < 0) {
    (void)take_error();  // the caller's __len__ failing is not our failure
    return;
  }
  try {
    list.reserve(static_cast<size_t>(reported));
  } catch (const std::length_error&) {
  } catch (const std::bad_alloc&) {
  }
}

PyResult<SequenceList> extract_sequence(PyObject* object) {
  if (PyUnicode_Check(object)) return fail(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) return cast_error(object, reinterpret_cast<PyTypeObject*>(sequence_abc()));

  SequenceList list;
  reserve_reported(list, object);
  Ref iterator = Ref::steal(PyObject_GetIter(object));
  if (!iterator) return Failure(fetch_error());
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    PyResult<Sequence> entry = extract_string(item.get());
    if (!entry) return Failure(std::move(entry.error()));
    list.push_back(std::move(*entry));
  }
  if (std::optional<PendingError> error = take_error()) return Failure(std::move(*error));
  return list;
}

}  // namespace

PyResult<SequenceList> extract_sequence_list(PyObject* object, const char* parameter) {
  PyResult<SequenceList> list = extract_sequence(object);
  if (!list) return Failure(argument_extraction_error(parameter, std::move(list.error())));
  return list;
}

PyResult<intptr_t> extract_tolerance(PyObject* object) {
  const long long value = PyLong_AsLongLong(object);
  if (value == -1)
    if (std::optional<PendingError> error = take_error()) return Failure(std::move(*error));
  if (value < std::numeric_limits<intptr_t>::min() || value > std::numeric_limits<intptr_t>::max())
    return fail(PyExc_OverflowError, out_of_range);
  return static_cast<intptr_t>(value);
}

PyResult<uint32_t> extract_thread_count(PyObject* object) {
  unsigned long long value;
  if (PyLong_Check(object)) {
    value = PyLong_AsUnsignedLongLong(object);
  } else {
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) return Failure(fetch_error());
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == std::numeric_limits<unsigned long long>::max())
    if (std::optional<PendingError> error = take_error()) return Failure(std::move(*error));
  if (value > std::numeric_limits<uint32_t>::max()) return fail(PyExc_OverflowError, out_of_range);
  return static_cast<uint32_t>(value);
}

PendingError argument_extraction_error(const char* parameter, PendingError error) {
  if (error.type() != PyExc_TypeError) return error;  // exactly TypeError, not a subclass
  Ref value;
  if (error.object()) {
    value = Ref::borrow(error.object());
  } else {
    // Made now only to be described, as it would have been when raised.
    std::move(error).raise();
    value = Ref::steal(PyErr_GetRaisedException());
    if (!value) api_call_failed();
  }
  const std::string message = "argument '" + std::string(parameter) + "': " + object_text(value.get());
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) api_call_failed();
  Ref wrapped = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  if (!wrapped) api_call_failed();
  PyException_SetCause(wrapped.get(), PyException_GetCause(value.get()));  // steals the cause
  return PendingError::of_object(std::move(wrapped));
}

Ref to_python_list(const SequenceList& sequences) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(sequences.size())));
  if (!list) api_call_failed();
  for (size_t i = 0; i < sequences.size(); ++i) {
    const Sequence& sequence = sequences[i];
    PyObject* text = PyUnicode_FromStringAndSize(sequence.data(), static_cast<Py_ssize_t>(sequence.size()));
    if (!text) api_call_failed();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list;
}

}  // namespace mendseqs::py
