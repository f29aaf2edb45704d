#include "python/binding.hpp"

#include <string>
#include <vector>

#include "python/object_text.hpp"

namespace mendseqs::py {
namespace {

std::string display_name(const FunctionDescription& function) { return std::string(function.name) + "()"; }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string list;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += names.size() == 2 ? " and " : i + 1 == names.size() ? ", and " : ", ";
    list += "'" + std::string(names[i]) + "'";
  }
  return list;
}

Unexpected too_many_positional(const FunctionDescription& function, Py_ssize_t nargs) {
  return fail(PyExc_TypeError, display_name(function) + " takes " + std::to_string(parameter_count) +
                                   " positional arguments but " + std::to_string(nargs) + " were given");
}

Unexpected missing_arguments(const FunctionDescription& function, const ArgumentSlots& slots) {
  std::vector<std::string_view> missing;
  for (size_t i = 0; i < parameter_count; ++i)
    if (!slots[i]) missing.push_back(function.parameters[i]);
  return fail(PyExc_TypeError, display_name(function) + " missing " + std::to_string(missing.size()) +
                                   " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                   quoted_list(missing));
}

Unexpected unexpected_keyword(const FunctionDescription& function, PyObject* keyword) {
  return fail(PyExc_TypeError,
              display_name(function) + " got an unexpected keyword argument '" + object_text(keyword) + "'");
}

Unexpected multiple_values(const FunctionDescription& function, std::string_view keyword) {
  return fail(PyExc_TypeError,
              display_name(function) + " got multiple values for argument '" + std::string(keyword) + "'");
}

}  // namespace

PyResult<ArgumentSlots> extract_arguments_fastcall(const FunctionDescription& function, PyObject* const* args,
                                                   Py_ssize_t nargs, PyObject* kwnames) {
  ArgumentSlots slots{};
  if (args)
    for (Py_ssize_t i = 0; i < nargs && i < static_cast<Py_ssize_t>(parameter_count); ++i) slots[i] = args[i];
  if (nargs > static_cast<Py_ssize_t>(parameter_count)) return too_many_positional(function, nargs);

  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &size) : nullptr;
    if (!utf8) {
      PyErr_Clear();  // a name without UTF-8 text cannot be one of ours
      return unexpected_keyword(function, keyword);
    }
    const std::string_view name(utf8, static_cast<size_t>(size));
    size_t position = 0;
    while (position < parameter_count && function.parameters[position] != name) ++position;
    if (position == parameter_count) return unexpected_keyword(function, keyword);
    if (slots[position]) return multiple_values(function, name);
    slots[position] = args[nargs + k];
  }

  for (PyObject* slot : slots)
    if (!slot) return missing_arguments(function, slots);
  return slots;
}

}  // namespace mendseqs::py
