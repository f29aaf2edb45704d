// What each rule of the reads floor (reads/read_tagger.hpp) buys: the same
// seeded synthetic reads tagged under variants of the rules, one thread,
// with recall, precision, strand and UMI accuracy and reads per second, and
// beside them the baseline of the truth barcodes mutated alike and
// corrected alone with nearest.
//
// The reads are those of bench/tag_engine.py, generated here again: the
// 10x 3' v3 layout (remnant 0-40, flank, barcode, 12-letter UMI, polyT
// 20-35, cDNA 150-900, tail 0-30), either strand, errors at a per-read rate
// around 5% (x0.5 to x1.5; 40% substitutions, 25% insertions, 35%
// deletions); 80% of barcodes from 2,000 cells with skewed counts, 5% any
// entry, 3% off the list; 4% chimeras of two molecules, 8% no structure.
//
//   tag_rules [--whitelist N] [--reads N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "bench_texts.hpp"
#include "engine/host.hpp"
#include "engine/tag.hpp"
#include "match/matcher.hpp"
#include "reads/read_tagger.hpp"

namespace mendseqs {
namespace {

using Clock = std::chrono::steady_clock;

struct Truth {
  std::string barcode, umi;
  bool reverse;
};

std::string reverse_complement(const std::string& text) {
  std::string out(text.rbegin(), text.rend());
  for (char& c : out) c = c == 'A' ? 'T' : c == 'C' ? 'G' : c == 'G' ? 'C' : 'A';
  return out;
}

class Simulator {
 public:
  Simulator(const std::vector<std::string>& whitelist, const Layout& layout, double rate)
      : whitelist_(whitelist), on_list_(whitelist.begin(), whitelist.end()), layout_(layout), rate_(rate) {
    for (size_t c = 0; c < 2000; ++c) cells_.push_back(whitelist[rng_() % whitelist.size()]);
    std::vector<double> weights;
    for (size_t rank = 0; rank < cells_.size(); ++rank) weights.push_back(1.0 / static_cast<double>(rank + 10));
    cell_choice_ = std::discrete_distribution<size_t>(weights.begin(), weights.end());
  }

  bool on_list(const std::string& barcode) const { return on_list_.count(barcode) > 0; }

  std::string mutate(const std::string& text, double rate) {
    std::string out;
    for (const char letter : text) {
      if (uniform_(rng_) >= rate) {
        out += letter;
        continue;
      }
      const double kind = uniform_(rng_);
      if (kind < 0.40) {
        char other;
        do other = "ACGT"[rng_() % 4];
        while (other == letter);
        out += other;
      } else if (kind < 0.65) {
        out += letter;
        out += "ACGT"[rng_() % 4];
      }
    }
    return out;
  }

  double read_rate() { return rate_ * (0.5 + uniform_(rng_)); }

  std::string read(std::vector<Truth>& truth) {
    truth.clear();
    const double kind = uniform_(rng_);
    const double rate = read_rate();
    if (kind < 0.08) return mutate(bench::random_dna(rng_, 200 + rng_() % 801), rate);
    std::string text = molecule(truth);
    if (kind < 0.12) text += molecule(truth);
    return mutate(text, rate);
  }

 private:
  size_t between(size_t low, size_t high) { return low + rng_() % (high - low + 1); }

  std::string barcode() {
    const double kind = uniform_(rng_) * 0.88;
    if (kind < 0.80) return cells_[cell_choice_(rng_)];
    if (kind < 0.85) return whitelist_[rng_() % whitelist_.size()];
    for (;;) {
      std::string random = bench::random_dna(rng_, 16);
      if (!on_list(random)) return random;
    }
  }

  std::string molecule(std::vector<Truth>& truth) {
    Truth one{barcode(), bench::random_dna(rng_, layout_.umi_length), rng_() % 2 == 1};
    std::string text = bench::random_dna(rng_, between(0, 40)) + layout_.flank + one.barcode + one.umi +
                       std::string(between(20, 35), 'T') + bench::random_dna(rng_, between(150, 900)) +
                       bench::random_dna(rng_, between(0, 30));
    truth.push_back(one);
    return one.reverse ? reverse_complement(text) : text;
  }

