// ReadTagger's barcode (rule 2 of reads/read_tagger.hpp): the readings
// after the flank looked up, each candidate fitted to the read around the
// flank's end, the fewest own edits winning.
#include <algorithm>
#include <cstddef>

#include "reads/read_tagger.hpp"
#include "reads/tagger_state.hpp"

namespace mendseqs {

void ReadTagger::look_up(const std::vector<uint8_t>& view, size_t start, size_t length, Scratch& scratch,
                         Checkpoint& checkpoint) const {
  scratch.reading.resize(length);
  for (size_t i = 0; i < length; ++i) scratch.reading[i] = base_letter(view[start + i]);
  nearest_accepted(whitelist_, Text(scratch.reading), max_flex_, checkpoint,
                   [&](size_t position, size_t distance) { scratch.accepted.push_back(Accepted{position, distance}); });
}

bool ReadTagger::entry_codes(size_t position, std::vector<uint8_t>& codes) const {
  const Text& entry = whitelist_.text(position);
  const size_t size = entry.length();
  if (size == 0 || context_codes_.size() + size > max_search_pattern) return false;
  for (size_t i = 0; i < size; ++i) {
    const uint8_t code = base_code(entry[i]);
    if (code == unmatched_code) return false;
    codes.push_back(code);
  }
  return true;
}

void ReadTagger::fit(const Window& window, Fit& one, Scratch& scratch) const {
  one.edits = no_fit;
  scratch.pattern.assign(context_codes_.begin(), context_codes_.end());
  if (!entry_codes(one.position, scratch.pattern)) return;
  // Anchored: the flank's last letters before the entry, so that an entry
  // that is the barcode shifted by a letter pays for the shift. What those
  // letters cost alone is not the barcode's.
  {
    const SearchPattern pattern(scratch.pattern);
    pattern.scores(window.letters, scratch.scores);
    // The earliest end of the fewest: the tightest, leaving the letters
    // after it to the UMI.
    const auto best = std::min_element(scratch.scores.begin(), scratch.scores.end());
    one.end = static_cast<size_t>(best - scratch.scores.begin()) + 1;
    one.edits = *best > window.context_edits ? *best - window.context_edits : 0;
  }
  // Floating: the entry alone, starting within `slack` letters of the
  // flank's end, for one edit whatever the shift. An indel where the flank
  // meets the barcode (a slip in a repeat, letters inserted at the flank's
  // end) would otherwise be charged twice, once against the flank's letters
  // and once against the barcode's; a barcode shifted by a letter still
  // pays at least the one edit the anchor charged it.
  if (one.edits <= rules_.float_cost) return;
  const std::span<const uint8_t> entry = std::span<const uint8_t>(scratch.pattern).subspan(context_codes_.size());
  const size_t from = window.flank_end > rules_.slack ? window.flank_end - rules_.slack : 0;
  const std::span<const uint8_t> floating = window.letters.subspan(from);
  if (floating.size() < entry.size()) return;
  const SearchPattern pattern(entry);
  pattern.scores(floating, scratch.scores);
  const auto best = std::min_element(scratch.scores.begin(), scratch.scores.end());
  if (*best + rules_.float_cost < one.edits) {
    one.edits = *best + rules_.float_cost;
    one.end = from + static_cast<size_t>(best - scratch.scores.begin()) + 1;
  }
}

uint32_t ReadTagger::weighted_fit(const Window& window, std::span<const uint8_t> qualities, size_t position,
                                  Scratch& scratch) const {
  // The anchored alignment again, each edit costing the quality of the
  // read's letter it falls on (a deletion: the lower of its neighbours'),
  // in Phred units: how unlikely the read is if this entry was written.
  scratch.pattern.assign(context_codes_.begin(), context_codes_.end());
  if (!entry_codes(position, scratch.pattern)) return no_fit;
  const std::span<const uint8_t> text = window.letters;
  const size_t columns = text.size() + 1;
  const auto cost = [&](size_t j) -> uint32_t { return std::min<uint32_t>(qualities[j], rules_.quality_cap); };
  const auto gap = [&](size_t j) -> uint32_t {  // a pattern letter missing before text letter j
    if (text.empty()) return rules_.quality_cap;
    return std::min(cost(j > 0 ? j - 1 : 0), cost(j < text.size() ? j : text.size() - 1));
  };
  std::vector<uint32_t>& row = scratch.weights;
  row.assign(columns, 0);  // the read's letters before the alignment are free
  for (const uint8_t letter : scratch.pattern) {
    uint32_t diagonal = row[0];
    row[0] += gap(0);
    for (size_t j = 1; j < columns; ++j) {
      const uint32_t above = row[j];
      const uint32_t substituted = diagonal + (text[j - 1] == letter ? 0 : cost(j - 1));
      row[j] = std::min({substituted, row[j - 1] + cost(j - 1), above + gap(j)});
      diagonal = above;
    }
  }
  return *std::min_element(row.begin(), row.end());  // and those after it
}

size_t ReadTagger::span_start(std::span<const uint8_t> window, size_t position, size_t end, Scratch& scratch) const {
  scratch.pattern.clear();
  entry_codes(position, scratch.pattern);
  const SearchPattern pattern(scratch.pattern);
  pattern.scores(window.first(end), scratch.scores);
  return pattern.start_of(window, end, scratch.scores.back());
}

void ReadTagger::read_barcode(const std::vector<uint8_t>& view, const std::vector<uint8_t>& qualities, size_t start,
                              Found& found, Scratch& scratch, Checkpoint& checkpoint) const {
  const size_t length = layout_.barcode_length;
  if (start + length > view.size()) return;
  found.has_barcode = true;
  found.barcode_start = start;
  found.barcode_end = start + length;
  // The read around the flank's end: the flank's last letters, the
  // barcode's reading and `slack` letters either side.
  const size_t before = std::min(start, context_codes_.size() + rules_.slack);
  const size_t low = start - before;
  const size_t high = std::min(view.size(), start + length + rules_.slack);
  Window window{std::span<const uint8_t>(view).subspan(low, high - low), before, 0};
  // What the flank's letters cost alone, ending near the flank's end: not
  // charged to the barcode.
  if (!context_codes_.empty()) {
    const SearchPattern context(context_codes_);
    context.scores(window.letters.first(std::min(window.letters.size(), before + rules_.slack)), scratch.scores);
    window.context_edits = *std::min_element(scratch.scores.begin(), scratch.scores.end());
  }

  scratch.accepted.clear();
  scratch.fits.clear();
  uint32_t best = no_fit;
  // Scores the entries accepted since the last call that have no fit yet;
  // an entry met again keeps the least distance it was accepted at. One
  // lookup names an entry once, so only earlier lookups' fits are searched
  // (none for the first, which is all most molecules make).
  const auto score_new = [&] {
    const auto earlier = static_cast<std::ptrdiff_t>(scratch.fits.size());
    for (const Accepted& accepted : scratch.accepted) {
      const auto seen = std::find_if(scratch.fits.begin(), scratch.fits.begin() + earlier,
                                     [&](const Fit& other) { return other.position == accepted.position; });
      if (seen != scratch.fits.begin() + earlier) {
        seen->distance = std::min(seen->distance, accepted.distance);
        continue;
      }
      Fit& one = scratch.fits.emplace_back(Fit{accepted.position, accepted.distance, 0, 0});
      fit(window, one, scratch);
      best = std::min(best, one.edits);
    }
    checkpoint.charge(2 * scratch.accepted.size() * window.letters.size());
    scratch.accepted.clear();
  };
  look_up(view, start, length, scratch, checkpoint);
  score_new();
  if (best == no_fit || best > rules_.shift_beyond) {
    for (const long shift : {-1L, 1L}) {
      const long at = static_cast<long>(start) + shift;
      if (at < 0 || static_cast<size_t>(at) + length > view.size()) continue;
      look_up(view, static_cast<size_t>(at), length, scratch, checkpoint);
      score_new();
    }
  }
  if (best == no_fit || best > rules_.max_edits + 1) return;

  // The fewest edits win; among equals, the entry nearest a reading (as
  // the index's lookup measures it), then the earliest.
  const auto before_in_rank = [](const Fit& a, const Fit& b) {
    if (a.edits != b.edits) return a.edits < b.edits;
    if (a.distance != b.distance) return a.distance < b.distance;
    return a.position < b.position;
  };
  std::sort(scratch.fits.begin(), scratch.fits.end(), before_in_rank);
  const Fit& winner = scratch.fits.front();
  size_t ties = 1;
  while (ties < scratch.fits.size() && scratch.fits[ties].edits == winner.edits &&
         scratch.fits[ties].distance == winner.distance)
    ++ties;
  found.match.position = winner.position;
  found.match.distance = winner.edits;
  found.match.ties = ties;
  if (ties > 1)
    found.match.runner_up = found.match.distance;
  else if (scratch.fits.size() > 1 && scratch.fits[1].edits != no_fit)
    found.match.runner_up = scratch.fits[1].edits;
  // One edit beyond the bound stands only with no other candidate within
  // wide_margin more: among a long list's many near entries a wrong one
  // fits a twice-misread barcode about as often as the right one does.
  bool stands =
      found.match.runner_up == no_distance || found.match.runner_up - found.match.distance >= rules_.wide_margin;
  // With qualities, a closer runner-up may still be far less likely: the
  // winner's edits fall on letters the basecaller was unsure of, the
  // runner-up's on surer ones. Sure letters everywhere say nothing of
  // the entries not met, which the margin guards against: the rule holds.
  if (!stands && ties == 1 && qualities.size() == view.size() &&
      found.match.runner_up - found.match.distance >= rules_.quality_margin) {
    const std::span<const uint8_t> near = std::span<const uint8_t>(qualities).subspan(low, high - low);
    const uint32_t own = weighted_fit(window, near, winner.position, scratch);
    uint32_t other = UINT32_MAX;
    for (size_t i = 1; i < scratch.fits.size() && scratch.fits[i].edits <= found.match.distance + rules_.wide_margin;
         ++i)
      other = std::min(other, weighted_fit(window, near, scratch.fits[i].position, scratch));
    stands = own != no_fit && own <= rules_.unsure_quality * found.match.distance && other != UINT32_MAX &&
             other >= own + rules_.quality_lead;
  }
  if (found.match.distance > rules_.max_edits && !stands) {
    found.match = NearestMatch{};
    return;
  }
  found.barcode_end = low + winner.end;
  found.barcode_start = low + span_start(window.letters, winner.position, winner.end, scratch);
}

}  // namespace mendseqs
