#include "python/layout.hpp"

#include <memory>
#include <string>

#include "python/barrier.hpp"
#include "python/once.hpp"

namespace mendseqs::py {
namespace {

struct LayoutObject {
  PyObject_HEAD
      // Owned; tp_alloc zero-fills the object and constructs nothing in it.
      Layout* layout;
};

PyObject* layout_type_object = nullptr;  // process-wide, never released
CreationLock layout_type_lock;

const Layout& held(PyObject* self) noexcept { return *reinterpret_cast<LayoutObject*>(self)->layout; }

PyResult<Ref> new_layout(PyTypeObject* type, Layout layout) {
  auto owned = std::make_unique<Layout>(std::move(layout));
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return Unexpected(fetch_error());
  reinterpret_cast<LayoutObject*>(self)->layout = owned.release();
  return Ref::steal(self);
}

PyResult<std::string> ascii_text(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (!data) return Unexpected(fetch_error());
  return std::string(data, static_cast<size_t>(size));
}

PyResult<Ref> construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"flank", "barcode_length", "umi_length", "after_umi", "cdna_sense", "name", nullptr};
  PyObject *flank = nullptr, *after_umi = nullptr, *cdna_sense = Py_False, *name = nullptr;
  Py_ssize_t barcode_length = 0, umi_length = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UnnU|$O!U:Layout", const_cast<char**>(keywords), &flank,
                                   &barcode_length, &umi_length, &after_umi, &PyBool_Type, &cdna_sense, &name))
    return Unexpected(fetch_error());
  if (barcode_length < 1) return fail(PyExc_ValueError, "barcode_length must be at least 1");
  if (umi_length < 0) return fail(PyExc_ValueError, "umi_length must not be negative");
  Layout layout;
  for (auto [object, field] : {std::pair{flank, &layout.flank}, std::pair{after_umi, &layout.after_umi}}) {
    PyResult<std::string> text = ascii_text(object);
    if (!text) return Unexpected(std::move(text.error()));
    *field = std::move(*text);
  }
  if (name) {
    PyResult<std::string> text = ascii_text(name);
    if (!text) return Unexpected(std::move(text.error()));
    layout.name = std::move(*text);
  }
  layout.barcode_length = static_cast<size_t>(barcode_length);
  layout.umi_length = static_cast<size_t>(umi_length);
  layout.cdna_sense = cdna_sense == Py_True;
  if (std::optional<std::string> error = normalise_layout(layout)) return fail(PyExc_ValueError, std::move(*error));
  return new_layout(type, std::move(layout));
}

PyObject* layout_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return run_in_barrier([&] { return construct(type, args, kwargs); });
}

void layout_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<LayoutObject*>(self)->layout;  // NOLINT(cppcoreguidelines-owning-memory)
  type->tp_free(self);
  Py_DECREF(type);
}

std::string known_presets() {
  std::string list;
  for (const std::string_view name : layout_presets()) list += (list.empty() ? "" : ", ") + std::string(name);
  return list;
}

PyResult<Ref> preset(PyObject* cls, PyObject* name) {
  if (!PyUnicode_Check(name))
    return fail(PyExc_TypeError, std::string("a preset's name is a str, not '") + Py_TYPE(name)->tp_name + "'");
  PyResult<std::string> text = ascii_text(name);
  if (!text) return Unexpected(std::move(text.error()));
  std::optional<Layout> layout = layout_preset(*text);
  if (!layout) return fail(PyExc_ValueError, "no layout preset named '" + *text + "' (known: " + known_presets() + ")");
  return new_layout(reinterpret_cast<PyTypeObject*>(cls), std::move(*layout));
}

PyObject* layout_preset_method(PyObject* cls, PyObject* name) {
  return run_in_barrier([&] { return preset(cls, name); });
}

