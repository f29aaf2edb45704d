// One input: which of four saved indexes (the packed and the hashed layout,
// at k=1 and k=2), and edits to it (bytes xored at chosen places, maybe a
// cut), with the checksums then made right again or left as they are.
// Loading the result must either refuse it (IndexFileError) or give a
// prepared list whose correct and nearest answer queries without crashing,
// hanging or reading out of bounds (the trust model:
// src/engine/index/index_file.hpp); left unedited, it must answer as the
// scan does.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "batch/driver.hpp"
#include "batch/progress.hpp"
#include "engine/driver.hpp"
#include "engine/panic.hpp"
#include "engine/prepared_references.hpp"
#include "index/index_file.hpp"

namespace {

using namespace mendseqs;

std::vector<Text> query_texts;

// A saved index and what the scan answers for the queries against it.
struct Saved {
  std::vector<std::byte> file;
  std::vector<Position> first;        // correct
  std::vector<NearestMatch> nearest;  // nearest
};
std::vector<Saved> saved;  // packed k=1, packed k=2, hashed k=1, hashed k=2

OutputStream& null_output() {
  static OutputStream* out = new OutputStream(open("/dev/null", O_WRONLY | O_CLOEXEC));
  return *out;
}

uint64_t load64(const std::byte* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
void store64(std::byte* p, uint64_t v) { std::memcpy(p, &v, 8); }

// Makes every checksum right again for what the edited header and table
// say, so that the edits reach the checks behind the checksums.
void fix_checksums(std::vector<std::byte>& file) {
  NoHooks hooks;
  Checkpoint checkpoint(hooks);
  if (file.size() < 64) return;
  const uint64_t table = load64(file.data() + 16);
  if (table <= file.size()) {
    for (uint64_t e = table; e + 64 <= file.size(); e += 64) {
      const uint64_t offset = load64(file.data() + e + 40), length = load64(file.data() + e + 48);
      if (offset <= file.size() && length <= file.size() - offset)
        store64(file.data() + e + 56, section_checksum(std::span(file.data() + offset, length), checkpoint));
    }
    store64(file.data() + 32, section_checksum(std::span(file.data() + table, file.size() - table), checkpoint));
  }
  store64(file.data() + 40, section_checksum(std::span(file.data(), 40), checkpoint));
}

// correct's and nearest's answers; empty where the guard trips (with
// references a damaged file made up).
std::pair<std::vector<Position>, std::vector<NearestMatch>> answers(const PreparedReferences& prepared) {
  NoHooks hooks;
  std::pair<std::vector<Position>, std::vector<NearestMatch>> got;
  try {
    got.first = correct(prepared, query_texts, 1, hooks, null_output());
  } catch (const Panic&) {
  }
  try {
    got.second = nearest(prepared, query_texts, 1, hooks, null_output());
  } catch (const Panic&) {
  }
  return got;
}

std::vector<std::byte> saved_file(const PreparedReferences& prepared) {
  NoHooks hooks;
  char path[] = "/tmp/index_file_fuzz-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) std::abort();
  close(fd);
  prepared.save(path, hooks);
  std::vector<std::byte> bytes;
  FILE* file = std::fopen(path, "rb");
  for (int c; (c = std::fgetc(file)) != EOF;) bytes.push_back(static_cast<std::byte>(c));
  std::fclose(file);
  unlink(path);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::mt19937 rng(1605);
  // Over A, C, G, T the packed layout; with an N here and there, the hashed
  // one. Queries near references of the first list, some with an N.
  static std::vector<std::string> strings[2];
  static std::vector<Text> texts[2];
  for (int layout = 0; layout < 2; ++layout) {
    for (int i = 0; i < 300; ++i) {
      std::string text(8 + rng() % 3, 'A');
      for (char& c : text) c = "ACGTN"[rng() % (layout == 0 ? 4 : 5)];
      strings[layout].push_back(text);
    }
    for (const std::string& s : strings[layout]) texts[layout].emplace_back(s);
  }
  static std::vector<std::string> query_strings;
  for (int i = 0; i < 64; ++i) {
    std::string query = strings[i % 2][rng() % strings[i % 2].size()];
    query[rng() % query.size()] = "ACGTN"[rng() % 5];
    if (rng() % 2) query.erase(rng() % query.size(), 1);
    query_strings.push_back(query);
  }
  for (const std::string& s : query_strings) query_texts.emplace_back(s);

  NoHooks hooks;
  for (int layout = 0; layout < 2; ++layout)
    for (const intptr_t k : {1, 2}) {
      const PreparedReferences built = PreparedReferences::build(texts[layout], k, 1, hooks, /*force_index=*/true);
      if (!built.indexed()) std::abort();  // the index's own sections must be there to edit
      Saved one{saved_file(built), {}, {}};
      const std::string_view name = layout == 0 ? "packed.postings" : "hashed.entries";
      const std::string_view bytes(reinterpret_cast<const char*>(one.file.data()), one.file.size());
      if (bytes.find(name) == std::string_view::npos) std::abort();  // the layout meant
      std::tie(one.first, one.nearest) = answers(built);
      if (one.first != correct_seq_mt(texts[layout], query_texts, k, 1, hooks, null_output()) ||
          one.nearest != nearest(texts[layout], query_texts, k, 1, hooks, null_output()))
        std::abort();
      saved.push_back(std::move(one));
    }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const Saved& valid = saved[input.ConsumeIntegralInRange<size_t>(0, saved.size() - 1)];
  const std::vector<std::byte>& valid_file = valid.file;
  std::vector<std::byte> file = valid_file;
  const bool fix = input.ConsumeBool();
  if (input.ConsumeBool()) file.resize(input.ConsumeIntegralInRange<size_t>(0, file.size()));
  bool edited = file.size() != valid_file.size();
  while (input.remaining_bytes() >= 3 && !file.empty()) {
    // Mostly in the header and the table, where the structure is.
    const bool structure = input.ConsumeBool();
    const size_t table = file.size() > 64 * 8 ? file.size() - 64 * 8 : 0;
    const size_t at = structure ? (input.ConsumeBool() ? input.ConsumeIntegralInRange<size_t>(0, 63)
                                                       : input.ConsumeIntegralInRange<size_t>(table, file.size() - 1))
                                : input.ConsumeIntegralInRange<size_t>(0, file.size() - 1);
    const auto flip = static_cast<std::byte>(input.ConsumeIntegral<uint8_t>());
    file[std::min(at, file.size() - 1)] ^= flip;
    edited = edited || flip != std::byte{0};
  }
  if (fix) fix_checksums(file);

  const int fd = memfd_create("index", MFD_CLOEXEC);
  if (fd < 0) std::abort();
  if (!file.empty() && write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) std::abort();
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  NoHooks hooks;
  try {
    const PreparedReferences loaded = PreparedReferences::load(path, hooks);
    const auto [first, nearest] = answers(loaded);
    // Unedited: the scan's answers.
    if (!edited && (first != valid.first || nearest != valid.nearest)) std::abort();
    // Without fixed checksums no edit may get through.
    if (edited && !fix && file != valid_file) {
      std::fprintf(stderr, "an edited file loaded despite its checksums\n");
      std::abort();
    }
  } catch (const IndexFileError&) {
    if (!edited) std::abort();
  }
  close(fd);
  return 0;
}
