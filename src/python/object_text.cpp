#include "python/object_text.hpp"

#include "python/ref.hpp"

namespace mendseqs::py {

std::string lenient_utf8(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(utf8, size);
  PyErr_Clear();
  Ref encoded = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  if (!encoded) {
    PyErr_Clear();
    return std::string();
  }
  // Each byte of a surrogate's encoding is a maximal ill-formed subpart of
  // its own, so the decoder's "replace" handler gives U+FFFD per byte.
  Ref replaced =
      Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()), "replace"));
  const char* utf8 = replaced ? PyUnicode_AsUTF8AndSize(replaced.get(), &size) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    return std::string();
  }
  return std::string(utf8, static_cast<size_t>(size));
}

std::string object_text(PyObject* object) {
  if (Ref text = Ref::steal(PyObject_Str(object))) return lenient_utf8(text.get());
  PyErr_WriteUnraisable(object);
  if (Ref name = Ref::steal(PyType_GetName(Py_TYPE(object))))
    return "<unprintable " + lenient_utf8(name.get()) + " object>";
  PyErr_Clear();
  return "<unprintable object>";
}

std::string describe_exception(PyObject* exception) {
  std::string description = "PyErr { type: " + object_text(reinterpret_cast<PyObject*>(Py_TYPE(exception))) +
                            ", value: " + object_text(exception) + ", traceback: ";
  Ref traceback = Ref::steal(PyException_GetTraceback(exception));
  description += traceback ? object_text(traceback.get()) : "None";
  return description + " }";
}

}  // namespace mendseqs::py