  std::mt19937_64 rng_{5};
  std::uniform_real_distribution<double> uniform_{0.0, 1.0};
  const std::vector<std::string>& whitelist_;
  std::unordered_set<std::string> on_list_;
  const Layout& layout_;
  double rate_;
  std::vector<std::string> cells_;
  std::discrete_distribution<size_t> cell_choice_;
};

size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row[b.size()];
}

int run(size_t whitelist_size, size_t read_count) {
  std::mt19937_64 rng(737);
  std::vector<std::string> whitelist;
  for (size_t i = 0; i < whitelist_size; ++i) whitelist.push_back(bench::random_dna(rng, 16));
  const std::vector<Text> whitelist_texts = bench::views(whitelist);
  NoHooks hooks;
  Checkpoint checkpoint(hooks);
  ReferenceSet set(whitelist_texts);
  set.prepare_index(2, read_count, 2, checkpoint, CandidateIndex::Choice::always);
  const Layout layout = *layout_preset("10x3v3");

  Simulator simulator(whitelist, layout, 0.05);
  std::vector<std::string> reads(read_count);
  std::vector<std::vector<Truth>> truths(read_count);
  for (size_t r = 0; r < read_count; ++r) reads[r] = simulator.read(truths[r]);
  const std::vector<Text> read_texts = bench::views(reads);
  size_t letters = 0;
  for (const std::string& read : reads) letters += read.size();
  std::printf("%zu reads (mean %zu letters, 5%% errors), whitelist of %zu random 16-mers, k=2, one thread\n\n",
              read_count, letters / read_count, whitelist_size);

  // The baseline: every truth barcode mutated alone and corrected with nearest.
  size_t carried = 0, recalled = 0, unique = 0, unique_right = 0;
  for (const auto& truth : truths) {
    for (const Truth& molecule : truth) {
      const std::string mutated = simulator.mutate(molecule.barcode, simulator.read_rate());
      const NearestMatch found = nearest_accepted(set, Text(mutated), 2, checkpoint);
      const bool right = found.position != no_match && whitelist[found.position] == molecule.barcode;
      if (simulator.on_list(molecule.barcode)) {
        ++carried;
        recalled += found.ties == 1 && right;
      }
      unique += found.ties == 1;
      unique_right += found.ties == 1 && right;
    }
  }
  std::printf("%-44s recall %.4f  precision %.4f\n", "baseline: truth barcodes mutated, alone",
              static_cast<double>(recalled) / static_cast<double>(carried),
              static_cast<double>(unique_right) / static_cast<double>(unique));

  struct Variant {
    const char* name;
    TagRules rules;
  };
  const auto rules = [](size_t context, size_t slack, uint32_t max_edits, uint32_t shift_beyond, size_t wide = 2) {
    TagRules r;
    r.wide_margin = wide;
    r.flank_context = context;
    r.slack = slack;
    r.max_edits = max_edits;
    r.shift_beyond = shift_beyond;
    return r;
  };
  const Variant variants[] = {
      {"the module's rules", TagRules{}},
      {"2 edits only with no runner-up", rules(6, 3, 1, 2, 99)},
      {"barcode within 2 edits, no wide margin", rules(6, 3, 2, 2, 0)},
      {"no flank letters before the entry", rules(0, 3, 1, 2)},
      {"3 flank letters", rules(3, 3, 1, 2)},
      {"10 flank letters", rules(10, 3, 1, 2)},
      {"slack 2", rules(6, 2, 1, 2)},
      {"shifted readings when no fit within 1 edit", rules(6, 3, 1, 1)},
      {"the length reading's lookup alone", rules(6, 3, 1, 99)},

  };
  for (const Variant& variant : variants) {
    const ReadTagger tagger(set, 2, layout, 0, variant.rules);
    std::vector<TaggedRead> tagged(reads.size());
    const auto start = Clock::now();
    for (size_t r = 0; r < reads.size(); ++r) tagger.tag(read_texts[r], tagged[r], checkpoint);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    size_t found = 0, assigned = 0, right = 0, strand = 0, umi = 0, false_flanks = 0;
    for (size_t r = 0; r < reads.size(); ++r) {
      if (truths[r].empty() && tagged[r].front().status != TagStatus::no_flank) ++false_flanks;
      std::vector<std::string> seen;
      for (const TaggedMolecule& molecule : tagged[r]) {
        if (molecule.status != TagStatus::assigned) continue;
        ++assigned;
        const std::string& barcode = whitelist[molecule.match.position];
        for (const Truth& truth : truths[r]) {
          if (truth.barcode != barcode) continue;
          ++right;
          strand += truth.reverse == molecule.reverse;
          umi += edit_distance(truth.umi, molecule.umi) <= 2;
          if (std::find(seen.begin(), seen.end(), barcode) == seen.end()) {
            seen.push_back(barcode);
            ++found;
          }
          break;
        }
      }
    }
    std::printf("%-44s recall %.4f  precision %.4f  strand %.4f  UMI<=2 %.4f  %6.0f reads/s  false flanks %zu\n",
                variant.name, static_cast<double>(found) / static_cast<double>(carried),
                static_cast<double>(right) / static_cast<double>(std::max<size_t>(assigned, 1)),
                static_cast<double>(strand) / static_cast<double>(std::max<size_t>(right, 1)),
                static_cast<double>(umi) / static_cast<double>(std::max<size_t>(right, 1)),
                static_cast<double>(reads.size()) / seconds, false_flanks);
  }
  return 0;
}

}  // namespace
}  // namespace mendseqs

int main(int argc, char** argv) {
  size_t whitelist = 737'280, reads = 20'000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--whitelist") == 0) whitelist = std::stoul(argv[i + 1]);
    if (std::strcmp(argv[i], "--reads") == 0) reads = std::stoul(argv[i + 1]);
  }
  return mendseqs::run(whitelist, reads);
}