PyObject* text_object(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* get_name(PyObject* self, void*) { return text_object(held(self).name); }
PyObject* get_flank(PyObject* self, void*) { return text_object(held(self).flank); }
PyObject* get_after_umi(PyObject* self, void*) { return text_object(held(self).after_umi); }
PyObject* get_barcode_length(PyObject* self, void*) { return PyLong_FromSize_t(held(self).barcode_length); }
PyObject* get_umi_length(PyObject* self, void*) { return PyLong_FromSize_t(held(self).umi_length); }
PyObject* get_cdna_sense(PyObject* self, void*) { return PyBool_FromLong(held(self).cdna_sense); }

PyObject* layout_repr(PyObject* self) {
  const Layout& layout = held(self);
  Ref flank = Ref::steal(text_object(layout.flank));
  Ref after_umi = Ref::steal(text_object(layout.after_umi));
  Ref name = Ref::steal(text_object(layout.name));
  if (!flank || !after_umi || !name) return nullptr;
  return PyUnicode_FromFormat("mendseqs.Layout(%R, %zu, %zu, %R, cdna_sense=%s, name=%R)", flank.get(),
                              layout.barcode_length, layout.umi_length, after_umi.get(),
                              layout.cdna_sense ? "True" : "False", name.get());
}

PyMethodDef layout_methods[] = {
    {"preset", layout_preset_method, METH_O | METH_CLASS,
     "preset($cls, name, /)\n--\n\n"
     "The layout of a kit: one of Layout.presets."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef layout_getset[] = {
    {"name", get_name, nullptr, "The kit's name, or the one given to a custom layout.", nullptr},
    {"flank", get_flank, nullptr, "The end of Read 1 before the barcode, as written (upper case).", nullptr},
    {"barcode_length", get_barcode_length, nullptr, "Letters of the cell barcode.", nullptr},
    {"umi_length", get_umi_length, nullptr, "Letters of the UMI.", nullptr},
    {"after_umi", get_after_umi, nullptr, "What follows the UMI: polyT (a run of T) or the TSO.", nullptr},
    {"cdna_sense", get_cdna_sense, nullptr, "Whether the cDNA after after_umi reads as the mRNA.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot layout_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(layout_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(layout_dealloc)},
    {Py_tp_methods, layout_methods},
    {Py_tp_getset, layout_getset},
    {Py_tp_repr, reinterpret_cast<void*>(layout_repr)},
    {Py_tp_doc, const_cast<char*>(
                    "Layout(flank, barcode_length, umi_length, after_umi, *, cdna_sense=False, name='custom')\n--\n\n"
                    "What surrounds the cell barcode and the UMI in one library kit.")},
    {0, nullptr},
};

PyType_Spec layout_spec = {
    "mendseqs.Layout", sizeof(LayoutObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, layout_slots,
};

// Layout.presets: the names, as a tuple in the type's own dictionary (an
// immutable type takes no attribute from outside).
PyResult<void> add_presets(PyObject* type) {
  Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(layout_presets().size())));
  if (!names) return Unexpected(fetch_error());
  for (size_t i = 0; i < layout_presets().size(); ++i) {
    PyObject* name =
        PyUnicode_FromStringAndSize(layout_presets()[i].data(), static_cast<Py_ssize_t>(layout_presets()[i].size()));
    if (!name) return Unexpected(fetch_error());
    PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
  }
  Ref dictionary = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type)));
  if (!dictionary || PyDict_SetItemString(dictionary.get(), "presets", names.get()) == -1)
    return Unexpected(fetch_error());
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
  return {};
}

}  // namespace

PyResult<Ref> layout_type() {
  if (layout_type_object) return Ref::borrow(layout_type_object);
  CreationGuard guard(layout_type_lock);
  if (layout_type_object) return Ref::borrow(layout_type_object);
  Ref type = Ref::steal(PyType_FromSpec(&layout_spec));
  if (!type) return Unexpected(fetch_error());
  if (PyResult<void> added = add_presets(type.get()); !added) return Unexpected(std::move(added.error()));
  if (!layout_type_object) layout_type_object = type.release();
  return Ref::borrow(layout_type_object);
}

const Layout* layout_of(PyObject* object) noexcept {
  if (!layout_type_object || !PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(layout_type_object)))
    return nullptr;
  return &held(object);
}

}  // namespace mendseqs::py
