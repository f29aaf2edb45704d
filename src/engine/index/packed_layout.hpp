// The packed layout, for reference lists over A, C, G, T only (nearly every
// whitelist), references of at most 32 letters and k <= 3: compact and
// exact, with no verification.
//
// A k-deletion variant of a reference of length Lr is a code of two bits a
// letter; for one Lr, the code's high bits address its bucket directly and a
// few of the next bits are kept in the posting, so no key nor tag is stored
// besides. A posting does not hold a reference position: it holds how to
// rebuild the reference from the variant (which k positions were deleted,
// as a rank among the k-subsets, and their letters). Each distinct
// reference is indexed once; its code, in a table of the references' codes
// sorted once (duplicates kept, lowest position first), gives the lowest
// position holding it.
//
// Why it is exact: a query shares a variant of m = Lr - k letters with a
// reference exactly when their LCS is at least Lr - k; every reference code
// rebuilt from a query variant contains that variant, so a rebuilt code
// found in the table is a reference passing the LCS test, whichever
// posting it came from. The A-count filter is read from the rebuilt code.
//
// Memory for n 16-letter references at k = 2 (about 70 postings each):
// postings of about 13 bits, bucket offsets of a few bits (a 64-bit base
// every 64 buckets, a narrow offset within the block per bucket), and 16
// bytes per reference for the sorted codes, their positions and a directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/text.hpp"
#include "index/bit_array.hpp"
#include "index/large_array.hpp"
#include "index/sections.hpp"
#include "support/function_ref.hpp"

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

  // Every position below `limit` whose reference passes both filters and
  // the LCS test, sorted, each once, into `out` (cleared first).
  void candidates(const Text& query, size_t query_a_count, size_t limit, std::vector<uint32_t>& out) const;
  // The same for several queries at once, their lookups in flight together:
  // request r's positions are out[ends[r - 1], ends[r]) (from 0 for the
  // first).
  struct Request {
    const Text* query;
    size_t a_count;
    size_t limit;
  };
  void candidates(std::span<const Request> requests, std::vector<uint32_t>& out, std::vector<size_t>& ends) const;

  void save(SectionSink& sink) const;
  // Checks the tables against the references themselves (each code is its
  // reference's, each position once) and every bound a lookup relies on,
  // on up to `threads` threads; the calling thread charges its share of
  // the checking to `charge`, which may throw to end the load.
  static PackedLayout load(
      SectionSource& source, std::span<const Text> references, size_t max_flex, unsigned threads = 1,
      FunctionRef<void(size_t)> charge = [](size_t) {});

  size_t memory_bytes() const noexcept;
  size_t posting_count() const noexcept { return postings_.size(); }

 private:
  struct Group {           // the references of one length
    uint64_t length;       // Lr
    uint64_t bucket_bits;  // the variant's high bits that address its bucket
    uint64_t kept_bits;    // the next bits, kept in each posting
    uint64_t first_bucket;
    uint64_t first_code;  // the group's codes: codes_[first_code, first_code + code_count)
    uint64_t code_count;
    uint64_t directory_bits;   // the codes' high bits the directory is indexed by
    uint64_t first_directory;  // 2^directory_bits + 1 entries
  };
  void derive_tables();

  size_t max_flex_ = 0;
  std::vector<Group> groups_;
  unsigned payload_bits_ = 0;          // rank of the deleted positions, then their letters
  LargeArray<uint64_t> block_starts_;  // first posting of every 64th bucket, and the total
  BitArray bucket_starts_;             // first posting of each bucket, less its block's
  BitArray postings_;                  // (kept key bits << payload_bits_) | payload
  LargeArray<uint64_t> codes_;         // per group, sorted; lowest position first among equals
  LargeArray<uint32_t> positions_;
  LargeArray<uint32_t> directory_;             // per group: first code index of each run of high bits
  std::vector<std::vector<uint32_t>> unrank_;  // per group: rank -> deleted positions, 6 bits each
};

}  // namespace mendseqs
