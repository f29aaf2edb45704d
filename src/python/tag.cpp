#include "python/tag.hpp"

#include <limits>
#include <variant>

#include "engine/prepared_references.hpp"
#include "engine/tag.hpp"
#include "python/barrier.hpp"
#include "python/convert.hpp"
#include "python/hooks.hpp"
#include "python/layout.hpp"
#include "python/loaded_strings.hpp"
#include "python/molecule.hpp"
#include "python/reference_index.hpp"

namespace mendseqs::py {
namespace {

struct TagArguments {
  StrList reads;
  const Layout* layout;
  uint32_t threads;
  size_t margin;
  StrList qualities;  // empty: none given
};

PyResult<TagArguments> tag_arguments(PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"reads", "layout", "threads", "margin", "qualities", nullptr};
  PyObject *reads_arg = nullptr, *layout_arg = nullptr, *threads_arg = nullptr, *margin_arg = nullptr,
           *qualities_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$OO:tag", const_cast<char**>(keywords), &reads_arg, &layout_arg,
                                   &threads_arg, &margin_arg, &qualities_arg))
    return Unexpected(fetch_error());
  PyResult<StrList> reads = extract_str_list(reads_arg);
  if (!reads) return Unexpected(argument_extraction_error("reads", std::move(reads.error())));
  // One quality string per read (Phred + 33, as FASTQ writes them), of the
  // read's length or empty for a read without; None for none at all.
  StrList qualities;
  if (qualities_arg && qualities_arg != Py_None) {
    PyResult<StrList> given = extract_str_list(qualities_arg);
    if (!given) return Unexpected(argument_extraction_error("qualities", std::move(given.error())));
    const std::span<const Text> texts = given->texts(), read_texts = reads->texts();
    if (texts.size() != read_texts.size())
      return fail(PyExc_ValueError, "argument 'qualities': " + std::to_string(texts.size()) + " given for " +
                                        std::to_string(read_texts.size()) + " reads");
    for (size_t r = 0; r < texts.size(); ++r)
      if (!texts[r].empty() && texts[r].length() != read_texts[r].length())
        return fail(PyExc_ValueError, "argument 'qualities': read " + std::to_string(r) + " has " +
                                          std::to_string(read_texts[r].length()) + " letters and " +
                                          std::to_string(texts[r].length()) + " qualities");
    qualities = std::move(*given);
  }
  const Layout* layout = layout_of(layout_arg);
  if (!layout)
    return fail(PyExc_TypeError, std::string("argument 'layout': expected a mendseqs.Layout, not '") +
                                     Py_TYPE(layout_arg)->tp_name + "'");
  PyResult<uint32_t> threads = extract_thread_count(threads_arg);
  if (!threads) return Unexpected(argument_extraction_error("threads", std::move(threads.error())));
  if (*threads == 0) return fail(PyExc_ValueError, "argument 'threads': at least 1 thread is needed to tag reads");
  size_t margin = 0;
  if (margin_arg) {
    if (!PyLong_Check(margin_arg))
      return fail(PyExc_TypeError,
                  std::string("argument 'margin': expected an int, not '") + Py_TYPE(margin_arg)->tp_name + "'");
    const int negative = PyObject_RichCompareBool(margin_arg, Ref::steal(PyLong_FromLong(0)).get(), Py_LT);
    if (negative == -1) return Unexpected(fetch_error());
    if (negative) return fail(PyExc_ValueError, "argument 'margin': must not be negative");
    margin = PyLong_AsSize_t(margin_arg);
    // A margin beyond any distance assigns nothing, as the largest does.
    if (margin == static_cast<size_t>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      margin = std::numeric_limits<size_t>::max();
    }
  }
  return TagArguments{std::move(*reads), layout, *threads, margin, std::move(qualities)};
}

template <class StrFor>
Ref to_tagged_list(std::span<const TaggedRead> tagged, StrFor&& str_for) {
  const MoleculeStrings strings;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(tagged.size())));
  if (!list) api_call_failed();
  for (size_t r = 0; r < tagged.size(); ++r) {
    Ref molecules = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(tagged[r].size())));
    if (!molecules) api_call_failed();
    for (size_t m = 0; m < tagged[r].size(); ++m) {
      const TaggedMolecule& molecule = tagged[r][m];
      PyObject* barcode = molecule.match.position == no_match ? strings.empty() : str_for(molecule.match.position);
      PyTuple_SET_ITEM(molecules.get(), static_cast<Py_ssize_t>(m),
                       molecule_object(molecule, barcode, strings).release());
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r), molecules.release());
  }
  return list;
}

PyResult<Ref> tag(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyResult<TagArguments> arguments = tag_arguments(args, kwargs);
  if (!arguments) return Unexpected(std::move(arguments.error()));
  const PreparedReferences& prepared = prepared_of(self);
  // The lock is let go while the engine runs: it reads the strings in
  // place, held by the list's own references, and the layout, held by the
  // call's argument; it touches no object.
  // A loaded index whose file changed since is refused as correct and
  // nearest refuse it.
  PyResult<std::vector<TaggedRead>> tagged = unlocked_on_index([&](CallerHooks& hooks) {
    return prepared.tag(arguments->reads.texts(), *arguments->layout, arguments->threads, arguments->margin, hooks,
                        arguments->qualities.texts());
  });
  if (!tagged) return Unexpected(std::move(tagged.error()));
  arguments->reads.release();
  arguments->qualities.release();
  if (const StrList* strings = strings_of(self)) {
    MatchedStrings matched(*strings);
    return to_tagged_list(*tagged, [&](Position position) { return matched.get(position); });
  }
  LoadedStrings loaded(prepared);
  return to_tagged_list(*tagged, [&](Position position) { return loaded.get(position); });
}

}  // namespace

const char* const tag_doc =
    "tag($self, /, reads, layout, threads, *, margin=0, qualities=None)\n--\n\n"
    "Every read's molecules, as a tuple of Molecule per read (never empty): the flank found on\n"
    "either strand, the barcode read after it and assigned to its nearest whitelist entry,\n"
    "the UMI and the cDNA's span. A barcode is assigned when its nearest entry is unique and\n"
    "the runner-up is at least `margin` further. `qualities`: each read's base qualities (Phred + 33,\n"
    "as in FASTQ; \"\" for a read without), which weigh a barcode's close candidates: an edit\n"
    "where the basecaller was unsure counts less. Nothing is printed.";

PyObject* index_tag(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run_in_barrier([&] { return tag(self, args, kwargs); });
}

}  // namespace mendseqs::py
