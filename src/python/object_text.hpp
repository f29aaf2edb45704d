// Python objects turned into text for messages.
#pragma once

#include <Python.h>

#include <string>

namespace mendseqs::py {

// UTF-8 of a str; a lone surrogate, which has no UTF-8 form, becomes U+FFFD
// for each byte of its surrogatepass encoding. Never fails.
std::string lenient_utf8(PyObject* text);

// str() of any object, leniently in UTF-8. When str() itself raises, the
// exception is reported as unraisable and a placeholder naming the type
// stands in. Never fails.
std::string object_text(PyObject* object);

// Type, value and traceback of an exception, for messages of failures that
// swallow a Python exception.
std::string describe_exception(PyObject* exception);

}  // namespace mendseqs::py
