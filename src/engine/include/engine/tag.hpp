// Tagging long single-cell reads: in each raw read (either orientation,
// chimeras holding several molecules), find every molecule's adapter end
// (the flank), read its cell barcode and assign it to the nearest entry of
// the whole whitelist, then take its UMI and the span of its cDNA.
//
// A molecule on the '+' strand reads, in the read as given:
//   [...] flank [barcode] [UMI] after_umi [cDNA ...]
// and one on the '-' strand holds the reverse complement of that. The
// rules that turn a read into molecules are in reads/read_tagger.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/match_result.hpp"

namespace mendseqs {

// What surrounds the barcode and the UMI in one library kit.
struct Layout {
  std::string name = "custom";
  std::string flank;  // the end of Read 1, as written: 1 to 64 letters of A, C, G, T
  size_t barcode_length = 0;
  size_t umi_length = 0;
  std::string after_umi;    // what follows the UMI: 0 to 64 letters; one letter repeated is a run of it
  bool cdna_sense = false;  // the cDNA after after_umi on the '+' strand reads as the mRNA
  // What ends the cDNA on the '+' strand (3' kits: the template switch
  // oligo, reverse complemented), where two molecules' cDNAs meet tail to
  // tail in a chimera; empty when unknown (the stretch is then halved).
  // Set by the kits' presets only: not part of a layout's identity.
  std::string cdna_end;
};

// Upper-cases the layout's sequences and says why it cannot be used
// (nullopt: it can).
std::optional<std::string> normalise_layout(Layout& layout);

// The kits' layouts by name: 10x3v2, 10x3v3, 10x3v4, 10x5v2, 10x5v3, visium.
std::span<const std::string_view> layout_presets() noexcept;
std::optional<Layout> layout_preset(std::string_view name);

enum class TagStatus : uint8_t { assigned, ambiguous, no_match, no_flank, both_strands };
std::string_view tag_status_name(TagStatus status) noexcept;

// A coordinate or count that does not exist for this molecule.
inline constexpr size_t no_coordinate = SIZE_MAX;

// One molecule of a read. Spans are half-open, 0-based, on the read as
// given, whatever the strand; strings are oriented as written (reverse
// complemented for '-'), upper case, with every letter but A, C, G, T as N.
struct TaggedMolecule {
  size_t segment = 0;    // order in the read, by flank position
  bool reverse = false;  // strand '-'
  size_t flank_start = no_coordinate, flank_end = no_coordinate, flank_edits = no_coordinate;
  size_t barcode_start = no_coordinate, barcode_end = no_coordinate;
  std::string raw_barcode;
  NearestMatch match;  // the winning entry; distance: its own edits in the read (not the lookup's distance)
  size_t umi_start = no_coordinate, umi_end = no_coordinate;
  std::string umi;
  size_t insert_start = 0, insert_end = 0;
  TagStatus status = TagStatus::no_flank;
};
using TaggedRead = std::vector<TaggedMolecule>;

}  // namespace mendseqs
