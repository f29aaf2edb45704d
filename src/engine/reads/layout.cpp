#include <array>

#include "engine/tag.hpp"
#include "kernels/approximate_search.hpp"

namespace mendseqs {
namespace {

// Read 1's end, the same in every 10x kit.
constexpr std::string_view read1_end = "CTACACGACGCTCTTCCGATCT";
// 3' kits: the UMI runs into the polyT (one letter repeated: matched as a
// run, whatever its length); 5' kits: into the template switch oligo.
constexpr std::string_view poly_t = "TTTTTTTTTTTT";
constexpr std::string_view template_switch_oligo = "TTTCTTATATGGG";
// The 3' kits' template switch oligo (AAGCAGTGGTATCAACGCAGAGTACATGGG)
// reverse complemented: where their cDNA ends on the '+' strand.
constexpr std::string_view template_switch_end = "CCCATGTACTCTGCGTTGATACCACTGCTT";

constexpr std::array<std::string_view, 6> preset_names = {"10x3v2", "10x3v3", "10x3v4", "10x5v2", "10x5v3", "visium"};

// Upper-cases `letters`; false when one is not A, C, G or T.
bool normalise_bases(std::string& letters) {
  for (char& letter : letters) {
    const uint8_t code = base_code(static_cast<unsigned char>(letter));
    if (code == unmatched_code) return false;
    letter = "ACGT"[code];
  }
  return true;
}

}  // namespace

std::optional<std::string> normalise_layout(Layout& layout) {
  if (layout.flank.empty() || layout.flank.size() > max_search_pattern || !normalise_bases(layout.flank))
    return "flank must be 1 to 64 letters of A, C, G and T";
  if (layout.after_umi.size() > max_search_pattern || !normalise_bases(layout.after_umi))
    return "after_umi must be 0 to 64 letters of A, C, G and T";
  if (layout.barcode_length == 0) return "barcode_length must be at least 1";
  return std::nullopt;
}

std::span<const std::string_view> layout_presets() noexcept { return preset_names; }

std::optional<Layout> layout_preset(std::string_view name) {
  const auto kit = [&](size_t umi_length, std::string_view after_umi, bool cdna_sense) {
    Layout layout{std::string(name), std::string(read1_end), 16, umi_length, std::string(after_umi), cdna_sense, {}};
    // 3' kits: the cDNA ends in the template switch oligo's complement. 5'
    // kits end in the polyA and what primed it, which is not fixed here.
    if (!cdna_sense) layout.cdna_end = template_switch_end;
    return layout;
  };
  if (name == "10x3v2") return kit(10, poly_t, false);
  if (name == "10x3v3" || name == "10x3v4" || name == "visium") return kit(12, poly_t, false);
  if (name == "10x5v2") return kit(10, template_switch_oligo, true);
  if (name == "10x5v3") return kit(12, template_switch_oligo, true);
  return std::nullopt;
}

std::string_view tag_status_name(TagStatus status) noexcept {
  switch (status) {
    case TagStatus::assigned:
      return "assigned";
    case TagStatus::ambiguous:
      return "ambiguous";
    case TagStatus::no_match:
      return "no_match";
    case TagStatus::no_flank:
      return "no_flank";
    case TagStatus::both_strands:
      return "both_strands";
  }
  return "no_flank";
}

}  // namespace mendseqs
