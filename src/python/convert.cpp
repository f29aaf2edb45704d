#include "python/convert.hpp"

#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "engine/panic.hpp"
#include "python/messages.hpp"  // frozen texts: docs/compatibility.md
#include "python/object_text.hpp"
#include "python/once.hpp"

namespace mendseqs::py {
namespace {

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
    panic(std::string(messages::unwrap_error) + description);
  }
  if (!sequence_class) sequence_class = found.release();  // else a nested lookup won
  return sequence_class;
}

std::string qualified_name(PyTypeObject* type) {
  if (Ref name = Ref::steal(PyType_GetQualName(type))) return lenient_utf8(name.get());
  PyErr_Clear();
  return "<failed to extract type name>";
}

Unexpected cast_error(PyObject* source, PyTypeObject* target) {
  return fail(PyExc_TypeError,
              "'" + qualified_name(Py_TYPE(source)) + "' object cannot be cast as '" + qualified_name(target) + "'");
}

template <class CodeUnit>
bool has_surrogate(const CodeUnit* data, Py_ssize_t length) noexcept {
  for (Py_ssize_t i = 0; i < length; ++i)
    if (data[i] >= 0xD800 && data[i] <= 0xDFFF) return true;
  return false;
}

// A lone surrogate has no UTF-8 form. Latin-1 strings never hold one; for
// the others, the interpreter's own conversion makes the very exception
// (only for strings that have one, so no UTF-8 copy is ever cached).
std::optional<PendingError> surrogate_error(PyObject* item) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(item);
  const void* data = PyUnicode_DATA(item);
  bool found = false;
  switch (PyUnicode_KIND(item)) {
    case PyUnicode_2BYTE_KIND:
      found = has_surrogate(static_cast<const Py_UCS2*>(data), length);
      break;
    case PyUnicode_4BYTE_KIND:
      found = has_surrogate(static_cast<const Py_UCS4*>(data), length);
      break;
    default:
      break;
  }
  if (!found) return std::nullopt;
  if (PyUnicode_AsUTF8AndSize(item, nullptr)) return std::nullopt;
  return fetch_error();
}

// A str whose UTF-8 form exists, or the error of this item.
std::optional<PendingError> check_item(PyObject* item) {
  if (!PyUnicode_Check(item)) return cast_error(item, &PyUnicode_Type).error();
  return surrogate_error(item);
}

// Room for the reported number of entries, if that is at all possible: a
// __len__ may report far more than it yields, or than memory holds.
void reserve_reported(StrList& list, PyObject* object) {
  const Py_ssize_t reported = PyObject_Size(object);
  if (reported < 0) {
    (void)take_error();  // the caller's __len__ failing is not our failure
    return;
  }
  try {
    list.reserve(static_cast<size_t>(reported));
  } catch (const std::length_error&) {
    return;  // a hint too large to act on: the list grows as it is read
  } catch (const std::bad_alloc&) {
    return;  // likewise; reading will find out whether memory really ran out
  }
}

CharWidth width_of(int kind) noexcept {
  return kind == PyUnicode_1BYTE_KIND   ? CharWidth::one
         : kind == PyUnicode_2BYTE_KIND ? CharWidth::two
                                        : CharWidth::four;
}

}  // namespace

PyResult<StrList> extract_str_list(PyObject* object) {
  if (PyUnicode_Check(object)) return fail(PyExc_TypeError, messages::str_is_not_a_list);
  if (!PySequence_Check(object)) return cast_error(object, reinterpret_cast<PyTypeObject*>(sequence_abc()));

  StrList list;
  reserve_reported(list, object);
  // An exact list or tuple is read by index: the same items in the same
  // order as its iterator gives, since no Python code runs meanwhile.
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(object);
    PyObject** items = PySequence_Fast_ITEMS(object);
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (std::optional<PendingError> error = check_item(items[i])) return Unexpected(std::move(*error));
      list.append(Ref::borrow(items[i]));
    }
    return list;
  }
  Ref iterator = Ref::steal(PyObject_GetIter(object));
  if (!iterator) return Unexpected(fetch_error());
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (std::optional<PendingError> error = check_item(item.get())) return Unexpected(std::move(*error));
    list.append(std::move(item));
  }
  if (std::optional<PendingError> error = take_error()) return Unexpected(std::move(*error));
  return list;
}

StrList& StrList::operator=(StrList&& other) noexcept {
  if (this != &other) {
    release();
    texts_ = std::move(other.texts_);
    objects_ = std::move(other.objects_);
  }
  return *this;
}

void StrList::reserve(size_t n) {
  texts_.reserve(n);
  objects_.reserve(n);
}

void StrList::append(Ref item) {
  PyObject* object = item.get();
  texts_.push_back(Text(PyUnicode_DATA(object), static_cast<size_t>(PyUnicode_GET_LENGTH(object)),
                        width_of(PyUnicode_KIND(object))));
  try {
    objects_.push_back(object);
  } catch (...) {
    texts_.pop_back();
    throw;
  }
  item.release();
}

void StrList::release() noexcept {
  for (PyObject* object : objects_) Py_DECREF(object);
  objects_.clear();
  texts_.clear();
  objects_.shrink_to_fit();
  texts_.shrink_to_fit();
}

PyResult<intptr_t> extract_max_flex(PyObject* object) {
  const long long value = PyLong_AsLongLong(object);
  if (value == -1)
    if (std::optional<PendingError> error = take_error()) return Unexpected(std::move(*error));
  if (value < std::numeric_limits<intptr_t>::min() || value > std::numeric_limits<intptr_t>::max())
    return fail(PyExc_OverflowError, messages::out_of_range);
  return static_cast<intptr_t>(value);
}

PyResult<uint32_t> extract_thread_count(PyObject* object) {
  unsigned long long value;
  if (PyLong_Check(object)) {
    value = PyLong_AsUnsignedLongLong(object);
  } else {
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) return Unexpected(fetch_error());
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == std::numeric_limits<unsigned long long>::max())
    if (std::optional<PendingError> error = take_error()) return Unexpected(std::move(*error));
  if (value > std::numeric_limits<uint32_t>::max()) return fail(PyExc_OverflowError, messages::out_of_range);
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

PyObject* MatchedStrings::get(Position position) {
  PyObject* reference = references_.object(position);
  if (PyUnicode_CheckExact(reference)) return reference;
  Ref& copy = exact_copies_[position];
  if (!copy) {
    copy = Ref::steal(PyUnicode_FromKindAndData(PyUnicode_KIND(reference), PyUnicode_DATA(reference),
                                                PyUnicode_GET_LENGTH(reference)));
    if (!copy) api_call_failed();
  }
  return copy.get();
}

Ref to_result_list(std::span<const Position> matched, const StrList& references) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(matched.size())));
  if (!list) api_call_failed();
  Ref empty = Ref::steal(Py_GetConstant(Py_CONSTANT_EMPTY_STR));
  if (!empty) api_call_failed();
  MatchedStrings strings(references);
  for (size_t q = 0; q < matched.size(); ++q) {
    PyObject* result = matched[q] == no_match ? empty.get() : strings.get(matched[q]);
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(q), Py_NewRef(result));
  }
  return list;
}

}  // namespace mendseqs::py
