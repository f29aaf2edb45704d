#include "reads/read_tagger.hpp"

#include <algorithm>
#include <array>

#include "engine/messages.hpp"  // frozen texts: docs/compatibility.md
#include "engine/panic.hpp"
#include "support/scratch.hpp"

namespace mendseqs {

// A molecule while it is read, in the coordinates of its strand's view of
// the read (the read itself for '+', its reverse complement for '-').
struct ReadTagger::Found {
  bool reverse = false;
  PatternHit flank{};
  bool has_barcode = false;
  size_t barcode_start = 0, barcode_end = 0;
  NearestMatch match;
  size_t umi_start = 0, umi_end = 0;
  size_t structure_end = 0;  // past the trimmed after_umi (or what was found of the molecule)
  // On the read as given, for ordering and neighbours.
  size_t flank_position = 0;  // the flank's first letter
  size_t low = 0, high = 0;   // the structure's span
  TagStatus status = TagStatus::no_match;
};

// What one thread reuses from read to read: memory O(read length).
struct ReadTagger::Scratch {
  std::vector<uint8_t> views[2];  // the read's codes, and its reverse complement's
  std::vector<PatternHit> hits;
  std::vector<PatternHit> kept;
  std::vector<Found> found;
  std::string reading;
  std::vector<uint16_t> row;
};

namespace {

constexpr char code_letter(uint8_t code) noexcept { return "ACGTN"[code < unmatched_code ? code : unmatched_code]; }

// The letters of view[start, end), as the module shows them.
std::string letters(const std::vector<uint8_t>& view, size_t start, size_t end) {
  std::string out(end - start, 'N');
  for (size_t i = start; i < end; ++i) out[i - start] = code_letter(view[i]);
  return out;
}

// The longest common subsequence of a reading and a whitelist entry: both
// are barcode-sized, so the plain table row costs less than setting up
// anything faster.
size_t common_length(const std::string& reading, const Text& entry, std::vector<uint16_t>& row) {
  row.assign(entry.length() + 1, 0);
  for (const char letter : reading) {
    uint16_t diagonal = 0;
    for (size_t j = 1; j <= entry.length(); ++j) {
      const uint16_t above = row[j];
      row[j] = entry[j - 1] == static_cast<unsigned char>(letter) ? static_cast<uint16_t>(diagonal + 1)
                                                                 : std::max(row[j], row[j - 1]);
      diagonal = above;
    }
  }
  return row.back();
}

// Keeps, of hits that overlap, the one with fewer edits (the earlier among
// equals); the kept ones in order of position.
void keep_separate(std::vector<PatternHit>& hits, std::vector<PatternHit>& kept) {
  std::sort(hits.begin(), hits.end(), [](const PatternHit& a, const PatternHit& b) {
    return a.edits != b.edits ? a.edits < b.edits : a.end < b.end;
  });
  kept.clear();
  for (const PatternHit& hit : hits) {
    const bool overlaps = std::any_of(kept.begin(), kept.end(), [&](const PatternHit& other) {
      return hit.start < other.end && other.start < hit.end;
    });
    if (!overlaps) kept.push_back(hit);
  }
  std::sort(kept.begin(), kept.end(), [](const PatternHit& a, const PatternHit& b) { return a.end < b.end; });
}

bool unique_beyond_margin(const NearestMatch& match, size_t margin) noexcept {
  return match.ties == 1 && (match.runner_up == no_distance || match.runner_up - match.distance >= margin);
}

}  // namespace

ReadTagger::ReadTagger(const ReferenceSet& whitelist, intptr_t max_flex, const Layout& layout, size_t margin,
                       TagRules rules)
    : whitelist_(whitelist),
      max_flex_(max_flex),
      layout_(layout),
      margin_(margin),
      rules_(rules),
      flank_([&] {
        std::vector<uint8_t> codes;
        for (const char letter : layout.flank) codes.push_back(base_code(static_cast<unsigned char>(letter)));
        return SearchPattern(codes);
      }()),
      flank_bound_(static_cast<uint32_t>(layout.flank.size() / rules.flank_letters_per_edit)),
      after_bound_(static_cast<uint32_t>(layout.after_umi.size() / rules.flank_letters_per_edit)) {
  for (const char letter : layout.after_umi) after_codes_.push_back(base_code(static_cast<unsigned char>(letter)));
  const bool run = !after_codes_.empty() && std::all_of(after_codes_.begin(), after_codes_.end(),
                                                        [&](uint8_t code) { return code == after_codes_.front(); });
  if (run)
    run_code_ = after_codes_.front();
  else if (!after_codes_.empty())
    after_pattern_.emplace(after_codes_);
  // Every entry barcode_length letters long: then distances to readings of
  // other lengths are bounded by the length reading's (see read_barcode).
  const auto length = static_cast<intptr_t>(layout.barcode_length);
  uniform_whitelist_ = true;
  for (size_t i = 0; uniform_whitelist_ && i < whitelist.a_counts().size(); ++i)
    uniform_whitelist_ = whitelist.length(i) == length;
}

NearestMatch ReadTagger::look_up(const std::vector<uint8_t>& view, size_t start, size_t length, Scratch& scratch,
                                 Checkpoint& checkpoint) const {
  scratch.reading.resize(length);
  for (size_t i = 0; i < length; ++i) scratch.reading[i] = code_letter(view[start + i]);
  return nearest_accepted(whitelist_, Text(scratch.reading), max_flex_, checkpoint);
}

void ReadTagger::read_barcode(const std::vector<uint8_t>& view, size_t start, Found& found, Scratch& scratch,
                              Checkpoint& checkpoint) const {
  // The readings in order of preference: (start, length).
  struct Reading {
    size_t start, length;
    NearestMatch match;
    bool looked_up = false;
  };
  std::array<Reading, 9> readings{};
  size_t count = 0;
  const size_t length = layout_.barcode_length;
  const long shifts[] = {0, -1, 1};
  for (const long shift : shifts) {
    if (shift != 0 && !rules_.shifted_starts) break;
    if (shift < 0 && start == 0) continue;
    const size_t at = static_cast<size_t>(static_cast<long>(start) + shift);
    const size_t lengths[] = {length, length - 1, length + 1};
    for (const size_t candidate : lengths) {
      if (candidate != length && !rules_.neighbour_lengths) continue;
      if (candidate == 0 || at + candidate > view.size()) continue;
      // A reading shorter than the tolerance trips its guard, as nearest
      // would: whether or not the reading is looked up below.
      if (static_cast<intptr_t>(candidate) < max_flex_) panic(std::string(messages::guard));
      readings[count++] = Reading{at, candidate, NearestMatch{}, false};
    }
  }
  if (count == 0) return;

  const auto evaluate = [&](Reading& reading) {
    reading.match = look_up(view, reading.start, reading.length, scratch, checkpoint);
    reading.looked_up = true;
  };
  const bool pruned = rules_.prune && uniform_whitelist_ && !rules_.shifted_starts && max_flex_ >= 0 &&
                      readings[0].length == length;
  if (!pruned) {
    for (size_t r = 0; r < count; ++r) evaluate(readings[r]);
  } else {
    // With every entry `length` letters long, the readings one letter
    // shorter or longer differ from the length reading by its last letter:
    // an entry E at distance d from one of them is at most d + 1 from the
    // length reading, whose own nearest distance D therefore bounds what
    // they can do. Winning needs d < D (equals lose to the length
    // reading), so E would be at distance D, accepted, among its ties:
    //  - one tie: E can only be that entry; its distance is measured
    //    directly, and the reading looked up only when it beats D;
    //  - several ties: each may be E; both readings are looked up;
    //  - no match: the shorter reading, a prefix of it, has none either
    //    (an accepted E would be accepted for the length reading too); the
    //    longer one is looked up.
    evaluate(readings[0]);
    const NearestMatch& best = readings[0].match;
    for (size_t r = 1; r < count; ++r) {
      Reading& reading = readings[r];
      if (best.position == no_match) {
        if (reading.length > length) evaluate(reading);
      } else if (best.distance > 1 && best.ties > 1) {
        evaluate(reading);
      } else if (best.distance > 1) {
        scratch.reading.resize(reading.length);
        for (size_t i = 0; i < reading.length; ++i) scratch.reading[i] = code_letter(view[reading.start + i]);
        const size_t common = common_length(scratch.reading, whitelist_.text(best.position), scratch.row);
        if (reading.length + length - 2 * common < best.distance) evaluate(reading);
      }
      checkpoint.charge(reading.length);
    }
  }

  // The smallest distance wins, the earliest reading among equals; with
  // no match at all, the first reading stands for the barcode.
  size_t chosen = 0;
  for (size_t r = 1; r < count; ++r)
    if (readings[r].looked_up && readings[r].match.distance < readings[chosen].match.distance) chosen = r;
  const Reading& reading = readings[chosen];
  found.has_barcode = true;
  found.barcode_start = reading.start;
  found.barcode_end = reading.start + reading.length;
  found.match = reading.match;
}

void ReadTagger::read_umi(const std::vector<uint8_t>& view, size_t start, Found& found, Scratch& scratch) const {
  const size_t n = view.size();
  const size_t expected = std::min(n, start + layout_.umi_length);
  const size_t pad = rules_.umi_pad;
  found.umi_start = start;
  found.umi_end = expected;
  found.structure_end = expected;
  if (run_code_ != unmatched_code) {
    // A run that covers the expected end keeps it (a UMI may end in the
    // run's letter by chance); one starting a little later moves it.
    const auto starts_run = [&](size_t at) { return view[at] == run_code_ && (at + 1 >= n || view[at + 1] == run_code_); };
    if (expected < n && view[expected] != run_code_) {
      for (size_t at = expected + 1; at <= expected + pad && at < n; ++at) {
        if (starts_run(at)) {
          found.umi_end = at;
          break;
        }
      }
    }
    // The run, trimmed: its letters, a single stray one among them allowed.
    size_t end = found.umi_end;
    while (end < n) {
      if (view[end] == run_code_) {
        ++end;
      } else if (end + 1 < n && view[end + 1] == run_code_) {
        end += 2;
      } else {
        break;
      }
    }
    found.structure_end = end;
  } else if (after_pattern_) {
    const size_t low = std::max(start, expected > pad ? expected - pad : 0);
    const size_t high = std::min(n, expected + pad + after_pattern_->length() + after_bound_);
    if (low >= high) return;
    scratch.hits.clear();
    after_pattern_->find(std::span<const uint8_t>(view).subspan(low, high - low), after_bound_, scratch.hits);
    const PatternHit* best = nullptr;
    const auto off = [&](const PatternHit& hit) {
      const size_t at = low + hit.start;
      return at > expected ? at - expected : expected - at;
    };
    for (const PatternHit& hit : scratch.hits) {
      if (off(hit) > pad) continue;
      if (!best || hit.edits < best->edits || (hit.edits == best->edits && off(hit) < off(*best))) best = &hit;
    }
    if (best) {
      found.umi_end = low + best->start;
      found.structure_end = low + best->end;
    }
  }
}

void ReadTagger::read_molecule(const std::vector<uint8_t>& view, const PatternHit& hit, Found& found,
                               Scratch& scratch, Checkpoint& checkpoint) const {
  found.flank = hit;
  found.structure_end = hit.end;
  read_barcode(view, hit.end, found, scratch, checkpoint);
  if (!found.has_barcode) return;
  read_umi(view, found.barcode_end, found, scratch);
}

void ReadTagger::tag(const Text& read, TaggedRead& molecules, Checkpoint& checkpoint) const {
  mendseqs::Scratch<Scratch> borrowed;
  Scratch& scratch = *borrowed;
  const size_t n = read.length();
  checkpoint.charge(n + 1);
  molecules.clear();
  scratch.found.clear();

  if (n >= flank_.length()) {
    std::vector<uint8_t>& forward = scratch.views[0];
    std::vector<uint8_t>& reverse = scratch.views[1];
    forward.resize(n);
    reverse.resize(n);
    read.visit([&](auto code_points) {
      for (size_t i = 0; i < n; ++i) forward[i] = base_code(code_points[i]);
    });
    for (size_t i = 0; i < n; ++i) reverse[i] = complement_code(forward[n - 1 - i]);
    for (int strand = 0; strand < 2; ++strand) {
      const std::vector<uint8_t>& view = scratch.views[strand];
      scratch.hits.clear();
      flank_.find(view, flank_bound_, scratch.hits);
      checkpoint.charge(2 * n);
      keep_separate(scratch.hits, scratch.kept);
      for (const PatternHit& hit : scratch.kept) {
        Found& found = scratch.found.emplace_back();
        found.reverse = strand == 1;
        read_molecule(view, hit, found, scratch, checkpoint);
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

  // Opposite strands that overlap, or face each other too close to hold
  // a cDNA between them.
  const size_t count = scratch.found.size();
  for (size_t i = 0; i < count; ++i) {
    for (size_t j = i + 1; j < count; ++j) {
      Found& a = scratch.found[i];
      Found& b = scratch.found[j];
      if (a.reverse == b.reverse) continue;
      const bool overlap = a.low < b.high && b.low < a.high;
      const Found& plus = a.reverse ? b : a;
      const Found& minus = a.reverse ? a : b;
      const bool facing = j == i + 1 && plus.high <= minus.low && minus.low - plus.high < rules_.min_facing_gap;
      if (overlap || facing) a.status = b.status = TagStatus::both_strands;
    }
  }

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
    // The insert runs away from the flank, up to the next structure.
    if (found.reverse) {
      size_t bound = 0;
      for (const Found& other : scratch.found)
        if (&other != &found && other.high <= found.low) bound = std::max(bound, other.high);
      molecule.insert_start = bound;
      molecule.insert_end = found.low;
    } else {
      size_t bound = n;
      for (const Found& other : scratch.found)
        if (&other != &found && other.low >= found.high) bound = std::min(bound, other.low);
      molecule.insert_start = found.high;
      molecule.insert_end = bound;
    }
    molecule.status = found.status;
  }
}

}  // namespace mendseqs
