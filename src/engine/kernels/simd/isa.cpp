#include "kernels/simd/isa.hpp"

#include <algorithm>
#include <cstdlib>

#include "engine/isa_setting.hpp"
#include "engine/panic.hpp"
#include "kernels/simd/kernel_table.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif
#if defined(__arm__)
#include <sys/auxv.h>
#ifndef HWCAP_NEON
#define HWCAP_NEON (1 << 12)
#endif
#endif

namespace mendseqs {
namespace {

#if defined(__x86_64__)
// The processor must report the instructions and the operating system must
// save the registers they use (XCR0, read with XGETBV): a kernel that does
// not may still run a processor's AVX code, then lose the upper halves of
// the registers at every task switch.
struct X86Features {
  bool avx2 = false;
  bool avx512 = false;
};

X86Features detect_x86() noexcept {
  X86Features found;
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return found;
  const bool osxsave = ecx & (1u << 27), avx = ecx & (1u << 28);
  if (!osxsave || !avx) return found;
  uint32_t xcr0_low, xcr0_high;
  __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  const bool ymm_saved = (xcr0_low & 0x6) == 0x6;                 // SSE and AVX state
  const bool zmm_saved = ymm_saved && (xcr0_low & 0xE0) == 0xE0;  // opmask, upper ZMM, ZMM16-31
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return found;
  found.avx2 = ymm_saved && (ebx & (1u << 5));
  found.avx512 = zmm_saved && (ebx & (1u << 16)) && (ebx & (1u << 30));  // F and BW
  return found;
}

const X86Features& x86_features() noexcept {
  static const X86Features features = detect_x86();
  return features;
}
#endif

#if defined(__arm__)
bool arm_has_neon() noexcept {
  static const bool neon = (getauxval(AT_HWCAP) & HWCAP_NEON) != 0;
  return neon;
}
#endif

// Whether AVX-512BW is taken by default where the processor has it and the
// operating system saves its registers. On: every measurement has it ahead
// of AVX2 (Zen 4, which splits 512-bit operations in two: 1.09x to 1.58x on
// adapter-like input, 1.38x to 1.89x on barcodes; Zen 5: 1.32x to 2.8x),
// and never behind. MENDSEQS_ISA still forces any set.
constexpr bool avx512_by_default = true;

std::string runnable_list() {
  std::string list;
  for (const Isa isa : all_isas)
    if (isa_supported(isa)) list += (list.empty() ? "" : ", ") + std::string(isa_name(isa));
  return list;
}

}  // namespace

std::string_view isa_name(Isa isa) noexcept {
  switch (isa) {
    case Isa::portable:
      return "portable";
    case Isa::avx2:
      return "avx2";
    case Isa::avx512:
      return "avx512";
    case Isa::neon:
      return "neon";
  }
  return "unknown";
}

std::optional<Isa> isa_named(std::string_view name) noexcept {
  for (const Isa isa : all_isas)
    if (isa_name(isa) == name) return isa;
  return std::nullopt;
}

bool isa_supported(Isa isa) noexcept {
  switch (isa) {
    case Isa::portable:
      return true;
#if defined(__x86_64__)
    case Isa::avx2:
      return x86_features().avx2;
    case Isa::avx512:
      return x86_features().avx512;
#endif
#if defined(__arm__)
    case Isa::neon:
      return arm_has_neon();
#endif
    default:
      return false;
  }
}

Isa fastest_isa() noexcept {
  if (avx512_by_default && isa_supported(Isa::avx512)) return Isa::avx512;
  if (isa_supported(Isa::avx2)) return Isa::avx2;
  if (isa_supported(Isa::neon)) return Isa::neon;
  return Isa::portable;
}

IsaChoice choose_isa(const char* setting) {
  if (setting == nullptr || *setting == '\0') return {fastest_isa(), std::nullopt};
  const std::string value(setting);
  const std::optional<Isa> named = isa_named(value);
  if (!named)
    return {fastest_isa(),
            "MENDSEQS_ISA=" + value + ": no such instruction set (expected portable, avx2, avx512 or neon)"};
  if (!isa_supported(*named))
    return {fastest_isa(),
            "MENDSEQS_ISA=" + value + ": this processor cannot run it (it runs " + runnable_list() + ")"};
  return {*named, std::nullopt};
}

namespace {
const IsaChoice& process_choice() {
  static const IsaChoice choice = choose_isa(std::getenv("MENDSEQS_ISA"));
  return choice;
}
}  // namespace

Isa selected_isa() {
  const IsaChoice& choice = process_choice();
  if (choice.error) panic(*choice.error);
  return choice.isa;
}

std::optional<std::string> isa_override_error() { return process_choice().error; }

namespace {}  // namespace

const simd::KernelTable& simd::kernels_of(Isa isa) noexcept {
  switch (isa) {
#if defined(__x86_64__)
    case Isa::avx2:
      return simd::avx2_kernels;
    case Isa::avx512:
      return simd::avx512_kernels;
#endif
#if defined(__arm__)
    case Isa::neon:
      return simd::neon_kernels;
#endif
    default:
      return simd::portable_kernels;
  }
}

uint64_t block_accepting_lanes(Isa isa, const BlockQuery& query, intptr_t max_flex) {
  // A lane holds at most 64 characters: any larger tolerance accepts alike.
  const auto lane_max_flex = static_cast<uint8_t>(std::min<intptr_t>(max_flex, short_reference_limit));
  return simd::kernels_of(isa).accept[simd::lane_width_index(query.lane_bits)](query, lane_max_flex);
}

void block_lcs(Isa isa, const BlockQuery& query, uint8_t* common) {
  simd::kernels_of(isa).lcs[simd::lane_width_index(query.lane_bits)](query, common);
}

BlockFilterResult block_filter(Isa isa, const int32_t* lengths, const int32_t* a_counts, int32_t query_length,
                               int32_t query_a_count, int32_t max_flex) {
  return simd::kernels_of(isa).filter(lengths, a_counts, query_length, query_a_count, max_flex);
}

}  // namespace mendseqs
