// Sequences as the engine sees them: owned UTF-8 byte strings, copied out of
// Python before any work starts, so no engine code ever needs the interpreter.
#pragma once

#include <string>
#include <vector>

namespace mendseqs {

using Sequence = std::string;
using SequenceList = std::vector<Sequence>;

}  // namespace mendseqs
