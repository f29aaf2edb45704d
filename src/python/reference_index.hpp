// mendseqs.ReferenceIndex: a reference list prepared once for one max_flex
// (engine/prepared_references.hpp), corrected against any number of times,
// saved to a file and loaded again.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <utility>

#include "engine/prepared_references.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/hooks.hpp"

namespace mendseqs::py {

// The type, made once per process (the module is single-phase), never
// released; a new reference.
PyResult<Ref> reference_index_type();

// For the methods defined in files of their own (python/tag.cpp): what an
// index object holds. `index` must be a ReferenceIndex. The strings are the
// caller's, read in place by a built index; null for a loaded one.
const PreparedReferences& prepared_of(PyObject* index) noexcept;
const StrList* strings_of(PyObject* index) noexcept;

// Runs work(hooks) without the interpreter lock (without_lock); a loaded
// index whose file changed since (IndexFileError) is refused with
// ValueError, as a damaged file is at load.
template <class Work>
auto unlocked_on_index(Work&& work) -> PyResult<decltype(work(std::declval<CallerHooks&>()))> {
  using Result = decltype(work(std::declval<CallerHooks&>()));
  std::optional<std::string> refused;
  PyResult<std::optional<Result>> done = without_lock([&](CallerHooks& hooks) -> std::optional<Result> {
    try {
      return work(hooks);
    } catch (const IndexFileError& error) {
      refused = error.what();
      return std::nullopt;
    }
  });
  if (!done) return Unexpected(std::move(done.error()));
  if (refused) return fail(PyExc_ValueError, *refused);
  if (!done->has_value()) return fail(PyExc_SystemError, "the call gave no result");
  return std::move(**done);
}

}  // namespace mendseqs::py
