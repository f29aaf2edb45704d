#include "engine/prepared_references.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "batch/batch.hpp"
#include "batch/driver.hpp"
#include "batch/progress.hpp"
#include "index/index_file.hpp"
#include "index/load_checks.hpp"
#include "match/matcher.hpp"
#include "support/machine.hpp"

namespace mendseqs {
namespace {

// The batch the cost model is asked about when the references are prepared
// for many: a whitelist job's worth of queries. Short lists still get no
// index (scanning them beats any lookup); long ones get the index a large
// batch would.
constexpr size_t large_batch_queries = 1'000'000;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// The references as saved: one width for all (the widest any has), their
// code points end to end, and where each starts.
void save_references(SectionSink& sink, std::span<const Text> references, Checkpoint& checkpoint) {
  CharWidth width = CharWidth::one;
  uint64_t total = 0;
  std::vector<uint64_t> offsets;
  offsets.reserve(references.size() + 1);
  offsets.push_back(0);
  for (const Text& text : references) {
    width = std::max(width, text.width());
    total += text.length();
    offsets.push_back(total);
  }
  const auto put_chars = [&]<class Unit>(Unit) {
    std::vector<Unit> chars;
    chars.reserve(static_cast<size_t>(total));
    for (const Text& text : references) {
      text.visit([&](auto code_points) { chars.insert(chars.end(), code_points.begin(), code_points.end()); });
      checkpoint.charge(text.length() + 1);
    }
    sink.put_array<Unit>("references.chars", chars);
  };
  sink.put_scalar<uint8_t>("references.width", static_cast<uint8_t>(width));
  sink.put_array<uint64_t>("references.offsets", offsets);
  switch (width) {
    case CharWidth::one:
      put_chars(uint8_t{});
      break;
    case CharWidth::two:
      put_chars(uint16_t{});
      break;
    default:
      put_chars(uint32_t{});
      break;
  }
}

// How many threads check a loaded file: as many as the process may run on
// (the checks read the file once, at memory speed), at most 8.
unsigned load_threads() noexcept { return std::min(usable_processors(), 8u); }

// Views of the saved references, in the mapping, made and checked on
// `threads` threads: a list of millions costs a few milliseconds so.
template <class Unit>
std::vector<Text> reference_views(SectionSource& source, std::span<const uint64_t> offsets, unsigned threads,
                                  Checkpoint& checkpoint) {
  const std::span<const Unit> chars = source.array<Unit>("references.chars");
  const auto charge = [&](size_t work) { checkpoint.charge(work); };
  if constexpr (sizeof(Unit) > 1)
    check_in_chunks(chars.size(), threads, charge, [&](size_t begin, size_t end) {
      bool bad = false;
      for (size_t i = begin; i < end; ++i) bad |= (chars[i] >= 0xD800 && chars[i] <= 0xDFFF) || chars[i] > 0x10FFFF;
      if (bad) throw IndexFormatError("a reference holds an invalid code point");
    });
  if (offsets.empty() || offsets.front() != 0 || offsets.back() != chars.size())
    throw IndexFormatError("the references' offsets do not cover their characters");
  std::vector<Text> texts(offsets.size() - 1);
  check_in_chunks(texts.size(), threads, charge, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      if (offsets[i + 1] < offsets[i])
        throw IndexFormatError("reference " + std::to_string(i) + " ends before it starts");
      if (offsets[i + 1] > chars.size())
        throw IndexFormatError("the references' offsets do not cover their characters");
    }
    for (size_t i = begin; i < end; ++i)
      texts[i] = Text(chars.data() + offsets[i], static_cast<size_t>(offsets[i + 1] - offsets[i]),
                      static_cast<CharWidth>(sizeof(Unit)));
  });
  return texts;
}

}  // namespace

// Declared in the order they must go: the set's index may borrow from the
// file's mapping, and the set views the texts.
struct PreparedReferences::State {
  std::string path;  // of the file loaded, as given
  std::unique_ptr<IndexFileReader> file;
  std::vector<Text> loaded_texts;
  std::span<const Text> texts;
  intptr_t max_flex = 0;
  std::unique_ptr<ReferenceSet> set;
};

