// Conversions between the Python objects of a call and the engine's values.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "engine/driver.hpp"
#include "engine/text.hpp"
#include "python/errors.hpp"

namespace mendseqs::py {

// The strings of a list argument, read in place: a view of each string's
// own storage (CPython keeps a str as 1-, 2- or 4-byte code points) and a
// strong reference to it, so that the storage stays put for the whole call
// even if the caller's list changes while the call has let go of the
// interpreter lock. Released, with the interpreter lock held, on destruction.
class StrList {
 public:
  StrList() = default;
  StrList(StrList&& other) noexcept = default;
  StrList& operator=(StrList&& other) noexcept;
  ~StrList() { release(); }

  std::span<const Text> texts() const noexcept { return texts_; }
  PyObject* object(size_t i) const noexcept { return objects_[i]; }  // borrowed

  void reserve(size_t n);
  // Takes over the reference to `item`, a str whose UTF-8 form exists.
  void append(Ref item);
  void release() noexcept;

 private:
  std::vector<Text> texts_;
  std::vector<PyObject*> objects_;  // owned references
};

// ref_seqs, query_seqs: any sequence of str, but not a str itself. A str
// with a lone surrogate fails as the UTF-8 conversion does, at that item.
PyResult<StrList> extract_str_list(PyObject* object);

// max_flex: any integer (or __index__) that fits a pointer-width signed integer.
PyResult<intptr_t> extract_max_flex(PyObject* object);

// threads: any integer (or __index__) from 0 to 4294967295.
PyResult<uint32_t> extract_thread_count(PyObject* object);

// Says which argument a TypeError is about; other exceptions pass unchanged.
// The conversions above leave that to their caller, which knows the name.
PendingError argument_extraction_error(const char* parameter, PendingError error);

// The str a result holds for a matched reference: the caller's own object
// where it is exactly a str (as str operations that change nothing return
// their operand); for a str subclass, one new exact str per reference,
// shared by every query that matched it.
class MatchedStrings {
 public:
  explicit MatchedStrings(const StrList& references) : references_(references) {}
  // Borrowed, valid while this object lives.
  PyObject* get(Position position);

 private:
  const StrList& references_;
  std::unordered_map<Position, Ref> exact_copies_;
};

// The result list: per query, the reference it matched or the empty str.
// A matched reference that is exactly a str is itself the result (as str
// operations that change nothing return their operand); one of a str
// subclass gives one new exact str, shared by every query that matched it.
Ref to_result_list(std::span<const Position> matched, const StrList& references);

}  // namespace mendseqs::py
