#include "python/molecule.hpp"

#include <string>

namespace mendseqs::py {
namespace {

PyStructSequence_Field molecule_fields[] = {
    {"segment", "0-based order of this molecule in its read, by flank position"},
    {"strand", "'+' when the read holds the flank then the barcode as written, '-' for their reverse complement"},
    {"flank_start", "where the flank starts in the read as given, or None"},
    {"flank_end", "where it ends (half-open), or None"},
    {"flank_edits", "edits of the flank's alignment, or None"},
    {"barcode_start", "the raw barcode's span in the read as given, or None"},
    {"barcode_end", "its end (half-open), or None"},
    {"raw_barcode", "the barcode as read, oriented as written; \"\" when none"},
    {"barcode", "the whitelist entry assigned, as listed; \"\" when none"},
    {"distance", "the edits (substitutions, insertions, deletions) of the entry's own alignment in the read, or None"},
    {"runner_up", "the next candidate's own edits, or None"},
    {"ties", "how many entries share the smallest distance"},
    {"umi_start", "the UMI's span in the read as given, or None"},
    {"umi_end", "its end (half-open), or None"},
    {"umi", "the UMI as read, oriented as written; \"\" when none"},
    {"insert_start", "the cDNA's span in the read as given"},
    {"insert_end", "its end (half-open)"},
    {"status", "'assigned', 'ambiguous', 'no_match', 'no_flank' or 'both_strands'"},
    {nullptr, nullptr},
};

PyStructSequence_Desc molecule_description = {
    "mendseqs.Molecule",
    "One molecule found in a read: where its flank, barcode, UMI and cDNA are, and its barcode's assignment.",
    molecule_fields,
    18,
};

PyObject* molecule_type = nullptr;  // made with the module, never released

Ref text(std::string_view value) {
  Ref object = Ref::steal(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
  if (!object) api_call_failed();
  return object;
}

// An int, or None for a coordinate or distance that does not exist.
PyObject* number(size_t value) {
  if (value == no_coordinate) return Py_NewRef(Py_None);
  PyObject* object = PyLong_FromSize_t(value);
  if (!object) api_call_failed();
  return object;
}

}  // namespace

MoleculeStrings::MoleculeStrings() : plus_(text("+")), minus_(text("-")), empty_(text("")) {
  for (size_t s = 0; s < 5; ++s) statuses_[s] = text(tag_status_name(static_cast<TagStatus>(s)));
}

Ref molecule_object(const TaggedMolecule& molecule, PyObject* barcode, const MoleculeStrings& strings) {
  Ref item = Ref::steal(PyStructSequence_New(reinterpret_cast<PyTypeObject*>(molecule_type)));
  if (!item) api_call_failed();
  PyObject* object = item.get();
  const auto set = [&](Py_ssize_t field, PyObject* value) { PyStructSequence_SetItem(object, field, value); };
  static_assert(no_distance == no_coordinate);
  set(0, number(molecule.segment));
  set(1, Py_NewRef(strings.strand(molecule.reverse)));
  set(2, number(molecule.flank_start));
  set(3, number(molecule.flank_end));
  set(4, number(molecule.flank_edits));
  set(5, number(molecule.barcode_start));
  set(6, number(molecule.barcode_end));
  set(7, molecule.raw_barcode.empty() ? Py_NewRef(strings.empty()) : text(molecule.raw_barcode).release());
  set(8, Py_NewRef(barcode));
  set(9, number(molecule.match.distance));
  set(10, number(molecule.match.runner_up));
  set(11, number(molecule.match.ties));
  set(12, number(molecule.umi_start));
  set(13, number(molecule.umi_end));
  set(14, molecule.umi.empty() ? Py_NewRef(strings.empty()) : text(molecule.umi).release());
  set(15, number(molecule.insert_start));
  set(16, number(molecule.insert_end));
  set(17, Py_NewRef(strings.status(molecule.status)));
  return item;
}

PyResult<void> add_molecule(PyObject* module) {
  if (!molecule_type) {
    molecule_type = reinterpret_cast<PyObject*>(PyStructSequence_NewType(&molecule_description));
    if (!molecule_type) return Unexpected(fetch_error());
  }
  if (PyModule_AddObjectRef(module, "Molecule", molecule_type) == -1) return Unexpected(fetch_error());
  return {};
}

}  // namespace mendseqs::py
