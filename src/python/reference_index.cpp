#include "python/reference_index.hpp"

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "engine/prepared_references.hpp"
#include "python/barrier.hpp"
#include "python/convert.hpp"
#include "python/hooks.hpp"
#include "python/loaded_strings.hpp"
#include "python/nearest.hpp"
#include "python/once.hpp"
#include "python/tag.hpp"

namespace mendseqs::py {
namespace {

struct ReferenceIndexObject {
  PyObject_HEAD
      // The caller's strings, which a built index reads in place; empty for a
      // loaded one, whose references live in the mapped file.
      StrList* strings;
  PreparedReferences* prepared;
};

ReferenceIndexObject* as_index(PyObject* self) noexcept { return reinterpret_cast<ReferenceIndexObject*>(self); }

// The path argument as the file system sees it (str, bytes or os.PathLike).
PyResult<std::string> file_system_path(PyObject* path, Ref& encoded) {
  PyObject* bytes = nullptr;
  if (!PyUnicode_FSConverter(path, static_cast<void*>(&bytes))) return Unexpected(fetch_error());
  encoded = Ref::steal(bytes);
  return std::string(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
}

// OSError(errno, strerror, path): the interpreter picks the subclass
// (FileNotFoundError, IsADirectoryError...) from the number. The text is
// the error's own (strerror for an errno; the engine's reason for a target
// that is no regular file).
PendingError os_error(const std::system_error& error, PyObject* path) {
  const int code = error.code().value();
  const std::string reason = error.code().message();
  Ref exception = Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", code, reason.c_str(), path));
  if (!exception) return fetch_error();
  return PendingError::of_object(std::move(exception));
}

Ref loaded_result_list(std::span<const Position> matched, const PreparedReferences& prepared) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(matched.size())));
  if (!list) api_call_failed();
  Ref empty = Ref::steal(Py_GetConstant(Py_CONSTANT_EMPTY_STR));
  if (!empty) api_call_failed();
  LoadedStrings strings(prepared);
  for (size_t q = 0; q < matched.size(); ++q) {
    PyObject* result = matched[q] == no_match ? empty.get() : strings.get(matched[q]);
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(q), Py_NewRef(result));
  }
  return list;
}

PyResult<Ref> new_index(PyTypeObject* type, std::unique_ptr<StrList> strings, PreparedReferences prepared) {
  auto owned = std::make_unique<PreparedReferences>(std::move(prepared));
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return Unexpected(fetch_error());
  // The object owns both from here on; index_dealloc deletes them.
  as_index(self)->strings = strings.release();
  as_index(self)->prepared = owned.release();
  return Ref::steal(self);
}

PyResult<Ref> construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"ref_seqs", "max_flex", "threads", nullptr};
  PyObject *ref_arg = nullptr, *max_flex_arg = nullptr, *threads_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:ReferenceIndex", const_cast<char**>(keywords), &ref_arg,
                                   &max_flex_arg, &threads_arg))
    return Unexpected(fetch_error());
  // Converted as correct_seq_mt converts them, with its messages.
  PyResult<StrList> ref_seqs = extract_str_list(ref_arg);
  if (!ref_seqs) return Unexpected(argument_extraction_error("ref_seqs", std::move(ref_seqs.error())));
  PyResult<intptr_t> max_flex = extract_max_flex(max_flex_arg);
  if (!max_flex) return Unexpected(argument_extraction_error("max_flex", std::move(max_flex.error())));
  uint32_t threads = 1;
  if (threads_arg) {
    PyResult<uint32_t> given = extract_thread_count(threads_arg);
    if (!given) return Unexpected(argument_extraction_error("threads", std::move(given.error())));
    threads = *given;
  }
  auto strings = std::make_unique<StrList>(std::move(*ref_seqs));
  PyResult<PreparedReferences> prepared = without_lock(
      [&](CallerHooks& hooks) { return PreparedReferences::build(strings->texts(), *max_flex, threads, hooks); });
  if (!prepared) return Unexpected(std::move(prepared.error()));
  return new_index(type, std::move(strings), std::move(*prepared));
}

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return run_in_barrier([&] { return construct(type, args, kwargs); });
}

void index_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // The object's fields are plain pointers: tp_alloc zero-fills the object
  // and constructs nothing in it, so it cannot hold smart pointers.
  delete as_index(self)->prepared;  // NOLINT(cppcoreguidelines-owning-memory): before the strings it reads
  delete as_index(self)->strings;   // NOLINT(cppcoreguidelines-owning-memory)
  type->tp_free(self);
  Py_DECREF(type);
}

// The arguments of correct and nearest, converted as correct_seq_mt
// converts them, with its messages.
struct BatchArguments {
  StrList query_seqs;
  uint32_t threads;
};