PreparedReferences::PreparedReferences(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
PreparedReferences::PreparedReferences(PreparedReferences&&) noexcept = default;
PreparedReferences& PreparedReferences::operator=(PreparedReferences&&) noexcept = default;
PreparedReferences::~PreparedReferences() = default;

size_t PreparedReferences::size() const noexcept { return state_->texts.size(); }
intptr_t PreparedReferences::max_flex() const noexcept { return state_->max_flex; }
std::span<const Text> PreparedReferences::references() const noexcept { return state_->texts; }
bool PreparedReferences::indexed() const noexcept { return state_->set->index(state_->max_flex) != nullptr; }
namespace {

IndexFileError changed_since_loaded(const std::string& path) {
  return IndexFileError("'" + path +
                        "' changed since it was loaded: an index in use may only be replaced by a rename "
                        "(a new file renamed onto its path, as save and `mendseqs index` do), never changed in "
                        "place; load it again");
}

}  // namespace

const ReferenceSet& PreparedReferences::reference_set() const {
  if (state_->file && !state_->file->unchanged()) throw changed_since_loaded(state_->path);
  return *state_->set;
}

PreparedReferences PreparedReferences::build(std::span<const Text> references, intptr_t max_flex, uint32_t threads,
                                             CallerHooks& caller, bool force_index) {
  Checkpoint checkpoint(caller);
  auto state = std::make_unique<State>();
  state->texts = references;
  state->max_flex = max_flex;
  state->set = std::make_unique<ReferenceSet>(references, selected_isa(), true, &checkpoint);
  state->set->prepare_index(max_flex, large_batch_queries, std::max<uint32_t>(threads, 1), checkpoint,
                            force_index ? CandidateIndex::Choice::always : CandidateIndex::Choice::cost_model);
  return PreparedReferences(std::move(state));
}

std::vector<Position> PreparedReferences::correct(std::span<const Text> queries, uint32_t threads,
                                                  CallerHooks& caller) const {
  return mendseqs::correct(*this, queries, threads, caller, standard_output());
}

std::vector<NearestMatch> PreparedReferences::nearest(std::span<const Text> queries, uint32_t threads,
                                                      CallerHooks& caller) const {
  return mendseqs::nearest(*this, queries, threads, caller, standard_output());
}

std::vector<Position> correct(const PreparedReferences& references, std::span<const Text> queries, uint32_t threads,
                              CallerHooks& caller, OutputStream& out) {
  const ReferenceSet& set = references.reference_set();
  Checkpoint checkpoint(caller);
  print_banner(out, threads, checkpoint);
  if (threads == 0) return {};
  return run_batch(set, queries, references.max_flex(), threads, caller, out, checkpoint);
}

std::vector<NearestMatch> nearest(const PreparedReferences& references, std::span<const Text> queries, uint32_t threads,
                                  CallerHooks& caller, OutputStream& out) {
  const ReferenceSet& set = references.reference_set();
  Checkpoint checkpoint(caller);
  print_banner(out, threads, checkpoint);
  if (threads == 0) return {};
  return run_nearest_batch(set, queries, references.max_flex(), threads, caller, out, checkpoint);
}

void PreparedReferences::save(const std::string& path, CallerHooks& caller) const {
  const ReferenceSet& set = reference_set();
  Checkpoint checkpoint(caller);
  IndexFileWriter file(path, checkpoint);
  file.put_scalar<uint64_t>("max_flex", static_cast<uint64_t>(static_cast<int64_t>(state_->max_flex)));
  save_references(file, state_->texts, checkpoint);
  set.save(file);
  const CandidateIndex* index = set.index(state_->max_flex);
  file.put_scalar<uint8_t>("indexed", index != nullptr);
  if (index) index->save(file);
  // What was copied from a loaded file is what was loaded: a write in
  // place within the clock tick of the load leaves the size and time as
  // they were, and the copy would be a file no load accepts. Checked
  // after the copy, before the new file takes its name.
  if (state_->file) {
    if (!state_->file->unchanged()) throw changed_since_loaded(state_->path);
    try {
      state_->file->check_again(checkpoint);
    } catch (const IndexFormatError&) {
      throw changed_since_loaded(state_->path);
    }
  }
  file.commit();
}

PreparedReferences PreparedReferences::load(const std::string& path, CallerHooks& caller) {
  Checkpoint checkpoint(caller);
  // Not blocking: a FIFO with no writer would hold the call in open(), out
  // of reach of Ctrl+C; the reader refuses anything but a regular file.
  FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) throw std::system_error(errno, std::generic_category(), path);
  auto state = std::make_unique<State>();
  state->path = path;
  try {
    state->file = std::make_unique<IndexFileReader>(fd.get(), checkpoint);
    IndexFileReader& file = *state->file;
    const auto max_flex = static_cast<int64_t>(file.scalar<uint64_t>("max_flex"));
    if (max_flex < INTPTR_MIN || max_flex > INTPTR_MAX)
      throw IndexFormatError("its max_flex " + std::to_string(max_flex) + " is out of range here");
    state->max_flex = static_cast<intptr_t>(max_flex);
    const std::span<const uint64_t> offsets = file.array<uint64_t>("references.offsets");
    const unsigned threads = load_threads();
    switch (file.scalar<uint8_t>("references.width")) {
      case 1:
        state->loaded_texts = reference_views<uint8_t>(file, offsets, threads, checkpoint);
        break;
      case 2:
        state->loaded_texts = reference_views<uint16_t>(file, offsets, threads, checkpoint);
        break;
      case 4:
        state->loaded_texts = reference_views<uint32_t>(file, offsets, threads, checkpoint);
        break;
      default:
        throw IndexFormatError("the references have an unknown character width");
    }
    state->texts = state->loaded_texts;
    state->set = std::make_unique<ReferenceSet>(state->texts, file, threads, &checkpoint);
    switch (file.scalar<uint8_t>("indexed")) {
      case 0:
        break;
      case 1:
        if (state->max_flex < 0 ||
            state->set->load_index(file, threads, checkpoint) != static_cast<size_t>(state->max_flex))
          throw IndexFormatError("the candidate index was built for another max_flex");
        break;
      default:
        throw IndexFormatError("section indexed is neither 0 nor 1");
    }
  } catch (const IndexFormatError& error) {
    throw IndexFileError("'" + path + "' is not a usable mendseqs index: " + error.what());
  }
  return PreparedReferences(std::move(state));
}

}  // namespace mendseqs
