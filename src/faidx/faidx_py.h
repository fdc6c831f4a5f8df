// The Python class Faidx, and the fetch glue shared with Fasta.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <string_view>

#include "faidx/faidx.h"
#include "lib/pyref.h"

namespace gelvo::py {

PyObject* create_faidx_type();
PyTypeObject* faidx_type() noexcept;

// Everything a constructor of Faidx or Fasta converts from its arguments.
struct OpenArgs {
  PyRef filename_obj;   // the str as passed
  PyRef indexname_obj;  // an exact str, or null for None
  std::string filename;
  std::optional<std::string> indexname;
  FaidxOptions options;
  bool rebuild = true;
  bool build_index = true;
  PyRef key_function;  // None is stored as null
  PyRef filt_function;
};

// The constructor parameters, in Faidx's order; Fasta binds its own order
// and hands the values over in this one.
enum OpenParam {
  kFilename,
  kIndexname,
  kAsRaw,
  kStrictBounds,
  kSequenceAlwaysUpper,
  kRebuild,
  kBuildIndex,
  kOneBasedAttributes,
  kDefaultSeq,
  kMutable,
  kKeyFunction,
  kSplitChar,
  kFiltFunction,
  kReadLongNames,
  kDuplicateAction,
  kReadAhead,
  kOpenParamCount
};
extern const char* const kOpenParamNames[kOpenParamCount];

// Converts bound arguments (borrowed, null when not given) indexed by
// OpenParam. Raises TypeError/OverflowError naming the argument.
bool convert_open_args(PyObject* const* bound, OpenArgs* out);
// Opens the engine; null with the Python exception set on failure.
std::unique_ptr<Faidx> open_faidx(OpenArgs& args);

// What an open Faidx or Fasta keeps, beside the engine's FaidxOptions, to be
// pickled as "open this path again with these options". All borrowed.
struct ReopenArgs {
  PyObject* filename;
  PyObject* indexname;      // null for None
  PyObject* key_function;   // null for None
  PyObject* filt_function;  // null for None
  bool rebuild;
  bool build_index;
};
// A new tuple of every constructor argument in Faidx's order (OpenParam),
// the options read back from the engine. Null with an exception set.
PyRef reopen_arguments(const Faidx& faidx, const ReopenArgs& args);

// Raises the exception of a failed region fetch (IndexError for strict
// coordinate errors, the engine error's exception otherwise).
std::nullptr_t set_fetch_failure(const FetchFailure& failure);

// The region fetch as Python sees it: a new Sequence or null with an
// exception. name_obj is the str the caller passed (reused as the result's
// name when it is an exact str).
PyRef fetch_region(const Faidx& faidx, PyObject* name_obj, std::string_view name, std::size_t start, std::size_t end);
// The whole-sequence fetch.
PyRef fetch_entire(const Faidx& faidx, PyObject* name_obj, std::string_view name);

}  // namespace gelvo::py
