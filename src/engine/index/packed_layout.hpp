// The packed layout, for reference lists over A, C, G, T only (nearly every
// whitelist), references of at most 32 letters and k <= 3: compact and
// exact, with no verification, and built so that a lookup costs one
// independent cache miss.
//
// A k-deletion variant of a reference of length Lr is a code of two bits a
// letter. For each Lr, the postings of its variants sit in a block table
// (index/block_table.hpp): the variant's home is computed from the code,
// and the home's 64-byte block says where its postings are, so a lookup
// reads one block (two now and then, when a home spills over). A posting
// keeps the variant's low bits, enough to tell the variants of one home
// apart, and how to rebuild the reference from the variant: which k
// positions were deleted (a rank among the k-subsets) and their letters. It
// holds no position: each distinct reference is indexed once, and a second
// block table, keyed by a mix of the reference's code, gives the positions
// holding each code (duplicates included, lowest first). Both are saved
// and read in place: a position read from the code table is tested against
// the list's length, and the caller checks the filters on every reference
// named, so a damaged table costs answers, never a read out of range.
//
// Why it is exact: a query shares a variant of m = Lr - k letters with a
// reference exactly when their LCS is at least Lr - k; every code rebuilt
// from a query variant contains that variant, so a rebuilt code that the
// code table holds is a reference passing the LCS test, whichever posting
// it came from. The A-count filter is read from the rebuilt code.
//
// Lookups come in windows of queries (Request): every query's variants are
// listed, every block fetched ahead of its use, then every rebuilt code's
// positions fetched the same way, so that hundreds of independent loads
// are in flight and the memory's throughput, not its latency, sets the
// pace. Positions are fetched only for what the answer needs: the lowest
// accepted one (first), or the nearest codes' (nearest: the distance is
// measured on the rebuilt code itself).
//
// Memory for n 16-letter references at k = 2 (about 70 postings each, 15
// bits a posting, blocks four fifths full): about 175 bytes a reference,
// and some 10 more for the code table.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/text.hpp"
#include "index/block_table.hpp"
#include "storage/large_array.hpp"
#include "storage/sections.hpp"
#include "support/function_ref.hpp"
#include "support/nearest_summary.hpp"

namespace mendseqs {

class PackedLayout {
 public:
  static constexpr size_t max_letters = 32;
  static constexpr size_t max_flex_limit = 3;

  // Whether the layout can hold these references at this max_flex: every
  // reference longer than k is over A, C, G, T and at most 32 letters.
  static bool suits(std::span<const Text> references, size_t max_flex);
  // Postings, at most (one per k-subset of each reference longer than k),
  // and the index's bytes at most while it is built and after.
  struct Estimate {
    double postings = 0;
    double build_bytes = 0;
    double bytes = 0;
  };
  static Estimate estimate(std::span<const uint32_t> lengths, size_t max_flex);

  PackedLayout() = default;
  PackedLayout(std::span<const Text> references, size_t max_flex, unsigned threads, FunctionRef<void(size_t)> charge);
  PackedLayout(PackedLayout&&) noexcept = default;
  PackedLayout& operator=(PackedLayout&&) noexcept = default;

  // One query of a window: its A-count, and the positions it asks about
  // (those below `limit`).
  struct Request {
    const Text* query;
    size_t a_count;
    size_t limit;
  };
  // For each request, the lowest position below its limit whose reference
  // passes both filters and the LCS test, or SIZE_MAX.
  void first(std::span<const Request> requests, std::span<size_t> out) const;
  // For each request, every such position, sorted, each once:
  // out[ends[r - 1], ends[r]) (from 0 for the first).
  void candidates(std::span<const Request> requests, std::vector<uint32_t>& out, std::vector<size_t>& ends) const;
  // For one query.
  void candidates(const Text& query, size_t query_a_count, size_t limit, std::vector<uint32_t>& out) const;
  // For each request, the nearest of the references this layout holds that
  // pass both filters and the LCS test (the distance: Lq + Lr - 2 LCS),
  // whatever the limit.
  void nearest(std::span<const Request> requests, std::span<NearestSummary> out) const;

  void save(SectionSink& sink) const;
  // Checks the small sections (the tables' shapes, the overflow lists),
  // the references' lengths against the groups, and a sample of the
  // references against the fingerprint saved with them; the postings and
  // the code tables are read in place, every range read from them clamped
  // into its table, so a damaged file can cost answers but never make a
  // read out of range. The pass over the lengths runs on up to `threads`
  // threads; the calling thread charges its share to `charge`, which may
  // throw to end the load.
  static PackedLayout load(
      SectionSource& source, std::span<const Text> references, size_t max_flex, unsigned threads = 1,
      FunctionRef<void(size_t)> charge = [](size_t) {});

  // Copies what a load borrowed from its source into memory of the
  // process's own (huge pages where the kernel gives them); the source may
  // go after. Throws std::bad_alloc.
  void copy_borrowed();

  // A copy whose posting tables keep their entries split or packed (block
  // table): the same answers; the benchmark compares the two searches.
  PackedLayout relaid(bool split_postings) const;

  size_t memory_bytes() const noexcept;
  size_t posting_count() const noexcept { return posting_count_; }
  // Postings a lookup finds, about: the densest group's postings over the
  // variants its keys can name (4^(Lr - k)).
  double hits_per_lookup() const noexcept;

 private:
  struct Group {  // the references of one length
    uint64_t length = 0;
    unsigned payload_bits = 0;  // rank of the deleted positions, then their letters
    unsigned key_bits = 0;      // the variant's low bits kept in each posting
    BlockTable postings;
    size_t posting_word = 0;  // where its blocks start in posting_words_
    unsigned code_key_bits = 0;
    BlockTable codes;  // mix of the code -> (low bits of the mix, position)
    size_t code_word = 0;
    std::vector<uint32_t> unrank;  // rank -> deleted positions, 6 bits each
  };
  struct Scratch;

  void build_code_tables(std::span<const uint64_t> codes, std::span<const uint8_t> group_of,
                         FunctionRef<void(size_t)> charge);
  void derive_unrank();
  // The posting tables' fingerprint compare: the process's instruction set's.
  void choose_fingerprint_match();
  // Lists every request's lookups, reads their blocks and rebuilds the
  // codes they find (A-count filter passed, repeats mostly dropped), in
  // request order, into the scratch.
  void find_codes(std::span<const Request> requests, Scratch& s) const;
  // visit(i, position) for each position of the codes s.found[i] for i in
  // `which`, in increasing position within one code, until visit returns
  // false for that code (its lowest position is all `first` needs).
  template <class Visit>
  void positions_of(Scratch& s, std::span<const uint32_t> which, Visit&& visit) const;

  size_t max_flex_ = 0;
  size_t reference_count_ = 0;
  unsigned position_bits_ = 1;
  unsigned bucket_bits_ = 1;  // a posting's share of where its reference lies in the list
  size_t posting_count_ = 0;
  bool split_postings_ = true;  // the posting tables' entries of 8 bits or more split (BlockTable)
  uint64_t fingerprint_ = 0;    // of the references' codes and positions
  std::vector<Group> groups_;
  LargeArray<uint64_t> posting_words_;
  LargeArray<uint64_t> code_words_;
};

}  // namespace mendseqs
