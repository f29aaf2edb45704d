#include "reads/read_tagger.hpp"

#include <algorithm>
#include <cstddef>

#include "engine/messages.hpp"  // frozen texts: docs/compatibility.md
#include "engine/panic.hpp"
#include "reads/tagger_state.hpp"
#include "support/scratch.hpp"

namespace mendseqs {

namespace {

// Keeps, of hits that overlap, the one with fewer edits (the earlier among
// equals); the kept ones in order of position. The kept spans never
// overlap, so a hit can overlap only the last kept one starting before its
// end: one binary search a hit, not a scan of all kept.
void keep_separate(std::vector<PatternHit>& hits, std::vector<PatternHit>& kept,
                   std::vector<std::pair<size_t, size_t>>& spans) {
  std::sort(hits.begin(), hits.end(), [](const PatternHit& a, const PatternHit& b) {
    return a.edits != b.edits ? a.edits < b.edits : a.end < b.end;
  });
  kept.clear();
  spans.clear();
  for (const PatternHit& hit : hits) {
    const auto after = std::lower_bound(spans.begin(), spans.end(), std::pair{hit.end, size_t{0}});
    if (after != spans.begin() && std::prev(after)->second > hit.start) continue;
    spans.insert(after, {hit.start, hit.end});
    kept.push_back(hit);
  }
  std::sort(kept.begin(), kept.end(), [](const PatternHit& a, const PatternHit& b) { return a.end < b.end; });
}

// The letters of view[start, end), as the module shows them.
std::string letters(const std::vector<uint8_t>& view, size_t start, size_t end) {
  std::string out(end - start, 'N');
  for (size_t i = start; i < end; ++i) out[i - start] = base_letter(view[i]);
  return out;
}

bool unique_beyond_margin(const NearestMatch& match, size_t margin) noexcept {
  return match.ties == 1 && (match.runner_up == no_distance || match.runner_up - match.distance >= margin);
}

SearchPattern pattern_of(std::string_view letters) {
  std::vector<uint8_t> codes;
  for (const char letter : letters) codes.push_back(base_code(static_cast<unsigned char>(letter)));
  return SearchPattern(codes);
}

}  // namespace

ReadTagger::ReadTagger(const ReferenceSet& whitelist, intptr_t max_flex, const Layout& layout, size_t margin,
                       TagRules rules)
    : whitelist_(whitelist),
      max_flex_(max_flex),
      layout_(layout),
      margin_(margin),
      rules_(rules),
      flank_(pattern_of(layout.flank)),
      context_codes_([&] {
        std::vector<uint8_t> codes;
        const size_t kept = std::min(rules.flank_context, layout.flank.size());
        for (size_t i = layout.flank.size() - kept; i < layout.flank.size(); ++i)
          codes.push_back(base_code(static_cast<unsigned char>(layout.flank[i])));
        return codes;
      }()),
      flank_bound_(static_cast<uint32_t>(layout.flank.size() / rules.flank_letters_per_edit)),
      weak_flank_bound_(
          std::max(flank_bound_, static_cast<uint32_t>(layout.flank.size() / rules.weak_letters_per_edit))),
      after_bound_(static_cast<uint32_t>(layout.after_umi.size() / rules.flank_letters_per_edit)) {
  // The barcode's span may come out a letter short (a deletion in it); a
  // tolerance beyond that trips the lookup's guard. Refused here, whatever
  // the reads: a call must not pass or fail by whether a read has a flank.
  const size_t shortest = layout.barcode_length - 1;
  if (static_cast<intptr_t>(shortest) < max_flex_ && shortest > 0) panic(std::string(messages::guard));
  for (const char letter : layout.after_umi) after_codes_.push_back(base_code(static_cast<unsigned char>(letter)));
  const bool run = !after_codes_.empty() && std::all_of(after_codes_.begin(), after_codes_.end(),
                                                        [&](uint8_t code) { return code == after_codes_.front(); });
  if (run)
    run_code_ = after_codes_.front();
  else if (!after_codes_.empty())
    after_pattern_.emplace(after_codes_);
  if (!layout.cdna_end.empty()) cdna_end_.emplace(pattern_of(layout.cdna_end));
}

void ReadTagger::read_molecule(const std::vector<uint8_t>& view, const PatternHit& hit, Found& found, Scratch& scratch,
                               Checkpoint& checkpoint) const {
  found.flank = hit;
  found.structure_end = hit.end;
  read_barcode(view, scratch.qualities[found.reverse ? 1 : 0], hit.end, found, scratch, checkpoint);
  if (!found.has_barcode) return;
  read_umi(view, found.barcode_end, found, scratch);
}

bool ReadTagger::weak_flank_stands(const std::vector<uint8_t>& view, const PatternHit& hit, Found& found,
                                   Scratch& scratch, Checkpoint& checkpoint) const {
  // A flank with more edits than flank_bound_ is carried by the rest of
  // the structure: what follows the UMI where it belongs (cheap, so
  // first), then a barcode that fits an entry within max_edits. A stretch
  // of an unrelated read passes all three by chance too rarely to matter
  // (bench/tag_bench.py counts the false finds on junk and random reads).
  const size_t length = layout_.barcode_length;
  if (hit.end + length > view.size() || !after_umi_near(view, hit.end + length, scratch)) return false;
  read_molecule(view, hit, found, scratch, checkpoint);
  return found.match.position != no_match && found.match.distance <= rules_.max_edits;
}

std::pair<size_t, size_t> ReadTagger::facing_cut(const std::vector<uint8_t>& forward,
                                                 const std::vector<uint8_t>& reverse, const Found& plus,
                                                 const Found& minus, Scratch& scratch) const {
  // Between a '+' molecule and a '-' one after it lie both their cDNAs,
  // tail to tail, each ending in the layout's cDNA end: the '+' one's read
  // as written, the '-' one's reverse complemented. The first insert ends
  // where its cDNA end begins, the second starts past its own; one found
  // stands for both; none found, the stretch is halved.
  const size_t n = forward.size();
  const size_t low = plus.high, high = minus.low;
  // Halved, the middle letter of an odd stretch goes to both: the same
  // cut whichever way the read is given.
  const std::pair<size_t, size_t> halves{low + (high - low + 1) / 2, low + (high - low) / 2};
  if (!cdna_end_ || high <= low) return halves;
  const auto bound = static_cast<uint32_t>(cdna_end_->length() / rules_.flank_letters_per_edit);
  const auto best_of = [&](std::span<const uint8_t> text) -> std::optional<PatternHit> {
    scratch.hits.clear();
    cdna_end_->find(text, bound, scratch.hits);
    if (scratch.hits.empty()) return std::nullopt;
    return *std::min_element(scratch.hits.begin(), scratch.hits.end(),
                             [](const PatternHit& a, const PatternHit& b) { return a.edits < b.edits; });
  };
  const std::optional<PatternHit> first = best_of(std::span<const uint8_t>(forward).subspan(low, high - low));
  const std::optional<PatternHit> second = best_of(std::span<const uint8_t>(reverse).subspan(n - high, high - low));
  // On the read as given.
  std::optional<std::pair<size_t, size_t>> first_span, second_span;
  if (first) first_span.emplace(low + first->start, low + first->end);
  if (second) second_span.emplace(high - second->end, high - second->start);
  if (first_span && second_span && first_span->first <= second_span->second)
    return {first_span->first, std::max(first_span->first, second_span->second)};
  const auto& one = first_span ? first_span : second_span;
  if (one) return {one->first, one->second};
  return halves;
}

void ReadTagger::tag(const Text& read, TaggedRead& molecules, Checkpoint& checkpoint, const Text* qualities) const {
  mendseqs::Scratch<Scratch> borrowed;
  Scratch& scratch = *borrowed;
  const size_t n = read.length();
  checkpoint.charge(n + 1);
  molecules.clear();
  scratch.found.clear();

  std::vector<uint8_t>& forward = scratch.views[0];
  std::vector<uint8_t>& reverse = scratch.views[1];
  if (n >= flank_.length()) {
    forward.resize(n);
    reverse.resize(n);
    read.visit([&](auto code_points) {
      if constexpr (sizeof(code_points[0]) == 1) {
        for (size_t i = 0; i < n; ++i) forward[i] = byte_codes[code_points[i]];
      } else {
        for (size_t i = 0; i < n; ++i) forward[i] = code_points[i] < 256 ? byte_codes[code_points[i]] : unmatched_code;
      }
    });
    for (size_t i = 0; i < n; ++i) reverse[i] = complement_code(forward[n - 1 - i]);
    // The qualities, on each strand's view; none when absent or not the
    // read's length.
    scratch.qualities[0].clear();
    scratch.qualities[1].clear();
    if (qualities && qualities->length() == n) {
      scratch.qualities[0].resize(n);
      scratch.qualities[1].resize(n);
      for (size_t i = 0; i < n; ++i) {
        const char32_t symbol = (*qualities)[i];
        scratch.qualities[0][i] = static_cast<uint8_t>(symbol > 33 ? std::min<char32_t>(symbol - 33, 93) : 0);
      }
      for (size_t i = 0; i < n; ++i) scratch.qualities[1][i] = scratch.qualities[0][n - 1 - i];
    }
    scratch.strand_hits[0].clear();
    scratch.strand_hits[1].clear();
    flank_.find_both(forward, reverse, weak_flank_bound_, scratch.strand_hits[0], scratch.strand_hits[1]);
    checkpoint.charge(2 * n);
    for (int strand = 0; strand < 2; ++strand) {
      keep_separate(scratch.strand_hits[strand], scratch.kept, scratch.kept_spans);
      checkpoint.charge(scratch.strand_hits[strand].size());
      for (const PatternHit& hit : scratch.kept) {
        Found& found = scratch.found.emplace_back();
        found.reverse = strand == 1;
        if (hit.edits <= flank_bound_) {
          read_molecule(scratch.views[strand], hit, found, scratch, checkpoint);
        } else if (!weak_flank_stands(scratch.views[strand], hit, found, scratch, checkpoint)) {
          scratch.found.pop_back();
        }
      }
    }
  }

  if (scratch.found.empty()) {
    TaggedMolecule& molecule = molecules.emplace_back();
    molecule.insert_end = n;
    return;
  }

  // On the read as given.
  for (Found& found : scratch.found) {
    const size_t start = found.flank.start, end = found.structure_end;
    found.flank_position = found.reverse ? n - found.flank.end : start;
    found.low = found.reverse ? n - end : start;
    found.high = found.reverse ? n - start : end;
    if (!found.has_barcode || found.match.position == no_match)
      found.status = TagStatus::no_match;
    else
      found.status = unique_beyond_margin(found.match, margin_) ? TagStatus::assigned : TagStatus::ambiguous;
  }
  std::sort(scratch.found.begin(), scratch.found.end(),
            [](const Found& a, const Found& b) { return a.flank_position < b.flank_position; });
  const size_t count = scratch.found.size();
  checkpoint.charge(count * 64);
  mark_both_strands(scratch);

  // The structures by where they start, and by where they end: each
  // insert's bound is one binary search away.
  std::vector<size_t>& order = scratch.order;
  order.resize(2 * count);
  const auto by_low = order.begin(), by_high = order.begin() + static_cast<std::ptrdiff_t>(count);
  for (size_t i = 0; i < count; ++i)
    by_low[static_cast<std::ptrdiff_t>(i)] = by_high[static_cast<std::ptrdiff_t>(i)] = i;
  const std::vector<Found>& all = scratch.found;
  std::sort(by_low, by_high, [&](size_t a, size_t b) { return all[a].low < all[b].low; });
  std::sort(by_high, order.end(), [&](size_t a, size_t b) { return all[a].high < all[b].high; });

  for (size_t i = 0; i < count; ++i) {
    const Found& found = scratch.found[i];
    TaggedMolecule& molecule = molecules.emplace_back();
    // A span [a, b) of the strand's view, on the read as given.
    const auto place = [&](size_t a, size_t b, size_t& first, size_t& last) {
      first = found.reverse ? n - b : a;
      last = found.reverse ? n - a : b;
    };
    const std::vector<uint8_t>& view = scratch.views[found.reverse ? 1 : 0];
    molecule.segment = i;
    molecule.reverse = found.reverse;
    place(found.flank.start, found.flank.end, molecule.flank_start, molecule.flank_end);
    molecule.flank_edits = found.flank.edits;
    if (found.has_barcode) {
      place(found.barcode_start, found.barcode_end, molecule.barcode_start, molecule.barcode_end);
      molecule.raw_barcode = letters(view, found.barcode_start, found.barcode_end);
      molecule.match = found.match;
      place(found.umi_start, found.umi_end, molecule.umi_start, molecule.umi_end);
      molecule.umi = letters(view, found.umi_start, found.umi_end);
    }
    // The insert runs away from the flank, up to the next structure; when
    // that one's insert runs back towards this one (tail to tail), up to
    // where their cDNAs meet.
    if (found.reverse) {
      const auto next = std::upper_bound(by_high, order.end(), found.low,
                                         [&](size_t low, size_t other) { return low < all[other].high; });
      molecule.insert_start = 0;
      if (next != by_high) {
        const Found& other = all[*std::prev(next)];
        molecule.insert_start = other.reverse
                                    ? other.high
                                    : std::max(other.high, facing_cut(forward, reverse, other, found, scratch).second);
      }
      molecule.insert_end = found.low;
    } else {
      const auto next = std::lower_bound(by_low, by_high, found.high,
                                         [&](size_t other, size_t high) { return all[other].low < high; });
      molecule.insert_start = found.high;
      molecule.insert_end = n;
      if (next != by_high) {
        const Found& other = all[*next];
        molecule.insert_end =
            other.reverse ? std::min(other.low, facing_cut(forward, reverse, found, other, scratch).first) : other.low;
      }
    }
    molecule.status = found.status;
  }
}

void ReadTagger::mark_both_strands(Scratch& scratch) const {
  std::vector<Found>& all = scratch.found;
  const size_t count = all.size();
  // Structures on opposite strands that overlap: for each strand, its
  // structures by start with the furthest end so far; another strand's
  // structure overlaps one of them when some that starts before its end
  // ends after its start.
  for (int strand = 0; strand < 2; ++strand) {
    std::vector<size_t>& order = scratch.order;
    order.clear();
    for (size_t i = 0; i < count; ++i)
      if (all[i].reverse == (strand == 1)) order.push_back(i);
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return all[a].low < all[b].low; });
    std::vector<size_t> furthest(order.size());
    for (size_t k = 0; k < order.size(); ++k) furthest[k] = std::max(k ? furthest[k - 1] : 0, all[order[k]].high);
    for (Found& other : all) {
      if (other.reverse == (strand == 1)) continue;
      const auto before = std::lower_bound(order.begin(), order.end(), other.high,
                                           [&](size_t i, size_t high) { return all[i].low < high; });
      const auto k = static_cast<size_t>(before - order.begin());
      if (k > 0 && furthest[k - 1] > other.low) other.status = TagStatus::both_strands;
    }
  }
  // Neighbours in flank order that face each other too close to hold a
  // cDNA between them.
  for (size_t i = 0; i + 1 < count; ++i) {
    Found& a = all[i];
    Found& b = all[i + 1];
    if (a.reverse == b.reverse) continue;
    const Found& plus = a.reverse ? b : a;
    const Found& minus = a.reverse ? a : b;
    if (plus.high <= minus.low && minus.low - plus.high < rules_.min_facing_gap)
      a.status = b.status = TagStatus::both_strands;
  }
}

}  // namespace mendseqs
