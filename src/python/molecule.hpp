// mendseqs.Molecule: one molecule found in a read (engine/tag.hpp), a
// struct sequence with named fields like Nearest. An attribute of the
// module, never in its __all__.
#pragma once

#include <Python.h>

#include "engine/tag.hpp"
#include "python/errors.hpp"

namespace mendseqs::py {

// Adds `Molecule` (the type, made once per process) to the module.
PyResult<void> add_molecule(PyObject* module);

// The strings a call's molecules share, made once per call.
class MoleculeStrings {
 public:
  MoleculeStrings();
  PyObject* strand(bool reverse) const noexcept { return reverse ? minus_.get() : plus_.get(); }
  PyObject* status(TagStatus status) const noexcept { return statuses_[static_cast<size_t>(status)].get(); }
  PyObject* empty() const noexcept { return empty_.get(); }

 private:
  Ref plus_, minus_, empty_;
  Ref statuses_[5];
};

// One Molecule; `barcode` (borrowed) is the whitelist entry as listed, or
// the empty str.
Ref molecule_object(const TaggedMolecule& molecule, PyObject* barcode, const MoleculeStrings& strings);

}  // namespace mendseqs::py
