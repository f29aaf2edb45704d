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
#include <utility>

#include "support/crc32c.hpp"
#include "support/fork_join.hpp"
#include "support/machine.hpp"

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

// One block in format version 1: four lanes over 32-byte stripes, then the
// tail.
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

// A target that exists but is no regular file (a device, a FIFO, a socket):
// errno's EEXIST would read "File exists", which says nothing of why.
class NotRegularFileCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "mendseqs index target"; }
  std::string message(int) const override { return "not a regular file (an index is mapped from a regular file)"; }
};

// The path as the rename will see it: a symbolic link is replaced by what
// it points to, so saving through a link updates the linked file. A link
// that cannot be followed for another reason than a missing target (a loop,
// say) is reported, as opening it would be: renaming onto it would replace
// the link silently.
std::string resolved_target(const std::string& path) {
  struct stat link;
  if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return path;
  std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
  if (real) return real.get();
  if (errno != ENOENT) throw system_error(errno, path);
  // A dangling link: create its target.
  std::array<char, PATH_MAX> target{};
  const ssize_t n = readlink(path.c_str(), target.data(), target.size() - 1);
  if (n <= 0) return path;
  std::string to(target.data(), static_cast<size_t>(n));
  if (to.front() == '/') return to;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? to : path.substr(0, slash + 1) + to;
}

}  // namespace

const std::error_category& not_regular_file_category() noexcept {
  static const NotRegularFileCategory category;
  return category;
}

namespace {

// One block from format version 2: the CRC-32C of each of its four
// quarters (the last one longer by what does not divide), seeded by the
// block's number, mixed into 64 bits. Four streams run at the hardware's
// full rate (support/crc32c.hpp), a fraction of the instructions a
// multiplying hash takes per byte; a loaded machine feels those.
uint64_t block_crc(const std::byte* p, size_t size, uint64_t block) noexcept {
  const size_t quarter = size / 32 * 8;
  const auto seed = static_cast<uint32_t>(4 * block);
  uint32_t crc[4] = {~seed, ~(seed + 1), ~(seed + 2), ~(seed + 3)};
  const std::byte* const stripes[4] = {p, p + quarter, p + 2 * quarter, p + 3 * quarter};
  crc32c_four(crc, stripes, quarter);
  crc[3] = crc32c(crc[3], p + 4 * quarter, size - 4 * quarter);
  const uint64_t low = crc[0] | uint64_t{crc[1]} << 32, high = crc[2] | uint64_t{crc[3]} << 32;
  return mix(mix(low ^ (prime1 + size)) ^ rotl(high, 29));
}

// Blocks are checksummed independently (seeded by their number) and the
// block sums folded in order, so the blocks of a large section can be
// checked on several threads.
uint64_t sum_of_block(std::span<const std::byte> bytes, size_t block, uint32_t version) noexcept {
  const size_t at = block * checksum_block;
  const size_t size = std::min(checksum_block, bytes.size() - at);
  if (version == 1) return block_checksum(bytes.data() + at, size, prime3 + block);
  return block_crc(bytes.data() + at, size, block);
}

// Faults in the pages of a mapped block in one call, where touching them
// one by one would cost a fault each (the kernel maps a few pages around
// each). Advice only: without it (older kernels) the reads fault them in.
void prefault(std::span<const std::byte> bytes, size_t block) noexcept {
#ifdef MADV_POPULATE_READ
  static const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const size_t at = block * checksum_block;
  const auto begin = reinterpret_cast<uintptr_t>(bytes.data() + at) / page * page;
  const auto end = reinterpret_cast<uintptr_t>(bytes.data() + at + std::min(checksum_block, bytes.size() - at));
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_READ);
#else
  (void)bytes;
  (void)block;
#endif
}

size_t block_count(size_t size) noexcept { return size == 0 ? 1 : (size + checksum_block - 1) / checksum_block; }

uint64_t folded(size_t size, std::span<const uint64_t> block_sums) noexcept {
  uint64_t h = prime3 ^ size;
  for (const uint64_t sum : block_sums) h = mix(h ^ sum);
  return h;
}

}  // namespace

uint64_t section_checksum(std::span<const std::byte> bytes, Checkpoint& checkpoint, uint32_t version) {
  std::vector<uint64_t> sums(block_count(bytes.size()));
  for (size_t b = 0; b < sums.size(); ++b) {
    sums[b] = sum_of_block(bytes, b, version);
    checkpoint.charge(checksum_block / 64);
  }
  return folded(bytes.size(), sums);
}

// ---- writing ----

IndexFileWriter::IndexFileWriter(const std::string& path, Checkpoint& checkpoint)
    : path_(resolved_target(path)), checkpoint_(checkpoint) {
  struct stat existing;
  if (stat(path_.c_str(), &existing) == 0) {
    if (S_ISDIR(existing.st_mode)) throw system_error(EISDIR, path);
    if (!S_ISREG(existing.st_mode)) throw std::system_error(EINVAL, not_regular_file_category(), path);
  } else if (errno != ENOENT) {
    throw system_error(errno, path);
  }
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
#ifdef SYNC_FILE_RANGE_WRITE
    // Written back to the disk from now on, not all at the fsync (advice).
    sync_file_range(fd_, static_cast<off_t>(written_), n, SYNC_FILE_RANGE_WRITE);
#endif
    written_ += static_cast<uint64_t>(n);
    checkpoint_.charge(static_cast<size_t>(n) / 64 + 1);
  }
}

