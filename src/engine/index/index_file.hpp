// The file a prepared reference list is saved to: named sections
// (sections.hpp) laid out for mapping.
//
//   header   64 bytes at offset 0:
//              magic        8 bytes  "\x89MSQIDX\n"
//              version      u32      index_format_version
//              sections     u32      entries in the section table
//              table_offset u64      where the table starts
//              file_size    u64      the whole file, in bytes
//              table_sum    u64      checksum of the table
//              header_sum   u64      checksum of the 40 bytes above
//              zeros up to 64 bytes
//   sections each at a multiple of 64 bytes, zero padding between
//   table    one 64-byte entry per section:
//              name 32 bytes (NUL-padded), element_bytes u32, zero u32,
//              offset u64, byte_length u64, checksum u64
//
// Every field is little-endian and fixed-width, whatever wrote it; the
// sections are read in place from a read-only shared mapping, so processes
// that load one file share its pages.
//
// The trust model. Everything read is untrusted, and it is dealt with in
// three ways:
// - Accidental damage (a flipped bit, a truncated copy, a foreign file) is
//   caught by checksums: the header's, the section table's, and one per
//   MiB block of every section, verified at load on every usable processor
//   at memory speed, together with the padding (all zero). Any of it
//   wrong refuses the file with IndexFormatError (ValueError in Python).
// - What is small is checked at load, in time proportional to it, not to
//   the index: the header and the table (sections inside the file, in
//   order, aligned, not overlapping), every scalar, the packed layout's
//   groups and its tables' shapes and overflow lists, every array's size
//   against what it must hold, the references' offsets (each reference's
//   view is made from them anyway) and A-counts, and a sample of the
//   references against the fingerprint the packed layout saved of them.
// - The large arrays (the packed layout's postings and code tables, the
//   hashed layout's offsets and entries) are not checked: every range or
//   position a lookup reads from them is clamped into the array it
//   indexes, or tested against the list's length, where it is read
//   (index/block_table.hpp, index/bounded.hpp); a code is rebuilt from the
//   query, so it is in its group's range by construction; the reference
//   blocks' masks are data whose every value is harmless. The matcher
//   checks the filters again on each reference a loaded index names,
//   before the LCS test that relies on them.
// So a damaged or crafted file (one whose checksums were recomputed) can
// cost answers (references missed, or accepted that the scan would not
// accept) and time (a bucket may claim every posting), but it never makes
// a read outside the mapping or the process's own arrays, a crash or a
// hang. The fuzzer (tests/fuzz/index_file_fuzz.cpp) edits saved files of
// both layouts and recomputes their checksums to hold it to that.
//
// A file in use is replaced only by a rename. A loaded index reads its
// file's pages for as long as it lives, so the file must not change in
// place: truncated, a read past its new end is SIGBUS; overwritten, the
// sections say something else than what was checked. The reader keeps the
// file open and its size and modification time (nanoseconds) as they were
// when loading began, and every call asks unchanged() before it reads
// anything (PreparedReferences::reference_set), so a change between calls
// is refused with an error naming the file. A change during a call is not
// caught: the call may then die of SIGBUS (truncated) or give wrong answers
// (overwritten). Writing a new file and renaming it onto the path (as
// IndexFileWriter, ReferenceIndex.save and `mendseqs index` do) is always
// safe: the path names the new file, and every process that mapped the old
// one keeps it, unchanged, until it lets go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "storage/sections.hpp"
#include "support/checkpoint.hpp"

