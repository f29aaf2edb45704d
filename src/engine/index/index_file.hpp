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
// that load one file share its pages. Everything read is untrusted: the
// header, the table and every section's checksum are checked on load, and
// the sections must lie in the file, in order, without overlapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "index/sections.hpp"
#include "support/checkpoint.hpp"

namespace mendseqs {

inline constexpr std::string_view index_magic{"\x89MSQIDX\n", 8};
// 2: the packed layout in blocks found by arithmetic (index/block_table.hpp),
// its code tables rebuilt at load.
inline constexpr uint32_t index_format_version = 2;

// A checksum of 64 bits over bytes (four interleaved multiply-rotate lanes,
// so it runs at memory speed, folded once per block of checksum_block
// bytes): any flipped bit changes it. Each block is charged to
// `checkpoint`, so a long one can be interrupted.
inline constexpr size_t checksum_block = size_t{1} << 20;
uint64_t section_checksum(std::span<const std::byte> bytes, Checkpoint& checkpoint);

// Writes a new file next to `path` and renames it onto `path` on commit(),
// so `path` is never a partial file; without commit() the new file is
// removed. A symbolic link at `path` is followed: its target is replaced.
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
  // Takes no ownership of `fd`; the mapping stays valid after it closes.
  // Checking the sections is charged to `checkpoint`.
  IndexFileReader(int fd, Checkpoint& checkpoint);
  ~IndexFileReader() override;
  IndexFileReader(const IndexFileReader&) = delete;
  IndexFileReader& operator=(const IndexFileReader&) = delete;

  std::span<const std::byte> get(std::string_view name, unsigned element_bytes) override;
  size_t size() const noexcept { return size_; }

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
};

// The most a 32-bit process maps: its address space also holds the
// interpreter, the heap and the derived tables.
inline constexpr uint64_t max_mapped_bytes_32bit = uint64_t{1536} << 20;

}  // namespace mendseqs
