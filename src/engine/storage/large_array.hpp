// A fixed-size array of trivial values for the index's big tables, in
// memory that the kernel is asked to back with huge pages where it can; or
// borrowed, read-only, from memory someone else owns (a loaded index's
// mapped file), which it then never writes nor frees.
//
// Nearly every lookup in a large index touches a random page: with 4 KiB
// pages the translation misses the TLB as well as the cache, and the page
// walk costs about as much as the miss. 2 MiB pages make the tables of a
// whitelist index span a few hundred pages instead of tens of thousands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace mendseqs {

template <class T>
class LargeArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  LargeArray() noexcept = default;
  // `size` zero-initialised values; throws std::bad_alloc.
  //
  // A large one is mapped afresh, zero by the kernel's promise, and not
  // touched here: its pages are faulted in by whoever first writes them
  // (the build's passes, which look at their checkpoint as they go), where
  // clearing a gigabyte here would hold off Ctrl+C for most of a second.
  explicit LargeArray(size_t size) : size_(size) {
    if (size == 0) return;
    if (size > (SIZE_MAX - 2 * huge_page) / sizeof(T)) throw std::bad_alloc();
    const size_t bytes = size * sizeof(T);
#if defined(MAP_ANONYMOUS)
    if (bytes >= huge_page) {
      data_ = static_cast<T*>(map_huge(bytes));
      return;
    }
#endif
    // Small arrays on cache lines too: a block table's 64-byte blocks each
    // in one.
    const size_t align = bytes >= huge_page ? huge_page : cache_line;
    data_ = static_cast<T*>(std::aligned_alloc(align, (bytes + align - 1) / align * align));
    if (!data_) throw std::bad_alloc();
    std::memset(static_cast<void*>(data_), 0, bytes);
  }
  // A read-only view of `values`, which must outlive the array. Only the
  // const accessors may be used on it.
  static LargeArray borrow(std::span<const T> values) noexcept {
    LargeArray array;
    array.data_ = const_cast<T*>(values.data());
    array.size_ = values.size();
    array.owned_ = false;
    return array;
  }
  LargeArray(LargeArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        owned_(std::exchange(other.owned_, true)) {}
  LargeArray& operator=(LargeArray&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(owned_, other.owned_);
    return *this;
  }
  ~LargeArray() {
    if (!owned_ || !data_) return;
#if defined(MAP_ANONYMOUS)
    if (size_ * sizeof(T) >= huge_page) {
      munmap(data_, rounded(size_ * sizeof(T)));
      return;
    }
#endif
    std::free(data_);
  }

  T& operator[](size_t i) noexcept { return data_[i]; }
  const T& operator[](size_t i) const noexcept { return data_[i]; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T* begin() noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  // Memory this array owns: none when borrowed.
  size_t bytes() const noexcept { return owned_ ? size_ * sizeof(T) : 0; }
  std::span<const T> view() const noexcept { return {data_, size_}; }
  // An array of its own holding the same values (in huge pages where the
  // kernel gives them): a borrowed array's copy; throws std::bad_alloc.
  LargeArray copy() const {
    LargeArray owned(size_);
    if (size_ > 0) std::memcpy(static_cast<void*>(owned.data_), data_, size_ * sizeof(T));
    return owned;
  }
  bool borrowed() const noexcept { return !owned_; }

 private:
  static constexpr size_t huge_page = size_t{2} << 20;
  static constexpr size_t cache_line = 64;

  static size_t rounded(size_t bytes) noexcept { return (bytes + huge_page - 1) / huge_page * huge_page; }
#if defined(MAP_ANONYMOUS)
  // Whole huge pages, aligned to one (the kernel backs only aligned ones
  // with huge pages): a page more is mapped, and the slack on either side
  // of the aligned run given back.
  static void* map_huge(size_t bytes) {
    const size_t length = rounded(bytes);
    void* mapped = mmap(nullptr, length + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t aligned = (start + huge_page - 1) / huge_page * huge_page;
    if (aligned > start) munmap(mapped, aligned - start);
    if (const size_t tail = start + huge_page - aligned) munmap(reinterpret_cast<void*>(aligned + length), tail);
#ifdef MADV_HUGEPAGE
    madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);  // advice only: 4 KiB pages work too
#endif
    return reinterpret_cast<void*>(aligned);
  }
#endif

  T* data_ = nullptr;
  size_t size_ = 0;
  bool owned_ = true;
};

}  // namespace mendseqs
