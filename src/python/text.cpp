#include "python/text.hpp"

#include <cstdint>
#include <string_view>

#include "python/ref.hpp"

namespace mendseqs::py {
namespace {

// Length of the well-formed UTF-8 sequence at the start of `bytes`, or 0.
size_t valid_sequence_length(std::string_view bytes) {
  const auto b = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = b(0);
  if (lead < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead == 0xE0) length = 3, low = 0xA0;
  else if (lead == 0xED) length = 3, high = 0x9F;
  else if (lead >= 0xE1 && lead <= 0xEF) length = 3;
  else if (lead == 0xF0) length = 4, low = 0x90;
  else if (lead == 0xF4) length = 4, high = 0x8F;
  else if (lead >= 0xF1 && lead <= 0xF3) length = 4;
  else return 0;
  for (size_t i = 1; i < length; ++i) {
    if (i >= bytes.size()) return 0;
    const unsigned char lower = i == 1 ? low : 0x80, upper = i == 1 ? high : 0xBF;
    if (b(i) < lower || b(i) > upper) return 0;
  }
  return length;
}

// Decodes UTF-8, replacing each maximal ill-formed subpart by U+FFFD, as
// the Unicode Standard recommends. For the surrogatepass bytes of a lone
// surrogate (ED A0..BF 80..BF) every byte is its own subpart.
std::string replace_invalid_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    size_t length = valid_sequence_length(bytes);
    if (length) {
      out.append(bytes.substr(0, length));
    } else {
      out.append("\xEF\xBF\xBD");
      // A maximal subpart: the longest prefix of a well-formed sequence.
      length = 1;
      for (size_t n = 2; n <= 4 && n <= bytes.size(); ++n) {
        std::string probe(bytes.substr(0, n));
        probe.resize(4, '\x80');
        if (valid_sequence_length(probe) == 0) break;
        length = n;
      }
    }
    bytes.remove_prefix(length);
  }
  return out;
}

}  // namespace

std::string lenient_utf8(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(utf8, size);
  PyErr_Clear();
  Ref encoded = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  if (!encoded) {
    PyErr_Clear();
    return std::string();
  }
  return replace_invalid_utf8(std::string_view(PyBytes_AsString(encoded.get()),
                                               static_cast<size_t>(PyBytes_Size(encoded.get()))));
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
