// How an index is written to a file and read back, seen from the index.
//
// A saved index is a list of named sections, each one flat array of
// unsigned integers of one width (1, 2, 4 or 8 bytes), little-endian on
// every platform (a scalar is an array of one). The index names what it
// holds and nothing else: the file layout, the checksums and the mapping
// belong to whoever implements these two interfaces.
//
// A loaded array is borrowed from the source (a read-only mapping, say),
// which outlives every index loaded from it. Everything read from a source
// is untrusted: the index checks every invariant its lookups rely on before
// it answers a query, and throws IndexFormatError naming what is wrong.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

namespace mendseqs {

// Saved arrays are read in place, so only little-endian hosts (x86_64 and
// ARM Linux) can map them.
static_assert(std::endian::native == std::endian::little);

// The file, or what is in it, is not an index this build can use.
struct IndexFormatError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class SectionSink {
 public:
  virtual ~SectionSink() = default;
  // `bytes` is `element_bytes` times the element count long.
  virtual void put(std::string_view name, unsigned element_bytes, std::span<const std::byte> bytes) = 0;

  template <class T>
  void put_array(std::string_view name, std::span<const T> values) {
    static_assert(std::is_unsigned_v<T>);
    put(name, sizeof(T), std::as_bytes(values));
  }
  template <class T>
  void put_scalar(std::string_view name, T value) {
    put_array<T>(name, std::span<const T>(&value, 1));
  }
};

class SectionSource {
 public:
  virtual ~SectionSource() = default;
  // The bytes of section `name`, aligned to its element width; throws
  // IndexFormatError when it is missing or of another element width.
  virtual std::span<const std::byte> get(std::string_view name, unsigned element_bytes) = 0;

  // The format version the sections were written in, when it is older
  // than the one this build writes (index/index_file.hpp); 0 otherwise.
  virtual uint32_t older_version() const noexcept { return 0; }

  template <class T>
  std::span<const T> array(std::string_view name) {
    static_assert(std::is_unsigned_v<T>);
    const std::span<const std::byte> bytes = get(name, sizeof(T));
    return {reinterpret_cast<const T*>(bytes.data()), bytes.size() / sizeof(T)};
  }
  template <class T>
  T scalar(std::string_view name) {
    const std::span<const T> values = array<T>(name);
    if (values.size() != 1) throw IndexFormatError("section " + std::string(name) + " is not one value");
    return values[0];
  }
};

}  // namespace mendseqs