PyResult<BatchArguments> batch_arguments(const char* format, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"query_seqs", "threads", nullptr};
  PyObject *query_arg = nullptr, *threads_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &query_arg, &threads_arg))
    return Unexpected(fetch_error());
  PyResult<StrList> query_seqs = extract_str_list(query_arg);
  if (!query_seqs) return Unexpected(argument_extraction_error("query_seqs", std::move(query_seqs.error())));
  PyResult<uint32_t> threads = extract_thread_count(threads_arg);
  if (!threads) return Unexpected(argument_extraction_error("threads", std::move(threads.error())));
  return BatchArguments{std::move(*query_seqs), *threads};
}

PyResult<Ref> correct(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyResult<BatchArguments> arguments = batch_arguments("OO:correct", args, kwargs);
  if (!arguments) return Unexpected(std::move(arguments.error()));
  const PreparedReferences& prepared = *as_index(self)->prepared;
  PyResult<std::vector<Position>> matched = unlocked_on_index(
      [&](CallerHooks& hooks) { return prepared.correct(arguments->query_seqs.texts(), arguments->threads, hooks); });
  if (!matched) return Unexpected(std::move(matched.error()));
  arguments->query_seqs.release();  // before the result list: the call's peak stays low
  if (const StrList* strings = as_index(self)->strings) return to_result_list(*matched, *strings);
  return loaded_result_list(*matched, prepared);
}

PyResult<Ref> nearest(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyResult<BatchArguments> arguments = batch_arguments("OO:nearest", args, kwargs);
  if (!arguments) return Unexpected(std::move(arguments.error()));
  const PreparedReferences& prepared = *as_index(self)->prepared;
  PyResult<std::vector<NearestMatch>> found = unlocked_on_index(
      [&](CallerHooks& hooks) { return prepared.nearest(arguments->query_seqs.texts(), arguments->threads, hooks); });
  if (!found) return Unexpected(std::move(found.error()));
  arguments->query_seqs.release();
  if (const StrList* strings = as_index(self)->strings) return to_nearest_list(*found, *strings);
  LoadedStrings strings(prepared);
  return to_nearest_list(*found, [&](Position position) { return strings.get(position); });
}

// Each query's accepted references as a tuple of their positions in the
// list, ascending: positions, not strings, since a caller grouping its own
// sequences indexes its own tables by them.
PyResult<Ref> neighbours(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyResult<BatchArguments> arguments = batch_arguments("OO:neighbours", args, kwargs);
  if (!arguments) return Unexpected(std::move(arguments.error()));
  const PreparedReferences& prepared = *as_index(self)->prepared;
  PyResult<std::vector<std::vector<Position>>> found = unlocked_on_index([&](CallerHooks& hooks) {
    return prepared.neighbours(arguments->query_seqs.texts(), arguments->threads, hooks);
  });
  if (!found) return Unexpected(std::move(found.error()));
  arguments->query_seqs.release();
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(found->size())));
  if (!list) api_call_failed();
  for (size_t q = 0; q < found->size(); ++q) {
    std::vector<Position>& positions = (*found)[q];
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(positions.size())));
    if (!tuple) api_call_failed();
    for (size_t i = 0; i < positions.size(); ++i) {
      PyObject* position = PyLong_FromSize_t(positions[i]);
      if (!position) api_call_failed();
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), position);
    }
    std::vector<Position>().swap(positions);  // the call's peak stays near one copy
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(q), tuple.release());
  }
  return list;
}

PyObject* index_neighbours(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run_in_barrier([&] { return neighbours(self, args, kwargs); });
}

PyObject* index_nearest(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run_in_barrier([&] { return nearest(self, args, kwargs); });
}

PyObject* index_correct(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run_in_barrier([&] { return correct(self, args, kwargs); });
}

PyResult<Ref> save(PyObject* self, PyObject* path) {
  Ref encoded;
  PyResult<std::string> name = file_system_path(path, encoded);
  if (!name) return Unexpected(std::move(name.error()));
  const PreparedReferences& prepared = *as_index(self)->prepared;
  std::optional<std::system_error> failed;
  PyResult<bool> saved = unlocked_on_index([&](CallerHooks& hooks) {
    try {
      prepared.save(*name, hooks);
    } catch (const std::system_error& error) {
      failed = error;
    }
    return true;
  });
  if (!saved) return Unexpected(std::move(saved.error()));
  if (failed) return Unexpected(os_error(*failed, path));
  return Ref::steal(Py_NewRef(Py_None));
}

PyObject* index_save(PyObject* self, PyObject* path) {
  return run_in_barrier([&] { return save(self, path); });
}

