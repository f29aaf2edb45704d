// Errors of writes to standard output, rendered the two ways messages need:
// a debug form that names the error's kind, and a plain one for people.
#pragma once

#include <string>

namespace mendseqs {

struct IoError {
  // An errno value, or 0 for a write that reported no byte written.
  int code = 0;

  // Os { code: 28, kind: StorageFull, message: "No space left on device" }
  std::string debug() const;
  // No space left on device (os error 28)
  std::string display() const;
};

}  // namespace mendseqs
