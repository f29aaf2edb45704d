#include "python/loaded_strings.hpp"

#include "python/errors.hpp"

namespace mendseqs::py {

PyObject* LoadedStrings::get(Position position) {
  Ref& text = made_[position];
  if (!text) {
    const Text& reference = prepared_.references()[position];
    const int kind = reference.width() == CharWidth::one   ? PyUnicode_1BYTE_KIND
                     : reference.width() == CharWidth::two ? PyUnicode_2BYTE_KIND
                                                           : PyUnicode_4BYTE_KIND;
    text = Ref::steal(PyUnicode_FromKindAndData(kind, reference.data(), static_cast<Py_ssize_t>(reference.length())));
    if (!text) api_call_failed();
  }
  return text.get();
}

}  // namespace mendseqs::py
