// The references of a loaded index are no Python objects yet: each one a
// result names becomes one new str, made on first need and shared by every
// query (or molecule) that matched it.
#pragma once

#include <Python.h>

#include <unordered_map>

#include "engine/prepared_references.hpp"
#include "python/ref.hpp"

namespace mendseqs::py {

class LoadedStrings {
 public:
  explicit LoadedStrings(const PreparedReferences& prepared) : prepared_(prepared) {}

  // Borrowed: alive as long as this object.
  PyObject* get(Position position);

 private:
  const PreparedReferences& prepared_;
  std::unordered_map<Position, Ref> made_;
};

}  // namespace mendseqs::py
