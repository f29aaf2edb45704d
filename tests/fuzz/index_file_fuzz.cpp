// One input: edits to a valid saved index (bytes xored at chosen places,
// maybe a cut), with the checksums then made right again or left as they
// are. Loading the result must either refuse it (IndexFileError) or give a
// prepared list that answers queries without crashing, hanging or reading
// out of bounds; left unedited, it must answer as the scan does.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "batch/driver.hpp"
#include "batch/progress.hpp"
#include "engine/driver.hpp"
#include "engine/panic.hpp"
#include "engine/prepared_references.hpp"
#include "index/index_file.hpp"

namespace {

using namespace mendseqs;

std::vector<std::string> reference_strings;
std::vector<Text> reference_texts;
std::vector<std::string> query_strings;
std::vector<Text> query_texts;
std::vector<std::byte> valid_file;
std::vector<Position> valid_answers;

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

std::vector<Position> answers(const PreparedReferences& prepared) {
  NoHooks hooks;
  try {
    return correct(prepared, query_texts, 1, hooks, null_output());
  } catch (const Panic&) {  // the guard, with references a damaged file made up
    return {};
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::mt19937 rng(1605);
  for (int i = 0; i < 300; ++i) {
    std::string text(8 + rng() % 3, 'A');
    for (char& c : text) c = "ACGT"[rng() % 4];
    reference_strings.push_back(text);
  }
  for (int i = 0; i < 64; ++i) {
    std::string query = reference_strings[rng() % reference_strings.size()];
    query[rng() % query.size()] = "ACGT"[rng() % 4];
    if (rng() % 2) query.erase(rng() % query.size(), 1);
    query_strings.push_back(query);
  }
  for (const std::string& s : reference_strings) reference_texts.emplace_back(s);
  for (const std::string& s : query_strings) query_texts.emplace_back(s);

  NoHooks hooks;
  const PreparedReferences built = PreparedReferences::build(reference_texts, 1, 1, hooks, /*force_index=*/true);
  if (!built.indexed()) std::abort();  // the index's own sections must be there to edit
  char path[] = "/tmp/index_file_fuzz-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) std::abort();
  close(fd);
  built.save(path, hooks);
  FILE* file = std::fopen(path, "rb");
  for (int c; (c = std::fgetc(file)) != EOF;) valid_file.push_back(static_cast<std::byte>(c));
  std::fclose(file);
  unlink(path);
  valid_answers = answers(built);
  if (valid_answers != correct_seq_mt(reference_texts, query_texts, 1, 1, hooks, null_output())) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
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
    const std::vector<Position> got = answers(loaded);
    // Unedited, or edited where nothing is read: the scan's answers.
    if (!edited && got != valid_answers) std::abort();
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
