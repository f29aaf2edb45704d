// The instruction sets the block kernel and the block filter are compiled
// for, and which one this process uses.
//
// Each set has one table of entry points (kernel_table.hpp), compiled from
// the same generic source (generic.hpp) inside a target region. The set is
// chosen once per process: the fastest the processor and the operating
// system support, or the one named by MENDSEQS_ISA, a testing and
// benchmarking aid that must name a set this processor can run.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace mendseqs {

enum class Isa : uint8_t { portable, avx2, avx512, neon };

inline constexpr Isa all_isas[] = {Isa::portable, Isa::avx2, Isa::avx512, Isa::neon};

std::string_view isa_name(Isa isa) noexcept;
std::optional<Isa> isa_named(std::string_view name) noexcept;

// Compiled into this build, reported by the processor, and its register
// state saved by the operating system.
bool isa_supported(Isa isa) noexcept;

// The supported set used when nothing is asked for.
Isa fastest_isa() noexcept;

// The set a MENDSEQS_ISA value asks for (null or empty: fastest_isa()), or
// the message explaining why it cannot be used.
struct IsaChoice {
  Isa isa;
  std::optional<std::string> error;
};
IsaChoice choose_isa(const char* setting);

// The process's set, from MENDSEQS_ISA read once. Panics when the variable
// is unusable: a misconfigured run must not measure another kernel.
Isa selected_isa();

}  // namespace mendseqs
