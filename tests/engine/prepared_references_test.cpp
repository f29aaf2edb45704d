// Prepared references through a saved file: the index forced on a small
// list answers as correct_seq_mt after the round trip, a save that is
// interrupted or fails leaves nothing behind, and sections come back
// aligned and whole.
#include "engine/prepared_references.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "batch/driver.hpp"
#include "batch/progress.hpp"
#include "index/index_file.hpp"

namespace mendseqs {
namespace {

namespace fs = std::filesystem;

class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::string pattern = (fs::temp_directory_path() / "prepared-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, ignored);
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }
  std::vector<std::string> names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_)) names.push_back(entry.path().filename().string());
    return names;
  }

 private:
  fs::path path_;
};

OutputStream& discarded() {
  static OutputStream out(open("/dev/null", O_WRONLY | O_CLOEXEC));
  return out;
}

struct Barcodes {
  std::vector<std::string> strings;
  std::vector<Text> texts;
  Barcodes(size_t count, unsigned seed, size_t length = 12) {
    std::mt19937 rng(seed);
    for (size_t i = 0; i < count; ++i) {
      std::string s(length - rng() % 2, 'A');
      for (char& c : s) c = "ACGT"[rng() % 4];
      strings.push_back(s);
    }
    for (const std::string& s : strings) texts.emplace_back(s);
  }
};

// Throws Interrupted at its n-th check-in.
class InterruptAt final : public CallerHooks {
 public:
  explicit InterruptAt(int n) : left_(n) {}
  void check_in() override {
    if (--left_ == 0) throw Interrupted{};
  }
  void release_lock() noexcept override {}
  void reacquire_lock() noexcept override {}

 private:
  int left_;
};

TEST(PreparedReferences, ForcedIndexAnswersAsCorrectSeqMtAfterTheRoundTrip) {
  const Barcodes references(2000, 1), queries(500, 2);
  ScratchDirectory dir;
  const std::string path = (dir.path() / "index").string();
  NoHooks hooks;
  for (const intptr_t max_flex : {0, 1, 2}) {
    const PreparedReferences built = PreparedReferences::build(references.texts, max_flex, 2, hooks, true);
    ASSERT_TRUE(built.indexed());
    built.save(path, hooks);
    const PreparedReferences loaded = PreparedReferences::load(path, hooks);
    EXPECT_TRUE(loaded.indexed());
    EXPECT_EQ(loaded.size(), references.texts.size());
    EXPECT_EQ(loaded.max_flex(), max_flex);
    const std::vector<Position> expected =
        correct_seq_mt(references.texts, queries.texts, max_flex, 1, hooks, discarded());
    for (const uint32_t threads : {1u, 3u}) {
      EXPECT_EQ(correct(built, queries.texts, threads, hooks, discarded()), expected);
      EXPECT_EQ(correct(loaded, queries.texts, threads, hooks, discarded()), expected);
    }
  }
  EXPECT_EQ(dir.names(), std::vector<std::string>{"index"});
}

TEST(PreparedReferences, AnInterruptedSaveLeavesTheOldFileAndNoOther) {
  ScratchDirectory dir;
  const std::string path = (dir.path() / "index").string();
  NoHooks hooks;
  const Barcodes few(10, 4);
  PreparedReferences::build(few.texts, 1, 1, hooks).save(path, hooks);
  // Check-ins come every 20 ms: sections are written until one comes.
  InterruptAt interrupt(1);
  Checkpoint checkpoint(interrupt);
  const std::vector<uint8_t> block(size_t{8} << 20, 7);
  EXPECT_THROW(
      {
        IndexFileWriter writer(path, checkpoint);
        for (int i = 0; i < 1000; ++i) writer.put_array<uint8_t>("block" + std::to_string(i), block);
        writer.commit();
      },
      Interrupted);
  EXPECT_EQ(dir.names(), std::vector<std::string>{"index"});
  EXPECT_EQ(PreparedReferences::load(path, hooks).size(), 10u);
}

TEST(PreparedReferences, AFailedSaveLeavesNothing) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only directories";
  ScratchDirectory dir;
  NoHooks hooks;
  const Barcodes few(10, 5);
  const PreparedReferences prepared = PreparedReferences::build(few.texts, 1, 1, hooks);
  fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_THROW(prepared.save((dir.path() / "index").string(), hooks), std::system_error);
  fs::permissions(dir.path(), fs::perms::owner_all);
  EXPECT_TRUE(dir.names().empty());
}

TEST(IndexFile, SectionsComeBackAlignedAndWhole) {
  ScratchDirectory dir;
  const std::string path = (dir.path() / "sections").string();
  NoHooks hooks;
  Checkpoint checkpoint(hooks);
  const std::vector<uint8_t> bytes{1, 2, 3};
  const std::vector<uint64_t> words{1, uint64_t{1} << 63, 42};
  const std::vector<uint16_t> empty;
  {
    IndexFileWriter writer(path, checkpoint);
    writer.put_array<uint8_t>("bytes", bytes);
    writer.put_array<uint64_t>("words", words);
    writer.put_array<uint16_t>("empty", empty);
    EXPECT_THROW(writer.put_array<uint8_t>("bytes", bytes), IndexFormatError);
    writer.commit();
  }
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  IndexFileReader reader(fd, checkpoint);
  close(fd);
  const std::span<const uint64_t> read = reader.array<uint64_t>("words");
  EXPECT_EQ(reinterpret_cast<uintptr_t>(read.data()) % alignof(uint64_t), 0u);
  EXPECT_EQ(std::vector<uint64_t>(read.begin(), read.end()), words);
  const std::span<const uint8_t> read_bytes = reader.array<uint8_t>("bytes");
  EXPECT_EQ(std::vector<uint8_t>(read_bytes.begin(), read_bytes.end()), bytes);
  EXPECT_TRUE(reader.array<uint16_t>("empty").empty());
  EXPECT_THROW(reader.array<uint32_t>("words"), IndexFormatError);  // another width
  EXPECT_THROW(reader.array<uint8_t>("missing"), IndexFormatError);
}

}  // namespace
}  // namespace mendseqs