namespace mendseqs {

inline constexpr std::string_view index_magic{"\x89MSQIDX\n", 8};
// 4: the packed layout's posting tables keep each entry's top byte, its
// fingerprint, apart from the rest (index/block_table.hpp), for a compare
// of a whole block at once. 3: the packed layout in blocks found by arithmetic (index/block_table.hpp),
// its code tables rebuilt at load. 2: blocks checksummed with CRC-32C, the
// packed layout addressed through a directory. 1: with a multiplying hash,
// otherwise as 2. Formats 1 and 2 are still read: their hashed layout as
// it is, their packed layout rebuilt at load from the references; format
// 3's posting tables are read as they are, searched entry by entry.
inline constexpr uint32_t index_format_version = 4;
// The first format whose packed layout is the block table's.
inline constexpr uint32_t block_table_format_version = 3;
// The first format that says whether its posting tables' entries are split.
inline constexpr uint32_t fingerprint_format_version = 4;

// A checksum of 64 bits over bytes: one per block of checksum_block bytes
// (format 2: the CRC-32C of each quarter of the block, mixed; format 1: a
// multiply-rotate hash), folded in order. Any flipped bit changes it. Each
// block is charged to `checkpoint`, so a long one can be interrupted.
inline constexpr size_t checksum_block = size_t{1} << 20;
uint64_t section_checksum(std::span<const std::byte> bytes, Checkpoint& checkpoint,
                          uint32_t version = index_format_version);

// The category of the std::system_error thrown for a target that exists
// but is no regular file: its value is EINVAL, its message says why.
const std::error_category& not_regular_file_category() noexcept;

// Writes a new file next to `path` and renames it onto `path` on commit(),
// so `path` is never a partial file; without commit() the new file is
// removed. A symbolic link at `path` is followed: its target is replaced.
// A directory, a device or a FIFO at `path` is refused, and so is a link
// that cannot be followed (a loop).
// Failures of the file system throw std::system_error; the writing is
// charged to `checkpoint`, whose interruptions pass through.
class IndexFileWriter final : public SectionSink {
 public:
  IndexFileWriter(const std::string& path, Checkpoint& checkpoint);
  ~IndexFileWriter() override;
  IndexFileWriter(const IndexFileWriter&) = delete;
  IndexFileWriter& operator=(const IndexFileWriter&) = delete;

  void put(std::string_view name, unsigned element_bytes, std::span<const std::byte> bytes) override;
  void commit();

 private:
  struct Entry {
    std::string name;
    uint32_t element_bytes;
    uint64_t offset, length, checksum;
  };
  void write_all(std::span<const std::byte> bytes);
  void write_back();
  void pad_to(uint64_t offset);

  std::string path_;       // what the file becomes
  std::string temporary_;  // what it is until then
  int fd_ = -1;
  uint64_t written_ = 0;
  std::vector<Entry> entries_;
  Checkpoint& checkpoint_;
};

// A saved file mapped read-only. The sections it hands out live as long as
// it does. Throws IndexFormatError (the message says what is wrong, the
// caller names the file) or std::system_error (cannot open, read or map).
class IndexFileReader final : public SectionSource {
 public:
  // Takes no ownership of `fd`: it keeps a duplicate of its own, open as
  // long as the mapping, for unchanged(). Checking the sections is charged
  // to `checkpoint`.
  IndexFileReader(int fd, Checkpoint& checkpoint);
  ~IndexFileReader() override;
  IndexFileReader(const IndexFileReader&) = delete;
  IndexFileReader& operator=(const IndexFileReader&) = delete;

  std::span<const std::byte> get(std::string_view name, unsigned element_bytes) override;
  size_t size() const noexcept { return size_; }
  uint32_t older_version() const noexcept override { return version_ < index_format_version ? version_ : 0; }

  // Whether the mapped file still has the size and modification time (to
  // the nanosecond) it had when loading began: false once it was truncated
  // or written to in place. A file renamed onto its path is another file;
  // this one, still mapped, is unchanged.
  bool unchanged() const noexcept;

  // Every byte checked again against what it held when loaded: the header
  // as read then, and each section against its checksum. A write in place
  // that left the size and modification time as they were (the clock the
  // file system stamps with ticks every few milliseconds) is found too.
  // Call it only while unchanged() holds (a shorter file faults). Throws
  // IndexFormatError.
  void check_again(Checkpoint& checkpoint);

 private:
  struct Entry {
    std::string_view name;
    uint32_t element_bytes;
    std::span<const std::byte> bytes;
  };
  void validate(Checkpoint& checkpoint);
  void verify_checksums(std::span<const std::byte> table, Checkpoint& checkpoint);

  const std::byte* data_ = nullptr;
  size_t size_ = 0;
  std::vector<Entry> entries_;
  uint32_t version_ = 0;
  int fd_ = -1;  // the file's, kept open for unchanged()
  int64_t modified_seconds_ = 0, modified_nanoseconds_ = 0;
  std::vector<std::byte> header_;     // as validated at load
  std::span<const std::byte> table_;  // the section table, in the mapping
};

// The most a 32-bit process maps: its address space also holds the
// interpreter, the heap and the derived tables.
inline constexpr uint64_t max_mapped_bytes_32bit = uint64_t{1536} << 20;

}  // namespace mendseqs
