// A reference list prepared once for one max_flex and used for any number
// of batches: the references, what matching needs of them, and the
// candidate index the cost model would build for a large batch. It can be
// saved to a file and loaded again (mapped, so loading costs a fraction of
// building, and processes that load one file share its pages).
//
// correct() gives, byte for byte and answer for answer, what
// correct_seq_mt (driver.hpp) gives for the same references, queries,
// max_flex and threads; correct_seq_mt itself prepares its references this
// way for its one batch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/driver.hpp"
#include "engine/host.hpp"
#include "engine/tag.hpp"
#include "engine/text.hpp"

namespace mendseqs {

class ReferenceSet;

// A saved file that cannot be loaded: what() names the file and says what
// is wrong with it.
struct IndexFileError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class PreparedReferences {
 public:
  // The texts are read in place and must outlive the object, unchanged.
  // Builds on `threads` threads (0 counts as 1); the calling thread checks
  // in with `caller` (Interrupted passes through). Writes nothing anywhere.
  // `force_index` builds the candidate index whenever it can, cost model
  // or not (tests and fuzzers reach the index's paths on small lists so).
  static PreparedReferences build(std::span<const Text> references, intptr_t max_flex, uint32_t threads,
                                  CallerHooks& caller, bool force_index = false);

  // Writes the references and the index to `path` atomically (a new file
  // renamed onto it). File system errors throw std::system_error.
  void save(const std::string& path, CallerHooks& caller) const;
  // The saved file at `path`, mapped read-only. A file that is no index, or
  // a damaged, newer or too large one, throws IndexFileError; one that
  // cannot be opened throws std::system_error.
  //
  // The file stays open and mapped for the object's life, and must not
  // change in place meanwhile: a new index takes its path by a rename (as
  // save does), which leaves this one's file as it was. Every call checks
  // first that the file still has the size and modification time it had
  // at load, and refuses it otherwise (IndexFileError); a file truncated
  // or written to while a call runs is not caught (index/index_file.hpp).
  static PreparedReferences load(const std::string& path, CallerHooks& caller);

  // correct_seq_mt's batch against these references: banner, marks and
  // line end on file descriptor 1, failures and interruptions as there.
  std::vector<Position> correct(std::span<const Text> queries, uint32_t threads, CallerHooks& caller) const;
  // nearest's batch (driver.hpp) against these references, likewise.
  std::vector<NearestMatch> nearest(std::span<const Text> queries, uint32_t threads, CallerHooks& caller) const;
  // Every read's molecules (engine/tag.hpp; never none: a read without a
  // flank is one no_flank molecule whose insert is the whole read) against
  // these references as a whitelist. A match is assigned when it is the
  // unique nearest and its runner-up is at least `margin` further (no
  // runner-up: infinitely). `threads` (at least 1) share the reads; the
  // calling thread checks in with `caller`. A barcode reading shorter than
  // max_flex trips the tolerance guard (Panic with its own message, on any
  // thread count); workers are cancelled and joined before any failure
  // leaves. Writes nothing to standard output. `qualities`, when given,
  // holds each read's base qualities (Phred + 33, as in FASTQ; an empty
  // one for a read without): they weigh a barcode's close candidates
  // (reads/read_tagger.hpp, rule 2).
  std::vector<TaggedRead> tag(std::span<const Text> reads, const Layout& layout, uint32_t threads, size_t margin,
                              CallerHooks& caller, std::span<const Text> qualities = {}) const;
  // Every accepted reference of each query (accepted as by correct), by
  // increasing position: what grouping near-identical sequences needs (a
  // UMI joins the neighbours it is close to), where nearest keeps one.
  // Every reference that passes both filters is examined, so any of them
  // tripping the tolerance guard fails the call (Panic with its own
  // message). `threads` (at least 1) share the queries; the calling thread
  // checks in with `caller`; workers are cancelled and joined before any
  // failure leaves. Writes nothing to standard output.
  std::vector<std::vector<Position>> neighbours(std::span<const Text> queries, uint32_t threads,
                                                CallerHooks& caller) const;

  size_t size() const noexcept;
  intptr_t max_flex() const noexcept;
  std::span<const Text> references() const noexcept;
  // Whether a candidate index was built (or loaded) for the list.
  bool indexed() const noexcept;
  // For the calls inside the engine (correct, nearest, save and whatever
  // else reads the references), each of which asks for it before it reads
  // anything: a loaded list whose file changed since it was loaded throws
  // IndexFileError here (see load), before a byte of it is read.
  const ReferenceSet& reference_set() const;

  PreparedReferences(PreparedReferences&&) noexcept;
  PreparedReferences& operator=(PreparedReferences&&) noexcept;
  ~PreparedReferences();

 private:
  struct State;
  explicit PreparedReferences(std::unique_ptr<State> state) noexcept;
  std::unique_ptr<State> state_;
};

}  // namespace mendseqs