PyResult<Ref> load(PyTypeObject* type, PyObject* path) {
  Ref encoded;
  PyResult<std::string> name = file_system_path(path, encoded);
  if (!name) return Unexpected(std::move(name.error()));
  std::optional<std::system_error> failed;
  std::optional<std::string> refused;
  PyResult<std::optional<PreparedReferences>> loaded = without_lock([&](CallerHooks& hooks) {
    std::optional<PreparedReferences> prepared;
    try {
      prepared.emplace(PreparedReferences::load(*name, hooks));
    } catch (const std::system_error& error) {
      failed = error;
    } catch (const IndexFileError& error) {
      refused = error.what();
    }
    return prepared;
  });
  if (!loaded) return Unexpected(std::move(loaded.error()));
  if (failed) return Unexpected(os_error(*failed, path));
  if (refused) return fail(PyExc_ValueError, *refused);
  if (!loaded->has_value()) return fail(PyExc_SystemError, "loading gave no index");
  return new_index(type, nullptr, std::move(**loaded));
}

PyObject* index_load(PyObject* cls, PyObject* path) {
  return run_in_barrier([&] { return load(reinterpret_cast<PyTypeObject*>(cls), path); });
}

Py_ssize_t index_length(PyObject* self) { return static_cast<Py_ssize_t>(as_index(self)->prepared->size()); }

PyObject* index_max_flex(PyObject* self, void*) {
  return PyLong_FromSsize_t(static_cast<Py_ssize_t>(as_index(self)->prepared->max_flex()));
}

PyObject* index_repr(PyObject* self) {
  const PreparedReferences& prepared = *as_index(self)->prepared;
  return PyUnicode_FromFormat("<mendseqs.ReferenceIndex of %zd references, max_flex=%zd>",
                              static_cast<Py_ssize_t>(prepared.size()), static_cast<Py_ssize_t>(prepared.max_flex()));
}

PyMethodDef index_methods[] = {
    {"correct", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_correct)),
     METH_VARARGS | METH_KEYWORDS,
     "correct($self, /, query_seqs, threads)\n--\n\n"
     "What correct_seq_mt(ref_seqs, query_seqs, max_flex, threads) returns for this index's\n"
     "references and max_flex, progress display included; the index is never rebuilt."},
    {"nearest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_nearest)),
     METH_VARARGS | METH_KEYWORDS,
     "nearest($self, /, query_seqs, threads)\n--\n\n"
     "What nearest(ref_seqs, query_seqs, max_flex, threads) returns for this index's\n"
     "references and max_flex, progress display included; the index is never rebuilt."},
    {"neighbours", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_neighbours)),
     METH_VARARGS | METH_KEYWORDS,
     "neighbours($self, /, query_seqs, threads)\n--\n\n"
     "Each query's accepted references (accepted as by correct), as a tuple of their\n"
     "positions in the list, ascending. Every reference that passes both filters is\n"
     "examined (the guard as in nearest). Prints nothing."},
    {"tag", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_tag)), METH_VARARGS | METH_KEYWORDS,
     tag_doc},
    {"save", index_save, METH_O,
     "save($self, path, /)\n--\n\n"
     "Writes the references and the index to `path` (replaced atomically)."},
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_load)), METH_O | METH_CLASS,
     "load($cls, path, /)\n--\n\n"
     "The index saved at `path`, mapped read-only; ValueError when the file is not one."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef index_getset[] = {
    {"max_flex", index_max_flex, nullptr, "The tolerance the index was prepared for.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_methods, index_methods},
    {Py_tp_getset, index_getset},
    {Py_tp_repr, reinterpret_cast<void*>(index_repr)},
    {Py_sq_length, reinterpret_cast<void*>(index_length)},
    {Py_tp_doc,
     const_cast<char*>("ReferenceIndex(ref_seqs, max_flex, threads=1)\n--\n\n"
                       "The references prepared once for max_flex, for correcting many batches against them.")},
    {0, nullptr},
};

PyType_Spec index_spec = {
    "mendseqs.ReferenceIndex",
    sizeof(ReferenceIndexObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    index_slots,
};

PyObject* index_type = nullptr;  // process-wide, never released
CreationLock index_type_lock;

}  // namespace

const PreparedReferences& prepared_of(PyObject* index) noexcept { return *as_index(index)->prepared; }
const StrList* strings_of(PyObject* index) noexcept { return as_index(index)->strings; }

PyResult<Ref> reference_index_type() {
  if (index_type) return Ref::borrow(index_type);
  CreationGuard guard(index_type_lock);
  if (index_type) return Ref::borrow(index_type);
  PyObject* type = PyType_FromSpec(&index_spec);
  if (!type) return Unexpected(fetch_error());
  if (index_type)
    Py_DECREF(type);
  else
    index_type = type;
  return Ref::borrow(index_type);
}

}  // namespace mendseqs::py
