#include "index/index_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

namespace mendseqs {
namespace {

constexpr size_t header_bytes = 64;
constexpr size_t entry_bytes = 64;
constexpr size_t name_bytes = 32;
constexpr uint64_t section_alignment = 64;

constexpr uint64_t prime1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t prime2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t prime3 = 0x165667B19E3779F9ull;

uint64_t rotl(uint64_t x, int r) noexcept { return (x << r) | (x >> (64 - r)); }

uint64_t load64(const std::byte* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // little-endian hosts only (sections.hpp)
}
uint32_t load32(const std::byte* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
void store64(std::byte* p, uint64_t v) noexcept { std::memcpy(p, &v, 8); }
void store32(std::byte* p, uint32_t v) noexcept { std::memcpy(p, &v, 4); }

uint64_t mix(uint64_t h) noexcept {
  h ^= h >> 33;
  h *= prime2;
  h ^= h >> 29;
  h *= prime3;
  h ^= h >> 32;
  return h;
}

// One block: four lanes over 32-byte stripes, then the tail.
uint64_t block_checksum(const std::byte* p, size_t size, uint64_t seed) noexcept {
  std::array<uint64_t, 4> lanes{seed + prime1, seed ^ prime2, seed - prime1, rotl(seed, 17) + prime3};
  size_t i = 0;
  for (; i + 32 <= size; i += 32)
    for (size_t l = 0; l < 4; ++l) lanes[l] = rotl(lanes[l] + load64(p + i + 8 * l) * prime2, 31) * prime1;
  uint64_t h = rotl(lanes[0], 1) + rotl(lanes[1], 7) + rotl(lanes[2], 12) + rotl(lanes[3], 18) + size;
  for (; i + 8 <= size; i += 8) h = rotl(h ^ (load64(p + i) * prime2), 27) * prime1 + prime3;
  for (; i < size; ++i) h = rotl(h ^ (static_cast<uint64_t>(p[i]) * prime1), 11) * prime2;
  return mix(h);
}

std::system_error system_error(int code, const std::string& what) {
  return std::system_error(code, std::generic_category(), what);
}

// The path as the rename will see it: a symbolic link is replaced by what
// it points to, so saving through a link updates the linked file.
std::string resolved_target(const std::string& path) {
  struct stat link;
  if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return path;
  std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
  if (!real) {
    if (errno == ENOENT) {  // a dangling link: create its target
      std::array<char, PATH_MAX> target{};
      const ssize_t n = readlink(path.c_str(), target.data(), target.size() - 1);
      if (n > 0) {
        std::string to(target.data(), static_cast<size_t>(n));
        if (to.front() == '/') return to;
        const size_t slash = path.rfind('/');
        return slash == std::string::npos ? to : path.substr(0, slash + 1) + to;
      }
    }
    return path;
  }
  return real.get();
}

}  // namespace

namespace {

// Blocks are checksummed independently (seeded by their number) and the
// block sums folded in order, so the blocks of a large section can be
// checked on several threads.
uint64_t sum_of_block(std::span<const std::byte> bytes, size_t block) noexcept {
  const size_t at = block * checksum_block;
  return block_checksum(bytes.data() + at, std::min(checksum_block, bytes.size() - at), prime3 + block);
}

size_t block_count(size_t size) noexcept { return size == 0 ? 1 : (size + checksum_block - 1) / checksum_block; }

uint64_t folded(size_t size, std::span<const uint64_t> block_sums) noexcept {
  uint64_t h = prime3 ^ size;
  for (const uint64_t sum : block_sums) h = mix(h ^ sum);
  return h;
}

}  // namespace

uint64_t section_checksum(std::span<const std::byte> bytes, Checkpoint& checkpoint) {
  std::vector<uint64_t> sums(block_count(bytes.size()));
  for (size_t b = 0; b < sums.size(); ++b) {
    sums[b] = sum_of_block(bytes, b);
    checkpoint.charge(checksum_block / 64);
  }
  return folded(bytes.size(), sums);
}

// ---- writing ----

IndexFileWriter::IndexFileWriter(const std::string& path, Checkpoint& checkpoint)
    : path_(resolved_target(path)), checkpoint_(checkpoint) {
  struct stat existing;
  if (stat(path_.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode))
    throw system_error(S_ISDIR(existing.st_mode) ? EISDIR : EEXIST, path + ": not a regular file");
  // Beside the target, so the rename stays within one file system.
  for (unsigned attempt = 0;; ++attempt) {
    temporary_ = path_ + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
    fd_ = open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) break;
    if (errno != EEXIST || attempt >= 100) {
      const int error = errno;
      temporary_.clear();
      throw system_error(error, path);
    }
  }
  try {
    const std::array<std::byte, header_bytes> placeholder{};
    write_all(placeholder);
  } catch (...) {
    close(fd_);
    unlink(temporary_.c_str());
    throw;
  }
}

IndexFileWriter::~IndexFileWriter() {
  if (fd_ >= 0) close(fd_);
  if (!temporary_.empty()) unlink(temporary_.c_str());
}

void IndexFileWriter::write_all(std::span<const std::byte> bytes) {
  // In slices, each charged: a large section takes seconds to write.
  constexpr size_t slice = size_t{4} << 20;
  while (!bytes.empty()) {
    const size_t size = std::min(slice, bytes.size());
    const ssize_t n = ::write(fd_, bytes.data(), size);
    if (n < 0) {
      if (errno == EINTR) {
        checkpoint_.look_up();
        continue;
      }
      throw system_error(errno, path_);
    }
    if (n == 0) throw system_error(EIO, path_);
    bytes = bytes.subspan(static_cast<size_t>(n));
    written_ += static_cast<uint64_t>(n);
    checkpoint_.charge(static_cast<size_t>(n) / 64 + 1);
  }
}

void IndexFileWriter::pad_to(uint64_t offset) {
  static constexpr std::array<std::byte, section_alignment> zeros{};
  if (offset > written_) write_all(std::span(zeros).first(static_cast<size_t>(offset - written_)));
}

void IndexFileWriter::put(std::string_view name, unsigned element_bytes, std::span<const std::byte> bytes) {
  if (name.empty() || name.size() >= name_bytes) throw IndexFormatError("section name too long: " + std::string(name));
  for (const Entry& entry : entries_)
    if (entry.name == name) throw IndexFormatError("section saved twice: " + std::string(name));
  pad_to((written_ + section_alignment - 1) / section_alignment * section_alignment);
  Entry entry{std::string(name), element_bytes, written_, bytes.size(), section_checksum(bytes, checkpoint_)};
  write_all(bytes);
  entries_.push_back(std::move(entry));
}

void IndexFileWriter::commit() {
  std::vector<std::byte> table(entries_.size() * entry_bytes);
  for (size_t i = 0; i < entries_.size(); ++i) {
    std::byte* e = table.data() + i * entry_bytes;
    std::memcpy(e, entries_[i].name.data(), entries_[i].name.size());
    store32(e + 32, entries_[i].element_bytes);
    store64(e + 40, entries_[i].offset);
    store64(e + 48, entries_[i].length);
    store64(e + 56, entries_[i].checksum);
  }
  pad_to((written_ + section_alignment - 1) / section_alignment * section_alignment);
  const uint64_t table_offset = written_;
  write_all(table);

  std::array<std::byte, header_bytes> header{};
  std::memcpy(header.data(), index_magic.data(), index_magic.size());
  store32(header.data() + 8, index_format_version);
  store32(header.data() + 12, static_cast<uint32_t>(entries_.size()));
  store64(header.data() + 16, table_offset);
  store64(header.data() + 24, written_);
  store64(header.data() + 32, section_checksum(table, checkpoint_));
  store64(header.data() + 40, section_checksum(std::span(header).first(40), checkpoint_));
  if (pwrite(fd_, header.data(), header.size(), 0) != static_cast<ssize_t>(header.size()))
    throw system_error(errno ? errno : EIO, path_);
  // On disk before it gets its name: a crash leaves the old file or the
  // whole new one, never a part.
  if (fsync(fd_) != 0) throw system_error(errno, path_);
  const int fd = std::exchange(fd_, -1);
  if (close(fd) != 0) throw system_error(errno, path_);
  if (rename(temporary_.c_str(), path_.c_str()) != 0) throw system_error(errno, path_);
  temporary_.clear();
}

// ---- reading ----

namespace {

// The magic number and the format version, the first 12 bytes. The version
// comes before the header's checksum: a newer format may lay out even its
// header otherwise, so its checksum says nothing to this reader.
void check_identity(const std::byte* header) {
  if (std::memcmp(header, index_magic.data(), index_magic.size()) != 0)
    throw IndexFormatError("not a mendseqs index file (no magic number)");
  const uint32_t version = load32(header + 8);
  if (version > index_format_version)
    throw IndexFormatError("format version " + std::to_string(version) + " is newer than this mendseqs reads (" +
                           std::to_string(index_format_version) + "); rebuild the index or upgrade mendseqs");
  if (version != index_format_version)
    throw IndexFormatError("format version " + std::to_string(version) + " is older than this mendseqs reads (" +
                           std::to_string(index_format_version) + "); rebuild the index with this mendseqs");
}

}  // namespace

IndexFileReader::IndexFileReader(int fd, Checkpoint& checkpoint) {
  struct stat info;
  if (fstat(fd, &info) != 0) throw system_error(errno, "fstat");
  if (S_ISDIR(info.st_mode)) throw IndexFormatError("it is a directory");
  if (!S_ISREG(info.st_mode)) throw IndexFormatError("it is not a regular file");
  const auto file_size = static_cast<uint64_t>(info.st_size);
  if (file_size == 0) throw IndexFormatError("the file is empty");
  if (file_size < header_bytes)
    throw IndexFormatError("the file is too short to be an index (" + std::to_string(file_size) + " bytes)");
  if (sizeof(void*) < 8 && file_size > max_mapped_bytes_32bit)
    throw IndexFormatError("the index (" + std::to_string(file_size >> 20) +
                           " MiB) is too large for a 32-bit process (at most " +
                           std::to_string(max_mapped_bytes_32bit >> 20) + " MiB)");
  if (file_size > SIZE_MAX) throw IndexFormatError("the file is too large to map");
  size_ = static_cast<size_t>(file_size);
  // Read before anything is mapped: a file that is no index (a large FASTQ
  // file given by mistake, say) is refused without reading all of it.
  std::array<std::byte, 12> identity;
  const ssize_t got = pread(fd, identity.data(), identity.size(), 0);
  if (got < 0) throw system_error(errno, "pread");
  if (static_cast<size_t>(got) != identity.size()) throw IndexFormatError("the file is too short to be an index");
  check_identity(identity.data());
  // Every page is read at once for its checksum: faulting them in within
  // the one call costs far less than a fault per page.
  void* mapped = mmap(nullptr, size_, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
  if (mapped == MAP_FAILED) {
    const int error = errno;
    if (error == ENOMEM) throw IndexFormatError("the index does not fit in this process's address space");
    throw system_error(error, "mmap");
  }
  data_ = static_cast<const std::byte*>(mapped);
  try {
    validate(checkpoint);
  } catch (...) {
    munmap(const_cast<std::byte*>(data_), size_);
    data_ = nullptr;
    throw;
  }
}

IndexFileReader::~IndexFileReader() {
  if (data_) munmap(const_cast<std::byte*>(data_), size_);
}

void IndexFileReader::validate(Checkpoint& checkpoint) {
  const std::byte* header = data_;
  check_identity(header);  // again: the file may have changed since it was read
  if (section_checksum(std::span(header, 40), checkpoint) != load64(header + 40))
    throw IndexFormatError("the header is corrupted (checksum mismatch)");
  // Every byte of the file is checked, the padding too: no flipped bit
  // goes unnoticed, wherever it is.
  const auto all_zero = [&](uint64_t begin, uint64_t end) {
    return std::all_of(data_ + begin, data_ + end, [](std::byte b) { return b == std::byte{0}; });
  };
  if (!all_zero(48, header_bytes)) throw IndexFormatError("the header's reserved bytes are set");
  const uint32_t count = load32(header + 12);
  const uint64_t table_offset = load64(header + 16);
  const uint64_t file_size = load64(header + 24);
  if (file_size != size_)
    throw IndexFormatError(file_size > size_
                               ? "the file is truncated (" + std::to_string(size_) + " of " +
                                     std::to_string(file_size) + " bytes)"
                               : "the file has " + std::to_string(size_ - file_size) + " bytes past its end");
  if (table_offset < header_bytes || table_offset > size_ || (size_ - table_offset) / entry_bytes != count ||
      (size_ - table_offset) % entry_bytes != 0)
    throw IndexFormatError("the section table is out of place");
  const std::span<const std::byte> table(data_ + table_offset, size_t{count} * entry_bytes);
  if (section_checksum(table, checkpoint) != load64(header + 32))
    throw IndexFormatError("the section table is corrupted (checksum mismatch)");

  uint64_t end_of_previous = header_bytes;
  entries_.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    const std::byte* e = table.data() + size_t{i} * entry_bytes;
    const auto* name_begin = reinterpret_cast<const char*>(e);
    const size_t name_length = strnlen(name_begin, name_bytes);
    const std::string_view name(name_begin, name_length);
    const uint32_t element_bytes = load32(e + 32);
    const uint64_t offset = load64(e + 40), length = load64(e + 48);
    const std::string which = "section " + std::to_string(i);
    if (name_length == 0 || name_length == name_bytes) throw IndexFormatError(which + " has no valid name");
    for (size_t c = name_length; c < name_bytes; ++c)
      if (name_begin[c] != '\0') throw IndexFormatError(which + " has no valid name");
    if (element_bytes != 1 && element_bytes != 2 && element_bytes != 4 && element_bytes != 8)
      throw IndexFormatError("section " + std::string(name) + " has elements of " + std::to_string(element_bytes) +
                             " bytes");
    if (load32(e + 36) != 0) throw IndexFormatError("section " + std::string(name) + " has a reserved field set");
    if (offset % section_alignment != 0 || offset < end_of_previous || offset > table_offset ||
        length > table_offset - offset || length % element_bytes != 0)
      throw IndexFormatError("section " + std::string(name) + " lies out of place");
    for (const Entry& other : entries_)
      if (other.name == name) throw IndexFormatError("section " + std::string(name) + " appears twice");
    if (!all_zero(end_of_previous, offset))
      throw IndexFormatError("the padding before section " + std::string(name) + " is not zero");
    end_of_previous = offset + length;
    const std::span<const std::byte> bytes(data_ + offset, static_cast<size_t>(length));
    entries_.push_back(Entry{name, element_bytes, bytes});
  }
  if (!all_zero(end_of_previous, table_offset)) throw IndexFormatError("the padding before the table is not zero");
  verify_checksums(table, checkpoint);
}

// Every block of every section, on as many threads as the processors run
// (the file is read once, at memory speed, whatever its size); this thread
// takes its share and checks in meanwhile. Threads that cannot start leave
// their share to the others.
void IndexFileReader::verify_checksums(std::span<const std::byte> table, Checkpoint& checkpoint) {
  std::vector<std::vector<uint64_t>> sums(entries_.size());
  std::vector<std::pair<uint32_t, uint32_t>> work;  // (section, block)
  for (size_t i = 0; i < entries_.size(); ++i) {
    sums[i].resize(block_count(entries_[i].bytes.size()));
    for (size_t b = 0; b < sums[i].size(); ++b) work.emplace_back(static_cast<uint32_t>(i), static_cast<uint32_t>(b));
  }
  std::atomic<size_t> next{0};
  std::atomic<bool> stop{false};
  const auto run = [&](Checkpoint* charged) {
    for (size_t w; !stop.load(std::memory_order_relaxed) && (w = next.fetch_add(1)) < work.size();) {
      const auto [section, block] = work[w];
      sums[section][block] = sum_of_block(entries_[section].bytes, block);
      if (charged) charged->charge(checksum_block / 64);
    }
  };
  std::vector<std::thread> helpers;
  const size_t wanted = std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()), 8) - 1;
  try {
    for (size_t t = 0; t < wanted && work.size() > 1; ++t) {
      try {
        helpers.emplace_back(run, nullptr);
      } catch (const std::system_error&) {
        break;
      }
    }
    run(&checkpoint);
  } catch (...) {
    stop = true;
    for (std::thread& helper : helpers) helper.join();
    throw;
  }
  for (std::thread& helper : helpers) helper.join();
  for (size_t i = 0; i < entries_.size(); ++i)
    if (folded(entries_[i].bytes.size(), sums[i]) != load64(table.data() + i * entry_bytes + 56))
      throw IndexFormatError("section " + std::string(entries_[i].name) + " is corrupted (checksum mismatch)");
}

std::span<const std::byte> IndexFileReader::get(std::string_view name, unsigned element_bytes) {
  for (const Entry& entry : entries_) {
    if (entry.name != name) continue;
    if (entry.element_bytes != element_bytes)
      throw IndexFormatError("section " + std::string(name) + " has elements of " +
                             std::to_string(entry.element_bytes) + " bytes, not " + std::to_string(element_bytes));
    return entry.bytes;
  }
  throw IndexFormatError("section " + std::string(name) + " is missing");
}

}  // namespace mendseqs
