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
  // `size` zero-initialised values; throws std::bad_alloc. A large array
  // is mapped straight from the kernel, whose pages come zeroed: nothing is
  // written until the array is, so the first touch of each page (costly on
  // a virtual machine whose host backs it on demand) happens in whatever
  // threads fill the array, not all in this one.
  explicit LargeArray(size_t size) : size_(size) {
    if (size == 0) return;
    if (size > (SIZE_MAX - huge_page) / sizeof(T)) throw std::bad_alloc();
    const size_t bytes = size * sizeof(T);
#ifdef MADV_HUGEPAGE
    if (bytes >= huge_page) {
      // Aligned to 2 MiB within a mapping a huge page larger, the rest
      // unmapped again.
      const size_t rounded = (bytes + huge_page - 1) / huge_page * huge_page;
      void* mapped = mmap(nullptr, rounded + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (mapped == MAP_FAILED) throw std::bad_alloc();
      auto* start = static_cast<char*>(mapped);
      auto* aligned = reinterpret_cast<char*>((reinterpret_cast<uintptr_t>(start) + huge_page - 1) & ~(huge_page - 1));
      if (aligned > start) munmap(start, static_cast<size_t>(aligned - start));
      const size_t after = static_cast<size_t>(start + rounded + huge_page - (aligned + rounded));
      if (after > 0) munmap(aligned + rounded, after);
      madvise(aligned, rounded, MADV_HUGEPAGE);  // advice only: 4 KiB pages work too
      data_ = reinterpret_cast<T*>(aligned);
      mapped_bytes_ = rounded;
      return;
    }
#endif
    // Small arrays on cache lines too: a table's 64-byte blocks each in one.
    const size_t rounded = (bytes + cache_line - 1) / cache_line * cache_line;
    data_ = static_cast<T*>(std::aligned_alloc(cache_line, rounded));
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
        owned_(std::exchange(other.owned_, true)),
        mapped_bytes_(std::exchange(other.mapped_bytes_, 0)) {}
  LargeArray& operator=(LargeArray&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(owned_, other.owned_);
    std::swap(mapped_bytes_, other.mapped_bytes_);
    return *this;
  }
  ~LargeArray() {
    if (!owned_ || !data_) return;
#ifdef MADV_HUGEPAGE
    if (mapped_bytes_ > 0) {
      munmap(static_cast<void*>(data_), mapped_bytes_);
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
  // An array of its own holding the same values (in huge pages where the
  // kernel gives them): a borrowed array's copy; throws std::bad_alloc.
  LargeArray copy() const {
    LargeArray owned(size_);
    if (size_ > 0) std::memcpy(static_cast<void*>(owned.data_), data_, size_ * sizeof(T));
    return owned;
  }
  bool borrowed() const noexcept { return !owned_; }
  // Memory this array owns: none when borrowed.
  size_t bytes() const noexcept { return owned_ ? size_ * sizeof(T) : 0; }
  std::span<const T> view() const noexcept { return {data_, size_}; }

 private:
  static constexpr size_t huge_page = size_t{2} << 20;
  static constexpr size_t cache_line = 64;

  T* data_ = nullptr;
  size_t size_ = 0;
  bool owned_ = true;
  size_t mapped_bytes_ = 0;  // a mapping's length, 0 for the heap
};

}  // namespace mendseqs