// Waits for the written bytes to reach the disk a slice at a time, looking
// at the checkpoint between slices: one fsync of a large file on a slow
// disk would hold off Ctrl+C for seconds. The fsync after it then has
// little left to wait for. Where the file system cannot (no
// sync_file_range), the fsync does it all.
void IndexFileWriter::write_back() {
#ifdef SYNC_FILE_RANGE_WRITE
  constexpr uint64_t slice = uint64_t{8} << 20;
  for (uint64_t at = 0; at < written_; at += slice) {
    const unsigned flags = SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    if (sync_file_range(fd_, static_cast<off_t>(at), static_cast<off_t>(std::min(slice, written_ - at)), flags) != 0)
      return;
    checkpoint_.look_up();
  }
#endif
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
  write_back();
  if (fsync(fd_) != 0) throw system_error(errno, path_);
  const int fd = std::exchange(fd_, -1);
  if (close(fd) != 0) throw system_error(errno, path_);
  if (rename(temporary_.c_str(), path_.c_str()) != 0) throw system_error(errno, path_);
  temporary_.clear();
}

// ---- reading ----

namespace {

// The magic number and the format version, the first 12 bytes; returns the
// version. It comes before the header's checksum: a newer format may lay
// out even its header otherwise, so its checksum says nothing to this
// reader. Version 1 differs from 2 only in the checksum of its blocks, and
// is read as it was written.
uint32_t check_identity(const std::byte* header) {
  if (std::memcmp(header, index_magic.data(), index_magic.size()) != 0)
    throw IndexFormatError("not a mendseqs index file (no magic number)");
  const uint32_t version = load32(header + 8);
  if (version > index_format_version)
    throw IndexFormatError("format version " + std::to_string(version) + " is newer than this mendseqs reads (" +
                           std::to_string(index_format_version) + "); rebuild the index or upgrade mendseqs");
  if (version < 1) throw IndexFormatError("unknown format version " + std::to_string(version));
  return version;
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
  modified_seconds_ = info.st_mtim.tv_sec;
  modified_nanoseconds_ = info.st_mtim.tv_nsec;
  // Read before anything is mapped: a file that is no index (a large FASTQ
  // file given by mistake, say) is refused without reading all of it.
  std::array<std::byte, 12> identity;
  const ssize_t got = pread(fd, identity.data(), identity.size(), 0);
  if (got < 0) throw system_error(errno, "pread");
  if (static_cast<size_t>(got) != identity.size()) throw IndexFormatError("the file is too short to be an index");
  version_ = check_identity(identity.data());
  // Not populated here: faulting in a large file in one call could not be
  // interrupted. Each checksum block faults in its own pages first
  // (verify_checksums), a block's time between two looks at the checkpoint.
  void* mapped = mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd, 0);
  if (mapped == MAP_FAILED) {
    const int error = errno;
    if (error == ENOMEM) throw IndexFormatError("the index does not fit in this process's address space");
    throw system_error(error, "mmap");
  }
  data_ = static_cast<const std::byte*>(mapped);
  try {
    fd_ = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (fd_ < 0) throw system_error(errno, "fcntl");
    validate(checkpoint);
  } catch (...) {
    if (fd_ >= 0) close(fd_);
    munmap(const_cast<std::byte*>(data_), size_);
    data_ = nullptr;
    throw;
  }
}

IndexFileReader::~IndexFileReader() {
  if (data_) munmap(const_cast<std::byte*>(data_), size_);
  if (fd_ >= 0) close(fd_);
}

bool IndexFileReader::unchanged() const noexcept {
  struct stat info;
  return fstat(fd_, &info) == 0 && static_cast<uint64_t>(info.st_size) == size_ &&
         info.st_mtim.tv_sec == modified_seconds_ && info.st_mtim.tv_nsec == modified_nanoseconds_;
}

void IndexFileReader::validate(Checkpoint& checkpoint) {
  const std::byte* header = data_;
  // Again: the file may have changed since it was read.
  if (check_identity(header) != version_) throw IndexFormatError("the file changed while it was loaded");
  if (section_checksum(std::span(header, 40), checkpoint, version_) != load64(header + 40))
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
  if (section_checksum(table, checkpoint, version_) != load64(header + 32))
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
  header_.assign(header, header + header_bytes);
  table_ = table;
}

void IndexFileReader::check_again(Checkpoint& checkpoint) {
  if (!std::equal(header_.begin(), header_.end(), data_)) throw IndexFormatError("the header changed");
  if (section_checksum(table_, checkpoint, version_) != load64(data_ + 32))
    throw IndexFormatError("the section table changed");
  verify_checksums(table_, checkpoint);
}

// Every block of every section, on as many threads as the processors run
// (the file is read once, at memory speed, whatever its size); this thread
// takes its share and checks in meanwhile. The threads are the fork-join
// helper's, with its one rule for a thread that cannot start.
void IndexFileReader::verify_checksums(std::span<const std::byte> table, Checkpoint& checkpoint) {
  std::vector<std::vector<uint64_t>> sums(entries_.size());
  std::vector<std::pair<uint32_t, uint32_t>> work;  // (section, block)
  for (size_t i = 0; i < entries_.size(); ++i) {
    sums[i].resize(block_count(entries_[i].bytes.size()));
    for (size_t b = 0; b < sums[i].size(); ++b) work.emplace_back(static_cast<uint32_t>(i), static_cast<uint32_t>(b));
  }
  std::atomic<size_t> next{0};
  std::atomic<bool> stop{false};
  const size_t threads = std::min<size_t>({usable_processors(), 8, work.size()});
  fork_join(std::max<size_t>(threads, 1), stop, [&](size_t thread) {
    for (size_t w; !stop.load(std::memory_order_relaxed) && (w = next.fetch_add(1)) < work.size();) {
      const auto [section, block] = work[w];
      prefault(entries_[section].bytes, block);
      sums[section][block] = sum_of_block(entries_[section].bytes, block, version_);
      if (thread == 0) checkpoint.charge(checksum_block / 64);
    }
  });
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
