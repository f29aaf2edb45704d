// The packed layout's shape checks, its estimate for the cost model, and
// its save and load: a loaded layout reads its tables in place.
#include "index/packed_layout.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "index/deletions.hpp"
#include "index/index_file.hpp"
#include "index/load_checks.hpp"
#include "index/packed_codes.hpp"
#include "kernels/simd/fingerprints.hpp"
#include "kernels/simd/isa.hpp"

namespace mendseqs {

using namespace packed;

bool PackedLayout::suits(std::span<const Text> references, size_t k) {
  if (k > max_flex_limit || references.size() >= std::numeric_limits<uint32_t>::max()) return false;
  for (const Text& reference : references) {
    if (reference.length() <= k) continue;
    if (reference.length() > max_letters) return false;
    const bool dna = reference.visit([](auto code_points) {
      for (const auto c : code_points)
        if (upper_base_code(c) == unmatched_code) return false;
      return true;
    });
    if (!dna) return false;
  }
  return true;
}

PackedLayout::Estimate PackedLayout::estimate(std::span<const uint32_t> lengths, size_t k) {
  Estimate e;
  std::array<double, max_letters + 1> per_length{};
  double references = 0;
  for (const uint32_t length : lengths) {
    if (length <= k || length > max_letters) continue;
    per_length[length] += 1;
    references += 1;
  }
  const double position_bits = std::max(1, std::bit_width(std::max<size_t>(lengths.size(), 2) - 1));
  for (size_t length = k + 1; length <= max_letters; ++length) {
    if (per_length[length] == 0) continue;
    // At most: canonical deletions leave about 60% of the bound on random
    // DNA, but all of it on a list without runs.
    const double postings = per_length[length] * static_cast<double>(binomial(length, k));
    e.postings += postings;
    const Shape posting_shape =
        shape_for(postings, 2 * static_cast<unsigned>(length - k), payload_bits_of(length, k, default_bucket_bits));
    const Shape code_shape =
        shape_for(per_length[length], 2 * static_cast<unsigned>(length), static_cast<unsigned>(position_bits));
    // Blocks, and room for the last homes' spill.
    e.bytes += static_cast<double>(posting_shape.homes + code_shape.homes) * BlockTable::block_bytes * 1.02 + 4096;
    e.bytes += 4.0 * static_cast<double>(size_t{1} << rank_bits(length, k));
  }
  // While building: each reference's code and group, the distinct codes,
  // the code table's counts, and one round of 64-bit postings.
  e.bytes = std::ceil(e.bytes);
  e.build_bytes =
      std::ceil(e.bytes + 25 * references + 8 * std::min(e.postings, static_cast<double>(postings_per_round)));
  return e;
}

void PackedLayout::choose_fingerprint_match() {
  const FingerprintMatch match = fingerprint_match(selected_isa());
  for (Group& g : groups_) g.postings.use_fingerprint_match(match);
}

void PackedLayout::derive_unrank() {
  const size_t k = max_flex_;
  for (Group& g : groups_) {
    std::vector<uint32_t>& table = g.unrank;
    table.assign(size_t{1} << rank_bits(g.length, k), std::numeric_limits<uint32_t>::max());
    // Every k-subset of [0, length), by the combinatorial number system.
    uint32_t p[max_flex_limit + 1] = {};
    const auto walk = [&](auto& self, uint32_t from, size_t depth) -> void {
      if (depth == k) {
        uint64_t rank = 0;
        uint32_t packed = 0;
        for (size_t j = 0; j < k; ++j) {
          rank += small_binomials[p[j]][j + 1];
          packed |= p[j] << (6 * j);
        }
        table[rank] = packed;
        return;
      }
      for (uint32_t q = from; q < g.length; ++q) {
        p[depth] = q;
        self(self, q + 1, depth + 1);
      }
    };
    walk(walk, 0, 0);
  }
}

void PackedLayout::copy_borrowed() {
  if (posting_words_.borrowed()) posting_words_ = posting_words_.copy();
  if (code_words_.borrowed()) code_words_ = code_words_.copy();
}

double PackedLayout::hits_per_lookup() const noexcept {
  // Each group's postings, by its share of the slots.
  double slots = 0, hits = 0;
  for (const Group& g : groups_) slots += static_cast<double>(g.postings.slots());
  for (const Group& g : groups_) {
    const double postings = static_cast<double>(posting_count_) * static_cast<double>(g.postings.slots()) / slots;
    hits = std::max(hits, postings / std::ldexp(1.0, 2 * static_cast<int>(g.length - max_flex_)));
  }
  return hits;
}

PackedLayout PackedLayout::relaid(bool split_postings) const {
  PackedLayout copy;
  copy.max_flex_ = max_flex_;
  copy.reference_count_ = reference_count_;
  copy.position_bits_ = position_bits_;
  copy.bucket_bits_ = bucket_bits_;
  copy.posting_count_ = posting_count_;
  copy.fingerprint_ = fingerprint_;
  copy.split_postings_ = split_postings;
  copy.groups_ = groups_;
  copy.code_words_ = code_words_.copy();
  copy.posting_words_ = LargeArray<uint64_t>(posting_words_.size());
  const uint64_t* from = posting_words_.data();
  uint64_t* to = copy.posting_words_.data();
  for (size_t gi = 0; gi < groups_.size(); ++gi) {
    const BlockTable& old = groups_[gi].postings;
    BlockTable& table = copy.groups_[gi].postings;
    table = BlockTable(old.homes(), old.width(), split_postings);
    table.adopt(old.blocks(), old.overflow());
    const uint64_t* old_words = from + groups_[gi].posting_word;
    uint64_t* words = to + groups_[gi].posting_word;
    for (uint64_t b = 0; b < old.blocks(); ++b) {
      // The header, then every slot: unused ones are zero either way.
      words[b * BlockTable::words_per_block] = old_words[b * BlockTable::words_per_block] & 0xFFFFFFFFu;
      for (unsigned j = 0; j < old.slots_per_block(); ++j) table.put_entry(words, b, j, old.entry(old_words, b, j));
    }
  }
  copy.choose_fingerprint_match();
  return copy;
}

size_t PackedLayout::memory_bytes() const noexcept {
  size_t bytes = posting_words_.bytes() + code_words_.bytes() + groups_.capacity() * sizeof(Group);
  for (const Group& g : groups_)
    bytes += 4 * g.unrank.capacity() +
             (g.postings.overflow().capacity() + g.codes.overflow().capacity()) * sizeof(BlockTable::Overflow);
  return bytes;
}

void PackedLayout::save(SectionSink& sink) const {
  std::vector<uint64_t> groups, overflow;
  for (uint32_t gi = 0; gi < groups_.size(); ++gi) {
    const Group& g = groups_[gi];
    for (const uint64_t field : {g.length, g.postings.homes(), uint64_t{g.postings.width()}, g.postings.blocks()})
      groups.push_back(field);
    for (const BlockTable::Overflow& o : g.postings.overflow())
      for (const uint64_t field : {uint64_t{gi}, o.home, o.first, o.count}) overflow.push_back(field);
  }
  sink.put_array<uint64_t>("packed.groups", groups);
  sink.put_array<uint64_t>("packed.overflow", overflow);
  sink.put_scalar<uint64_t>("packed.posting_count", posting_count_);
  sink.put_scalar<uint64_t>("packed.fingerprint", fingerprint_);
  sink.put_scalar<uint32_t>("packed.bucket_bits", bucket_bits_);
  // Whether the posting tables keep their entries split (a file of format
  // 3 loaded, then saved, keeps its tables as they were).
  sink.put_scalar<uint32_t>("packed.split_postings", split_postings_ ? 1 : 0);
  sink.put_array<uint64_t>("packed.postings", posting_words_.view());
  // The code tables too: rebuilding them at load costs most of a load.
  std::vector<uint64_t> code_groups, code_overflow;
  for (uint32_t gi = 0; gi < groups_.size(); ++gi) {
    const Group& g = groups_[gi];
    for (const uint64_t field : {g.codes.homes(), uint64_t{g.codes.width()}, g.codes.blocks()})
      code_groups.push_back(field);
    for (const BlockTable::Overflow& o : g.codes.overflow())
      for (const uint64_t field : {uint64_t{gi}, o.home, o.first, o.count}) code_overflow.push_back(field);
  }
  sink.put_array<uint64_t>("packed.code_groups", code_groups);
  sink.put_array<uint64_t>("packed.code_overflow", code_overflow);
  sink.put_array<uint64_t>("packed.codes", code_words_.view());
}

PackedLayout PackedLayout::load(SectionSource& source, std::span<const Text> references, size_t k, unsigned threads,
                                FunctionRef<void(size_t)> charge) {
  const auto fail = [](const std::string& what) { throw IndexFormatError("packed index: " + what); };
  PackedLayout layout;
  layout.max_flex_ = k;
  layout.reference_count_ = references.size();
  const size_t n = references.size();
  layout.position_bits_ = static_cast<unsigned>(std::max(1, std::bit_width(std::max<size_t>(n, 2) - 1)));
  if (k > max_flex_limit) fail("max_flex out of range");
  const std::span<const uint64_t> groups = source.array<uint64_t>("packed.groups");
  const std::span<const uint64_t> overflow = source.array<uint64_t>("packed.overflow");
  layout.posting_count_ = static_cast<size_t>(
      std::min<uint64_t>(source.scalar<uint64_t>("packed.posting_count"), std::numeric_limits<size_t>::max()));
  const std::span<const uint64_t> postings = source.array<uint64_t>("packed.postings");
  const uint64_t fingerprint = source.scalar<uint64_t>("packed.fingerprint");
  layout.bucket_bits_ = source.scalar<uint32_t>("packed.bucket_bits");
  if (layout.bucket_bits_ > most_bucket_bits) fail("bucket bits out of range");
  if (groups.size() % 4 != 0) fail("groups section is not whole groups");
  // Format 3 packed every table's entries; later ones say how the posting
  // tables keep theirs.
  const uint32_t older = source.older_version();
  if (older != 0 && older < fingerprint_format_version) {
    layout.split_postings_ = false;
  } else {
    const uint32_t split = source.scalar<uint32_t>("packed.split_postings");
    if (split > 1) fail("split_postings: neither 0 nor 1");
    layout.split_postings_ = split == 1;
  }

  // The lengths the references have (longer than k) are exactly the
  // groups'.
  std::array<uint8_t, max_letters + 1> group_of_length;
  group_of_length.fill(no_group);
  std::array<std::atomic<bool>, max_letters + 1> present{};
  check_in_chunks(n, threads, charge, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      const size_t length = references[i].length();
      if (length <= k) continue;
      if (length > max_letters) fail("a reference longer than 32 letters");
      present[length].store(true, std::memory_order_relaxed);
    }
  });
  uint64_t words = 0;  // in 64 bits: see BlockTable::word_count
  for (size_t i = 0; i < groups.size(); i += 4) {
    const uint64_t length = groups[i], homes = groups[i + 1], width = groups[i + 2], blocks = groups[i + 3];
    if (length <= k || length > max_letters || (!layout.groups_.empty() && length <= layout.groups_.back().length))
      fail("group lengths out of order or range");
    if (!present[length].load()) fail("a group of a length no reference has");
    const unsigned payload = payload_bits_of(length, k, layout.bucket_bits_);
    const auto bits = static_cast<unsigned>(2 * (length - k));
    if (width < payload || width > 64 || width == 0 || width - payload > bits)
      fail("a group's posting width is out of range");
    const auto key_bits = static_cast<unsigned>(width - payload);
    if (homes == 0 || homes >= (uint64_t{1} << 32) || bits - key_bits > 31 ||
        homes < (uint64_t{1} << (bits - key_bits)))
      fail("a group's homes do not match its posting width");
    if (blocks < homes || blocks > (uint64_t{1} << 40)) fail("a group's block count is out of range");
    Group g;
    g.length = length;
    g.payload_bits = payload;
    g.key_bits = key_bits;
    g.postings = BlockTable(homes, static_cast<unsigned>(width), layout.split_postings_);
    g.postings.adopt(blocks, {});
    g.posting_word = static_cast<size_t>(words);
    words += g.postings.word_count();
    group_of_length[length] = static_cast<uint8_t>(layout.groups_.size());
    layout.groups_.push_back(std::move(g));
  }
  for (size_t length = k + 1; length <= max_letters; ++length)
    if (present[length].load() && group_of_length[length] == no_group) fail("no group for references of a length");
  if (words != uint64_t{postings.size()}) fail("postings do not match the groups' blocks");
  // Overflow entries: sorted by group and home, each of a home its group
  // has. (Their ranges are clamped where they are read.)
  const auto adopt_overflow = [&](std::span<const uint64_t> entries, BlockTable Group::* table) {
    if (entries.size() % 4 != 0) fail("overflow section is not whole entries");
    std::vector<std::vector<BlockTable::Overflow>> spilled(layout.groups_.size());
    for (size_t i = 0; i < entries.size(); i += 4) {
      const uint64_t group = entries[i], home = entries[i + 1];
      if (group >= layout.groups_.size() || home >= (layout.groups_[group].*table).homes())
        fail("an overflow entry out of range");
      if (i > 0 && std::pair(entries[i - 4], entries[i - 3]) >= std::pair(group, home))
        fail("overflow entries out of order");
      spilled[group].push_back({home, entries[i + 2], entries[i + 3]});
    }
    for (size_t gi = 0; gi < layout.groups_.size(); ++gi) {
      BlockTable& t = layout.groups_[gi].*table;
      t.adopt(t.blocks(), std::move(spilled[gi]));
    }
  };
  adopt_overflow(overflow, &Group::postings);

  // The code tables: entries of a key's low bits above a position's bits.
  // A position read from them is tested against the list's length where it
  // is read, and the matcher checks the filters again on every reference
  // named: damaged, they cost answers.
  const std::span<const uint64_t> code_groups = source.array<uint64_t>("packed.code_groups");
  const std::span<const uint64_t> code_words = source.array<uint64_t>("packed.codes");
  if (code_groups.size() != 3 * layout.groups_.size()) fail("code tables do not match the groups");
  uint64_t code_word_count = 0;
  for (size_t gi = 0; gi < layout.groups_.size(); ++gi) {
    Group& g = layout.groups_[gi];
    const uint64_t homes = code_groups[3 * gi], width = code_groups[3 * gi + 1], blocks = code_groups[3 * gi + 2];
    if (homes == 0 || homes >= (uint64_t{1} << 32) || width < layout.position_bits_ || width > 64 ||
        width - layout.position_bits_ > 2 * g.length || blocks < homes || blocks > (uint64_t{1} << 40))
      fail("a code table's shape is out of range");
    g.codes = BlockTable(homes, static_cast<unsigned>(width));
    g.codes.adopt(blocks, {});
    g.code_key_bits = static_cast<unsigned>(width - layout.position_bits_);
    g.code_word = static_cast<size_t>(code_word_count);
    code_word_count += g.codes.word_count();
  }
  if (code_word_count != uint64_t{code_words.size()}) fail("code tables do not match their blocks");
  adopt_overflow(source.array<uint64_t>("packed.code_overflow"), &Group::codes);

  layout.posting_words_ = LargeArray<uint64_t>::borrow(postings);
  layout.code_words_ = LargeArray<uint64_t>::borrow(code_words);
  layout.derive_unrank();
  layout.choose_fingerprint_match();
  layout.fingerprint_ = sampled_fingerprint(references, k);
  if (layout.fingerprint_ != fingerprint)
    fail("the references are not those it was built over (or not in the same order)");
  return layout;
}

}  // namespace mendseqs
