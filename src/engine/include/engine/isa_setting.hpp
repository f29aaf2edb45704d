// What the module's initialisation needs to know of the engine's
// instruction set choice (MENDSEQS_ISA; see kernels/simd/isa.hpp).
#pragma once

#include <optional>
#include <string>

namespace mendseqs {

// Why the MENDSEQS_ISA setting cannot be used, naming the value; nullopt
// when it is unset or names a set this processor runs.
std::optional<std::string> isa_override_error();

}  // namespace mendseqs
