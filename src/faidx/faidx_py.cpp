// The Python class Faidx and the fetch glue shared with Fasta.
#include "faidx/faidx_py.h"

#include <cstring>

#include "errors/error_py.h"
#include "faidx/batch_py.h"
#include "lib/args.h"
#include "lib/text.h"
#include "lib/type_py.h"
#include "sequence/sequence_py.h"

namespace gelvo::py {

const char* const kOpenParamNames[kOpenParamCount] = {
    "filename",
    "indexname",
    "as_raw",
    "strict_bounds",
    "sequence_always_upper",
    "rebuild",
    "build_index",
    "one_based_attributes",
    "default_seq",
    "mutable",
    "key_function",
    "split_char",
    "filt_function",
    "read_long_names",
    "duplicate_action",
    "read_ahead",
};

namespace {

struct FaidxObject {
  PyObject_HEAD
  Faidx* faidx;             // owned
  PyObject* filename;       // the str as passed
  PyObject* key_function;   // owned or null; never called
  PyObject* filt_function;  // owned or null; never called
  PyObject* indexname;      // owned exact str, or null for None
  bool rebuild;             // kept for pickling only
  bool build_index;
};

PyTypeObject* the_type = nullptr;

FaidxObject* as_faidx(PyObject* self) { return reinterpret_cast<FaidxObject*>(self); }

bool convert_bool(PyObject* const* bound, OpenParam param, bool* out) {
  return bound[param] == nullptr || to_bool(bound[param], kOpenParamNames[param], out);
}

PyRef optional_object(PyObject* obj) { return obj == nullptr || obj == Py_None ? PyRef() : PyRef::borrow(obj); }

bool convert_optional_path(PyObject* obj, const char* arg, std::optional<std::string>* out) {
  if (obj == nullptr || obj == Py_None) return true;
  std::string path;
  if (!to_path(obj, arg, &path)) return false;
  *out = std::move(path);
  return true;
}

// The result's name: the caller's str itself when it is an exact str.
PyRef name_as_str(PyObject* name_obj, std::string_view name) {
  if (name_obj != nullptr && PyUnicode_CheckExact(name_obj)) return PyRef::borrow(name_obj);
  return text_to_str(name);
}

// Builds the Python value of a fetch plan. The common case writes the bases
// straight into the new str: one lookup, arithmetic and one copy.
PyRef plan_to_sequence(const Faidx& faidx, PyObject* name_obj, std::string_view name, const FetchPlan& plan,
                       bool fill) {
  PyRef name_str = name_as_str(name_obj, name);
  if (!name_str) return {};
  if (plan.is_empty()) {
    PyRef empty = PyRef::steal(PyUnicode_New(0, 0));
    if (!empty) return {};
    return new_sequence(std::move(name_str), std::move(empty), plan.empty_start, plan.empty_end, false);
  }
  const Mapping* mapping = faidx.mapping();
  const std::size_t count = plan.count();
  const std::size_t bound = faidx.extract_bound(plan, mapping);
  std::string text;
  if (bound == count) {
    PyRef seq = new_ascii_str(count);
    if (!seq) return {};
    char* data = ascii_data(seq.get());
    bool plain = false;
    auto got = faidx.extract(plan, mapping, data, count, &plain);
    if (!got) return set_error(got.error()), PyRef();
    if (*got == count && (plain || is_ascii(std::string_view(data, count)))) {
      faidx.apply_case(data, count);
      return new_sequence(std::move(name_str), std::move(seq), faidx.result_start(plan), faidx.result_end(plan), false);
    }
    // Short or not ASCII (a file edited under us, or a hand-made index):
    // finish through the general path below.
    text.assign(data, *got);
  } else {
    text.resize(bound);
    auto got = faidx.extract(plan, mapping, text.data(), bound);
    if (!got) return set_error(got.error()), PyRef();
    text.resize(*got);
  }
  faidx.finish_text(plan, text, fill);
  PyRef seq = text_to_str(text);
  if (!seq) return {};
  return new_sequence(std::move(name_str), std::move(seq), faidx.result_start(plan), faidx.result_end(plan), false);
}

}  // namespace

bool convert_open_args(PyObject* const* bound, OpenArgs* out) {
  out->filename_obj = PyRef::borrow(bound[kFilename]);
  if (!to_path(bound[kFilename], kOpenParamNames[kFilename], &out->filename)) return false;
  if (!convert_optional_path(bound[kIndexname], kOpenParamNames[kIndexname], &out->indexname)) return false;
  if (out->indexname) {
    out->indexname_obj = PyRef::steal(PyUnicode_FromObject(bound[kIndexname]));
    if (!out->indexname_obj) return false;
  }
  FaidxOptions& o = out->options;
  if (!convert_bool(bound, kAsRaw, &o.as_raw) || !convert_bool(bound, kStrictBounds, &o.strict_bounds) ||
      !convert_bool(bound, kSequenceAlwaysUpper, &o.sequence_always_upper) ||
      !convert_bool(bound, kRebuild, &out->rebuild) || !convert_bool(bound, kBuildIndex, &out->build_index) ||
      !convert_bool(bound, kOneBasedAttributes, &o.one_based_attributes)) {
    return false;
  }
  if (!to_optional_text(bound[kDefaultSeq], kOpenParamNames[kDefaultSeq], &o.default_seq)) return false;
  if (!convert_bool(bound, kMutable, &o.mutable_file)) return false;
  out->key_function = optional_object(bound[kKeyFunction]);
  if (!to_optional_text(bound[kSplitChar], kOpenParamNames[kSplitChar], &o.split_char)) return false;
  out->filt_function = optional_object(bound[kFiltFunction]);
  if (!convert_bool(bound, kReadLongNames, &o.read_long_names)) return false;
  if (bound[kDuplicateAction] != nullptr) {
    std::string_view action;
    if (!to_text(bound[kDuplicateAction], kOpenParamNames[kDuplicateAction], &action)) return false;
    o.duplicate_action.assign(action);
  }
  return to_optional_size(bound[kReadAhead], kOpenParamNames[kReadAhead], &o.read_ahead);
}

std::unique_ptr<Faidx> open_faidx(OpenArgs& args) {
  auto opened = Faidx::open(args.filename, args.indexname, args.options, args.rebuild, args.build_index);
  if (!opened) {
    // Paths in messages are shown exactly as the caller passed them.
    const FaidxError& error = opened.error();
    if (error.kind() == ErrorKind::FastaNotFound) {
      PyErr_Format(PyExc_Exception, "FastaNotFoundError: %U", args.filename_obj.get());
    } else {
      set_error(error);
    }
    return nullptr;
  }
  return std::move(opened).value();
}

namespace {

PyRef object_or_none(PyObject* obj) { return PyRef::borrow(obj != nullptr ? obj : Py_None); }
PyRef bool_object(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }
PyRef optional_text(const std::optional<std::string>& text) {
  return text ? text_to_str(*text) : PyRef::borrow(Py_None);
}

}  // namespace

PyRef reopen_arguments(const Faidx& faidx, const ReopenArgs& args) {
  const FaidxOptions& o = faidx.options();
  PyRef values[kOpenParamCount];
  // A str subclass goes back as a plain str, which any process can rebuild.
  values[kFilename] = PyRef::steal(PyUnicode_FromObject(args.filename));
  values[kIndexname] = object_or_none(args.indexname);
  values[kAsRaw] = bool_object(o.as_raw);
  values[kStrictBounds] = bool_object(o.strict_bounds);
  values[kSequenceAlwaysUpper] = bool_object(o.sequence_always_upper);
  values[kRebuild] = bool_object(args.rebuild);
  values[kBuildIndex] = bool_object(args.build_index);
  values[kOneBasedAttributes] = bool_object(o.one_based_attributes);
  values[kDefaultSeq] = optional_text(o.default_seq);
  values[kMutable] = bool_object(o.mutable_file);
  values[kKeyFunction] = object_or_none(args.key_function);
  values[kSplitChar] = optional_text(o.split_char);
  values[kFiltFunction] = object_or_none(args.filt_function);
  values[kReadLongNames] = bool_object(o.read_long_names);
  values[kDuplicateAction] = text_to_str(o.duplicate_action);
  values[kReadAhead] = o.read_ahead ? PyRef::steal(PyLong_FromSize_t(*o.read_ahead)) : PyRef::borrow(Py_None);
  PyRef tuple = PyRef::steal(PyTuple_New(kOpenParamCount));
  if (!tuple) return {};
  for (Py_ssize_t i = 0; i < kOpenParamCount; ++i) {
    if (!values[i]) return {};
    PyTuple_SET_ITEM(tuple.get(), i, values[i].release());
  }
  return tuple;
}

std::nullptr_t set_fetch_failure(const FetchFailure& failure) {
  if (const auto* bounds = std::get_if<BoundsError>(&failure)) return set_error_text(PyExc_IndexError, bounds->message);
  return set_error(std::get<FaidxError>(failure));
}

PyRef fetch_region(const Faidx& faidx, PyObject* name_obj, std::string_view name, std::size_t start, std::size_t end) {
  auto plan = faidx.plan_fetch(name, start, end);
  if (!plan) return set_fetch_failure(plan.error()), PyRef();
  return plan_to_sequence(faidx, name_obj, name, *plan, true);
}

PyRef fetch_entire(const Faidx& faidx, PyObject* name_obj, std::string_view name) {
  auto plan = faidx.plan_entire(name);
  if (!plan) return set_error(plan.error()), PyRef();
  return plan_to_sequence(faidx, name_obj, name, *plan, false);
}

// ---------------------------------------------------------------- the class

namespace {

PyObject* Faidx_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[kOpenParamCount];
    static const Params params{"Faidx", kOpenParamNames, 1};
    if (!bind_tuple(params, args, kwargs, bound)) return nullptr;
    OpenArgs open_args;
    if (!convert_open_args(bound, &open_args)) return nullptr;
    std::unique_ptr<Faidx> faidx = open_faidx(open_args);
    if (!faidx) return nullptr;
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    FaidxObject* obj = as_faidx(self.get());
    obj->faidx = faidx.release();
    obj->filename = open_args.filename_obj.release();
    obj->key_function = open_args.key_function.release();
    obj->filt_function = open_args.filt_function.release();
    obj->indexname = open_args.indexname_obj.release();
    obj->rebuild = open_args.rebuild;
    obj->build_index = open_args.build_index;
    return self.release();
  });
}

int Faidx_traverse(PyObject* self, visitproc visit, void* arg) {
  FaidxObject* obj = as_faidx(self);
  Py_VISIT(obj->key_function);
  Py_VISIT(obj->filt_function);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int Faidx_clear(PyObject* self) {
  FaidxObject* obj = as_faidx(self);
  Py_CLEAR(obj->key_function);
  Py_CLEAR(obj->filt_function);
  return 0;
}

void Faidx_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  FaidxObject* obj = as_faidx(self);
  Faidx_clear(self);
  Py_CLEAR(obj->filename);
  Py_CLEAR(obj->indexname);
  delete obj->faidx;
  obj->faidx = nullptr;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* Faidx_repr(PyObject* self) {
  return guarded([&] { return PyUnicode_FromFormat("Faidx(\"%U\")", as_faidx(self)->filename); });
}

PyObject* Faidx_keys(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const NameIndex& index = as_faidx(self)->faidx->index();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(index.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < index.size(); ++i) {
      PyRef name = text_to_str(index.name(i));
      if (!name) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name.release());
    }
    return list.release();
  });
}

int Faidx_contains(PyObject* self, PyObject* key) {
  return guarded([&]() -> int {
    std::string_view name;
    if (!to_text(key, "name", &name)) return -1;
    return as_faidx(self)->faidx->index().find(name) != nullptr;
  });
}

PyObject* Faidx_fetch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"name", "start", "end"};
    static const Params params{"fetch", names, 3};
    PyObject* bound[3];
    if (nargs == 3 && kwnames == nullptr) {
      std::memcpy(bound, args, sizeof bound);
    } else if (!bind_fastcall(params, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::string_view name;
    std::size_t start, end;
    if (!to_text(bound[0], "name", &name) || !to_size(bound[1], "start", &start) || !to_size(bound[2], "end", &end)) {
      return nullptr;
    }
    return fetch_region(*as_faidx(self)->faidx, bound[0], name, start, end).release();
  });
}

PyObject* Faidx_fetch_entire_sequence(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"name"};
    static const Params params{"fetch_entire_sequence", names, 1};
    PyObject* bound[1];
    if (!bind_fastcall(params, args, nargs, kwnames, bound)) return nullptr;
    std::string_view name;
    if (!to_text(bound[0], "name", &name)) return nullptr;
    return fetch_entire(*as_faidx(self)->faidx, bound[0], name).release();
  });
}

PyObject* Faidx_fetch_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"regions"};
    static const Params params{"fetch_many", names, 1};
    PyObject* bound[1];
    BatchRequest request;
    if (!bind_fastcall(params, args, nargs, kwnames, bound) || !convert_regions(bound[0], &request)) return nullptr;
    return batch_fetch_many(*as_faidx(self)->faidx, request, false);
  });
}

PyObject* Faidx_fetch_many_same_chr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"name", "regions"};
    static const Params params{"fetch_many_same_chr", names, 2};
    PyObject* bound[2];
    std::string_view name;
    BatchRequest request;
    if (!bind_fastcall(params, args, nargs, kwnames, bound) || !to_text(bound[0], "name", &name) ||
        !convert_pairs(bound[1], &request)) {
      return nullptr;
    }
    return batch_fetch_same_chr(*as_faidx(self)->faidx, bound[0], name, request, false);
  });
}

// Pickled as the path and options to open again: the unpickling process
// builds or reuses the index by the same rules as any other construction.
PyObject* Faidx_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const FaidxObject* obj = as_faidx(self);
    PyRef args = reopen_arguments(*obj->faidx, {obj->filename, obj->indexname, obj->key_function, obj->filt_function,
                                                obj->rebuild, obj->build_index});
    if (!args) return nullptr;
    return PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get());
  });
}

PyMethodDef Faidx_methods[] = {
    {"fetch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Faidx_fetch)), METH_FASTCALL | METH_KEYWORDS,
     "fetch($self, name, start, end)\n--\n\n"},
    {"fetch_entire_sequence", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Faidx_fetch_entire_sequence)),
     METH_FASTCALL | METH_KEYWORDS,
     "fetch_entire_sequence($self, name)\n--\n\n"
     "Ultra-fast method for fetching entire sequences - bypasses all bounds checking"},
    {"fetch_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Faidx_fetch_many)),
     METH_FASTCALL | METH_KEYWORDS,
     "fetch_many($self, regions)\n--\n\n"
     "High-performance batch fetch for many sequences\n\n"
     "Efficiently processes large numbers of regions (e.g., 200,000+) using smart batching:\n"
     "- Sequential processing for small batches (< 1000 regions) to avoid overhead\n"
     "- Parallel processing for large batches to maximize throughput\n\n"
     "Args:\n"
     "    regions: List of (name, start, end) tuples specifying regions to fetch\n\n"
     "Returns:\n"
     "    List of Sequence objects in the same order as input regions\n\n"
     "Example:\n"
     "    >>> regions = [(\"chr1\", 1000, 2000), (\"chr2\", 5000, 6000)]\n"
     "    >>> sequences = faidx.fetch_many(regions)"},
    {"fetch_many_same_chr", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Faidx_fetch_many_same_chr)),
     METH_FASTCALL | METH_KEYWORDS,
     "fetch_many_same_chr($self, name, regions)\n--\n\n"
     "Ultra-fast batch fetch for regions from the same chromosome\n\n"
     "Optimized for BED file processing where many regions come from the same chromosome.\n"
     "Uses smart batching like fetch_many but optimized for single chromosome access.\n\n"
     "Args:\n"
     "    name: Chromosome/sequence name\n"
     "    regions: List of (start, end) tuples\n\n"
     "Returns:\n"
     "    List of Sequence objects in the same order as input regions\n\n"
     "Example:\n"
     "    >>> regions = [(1000, 2000), (5000, 6000), (10000, 11000)]\n"
     "    >>> sequences = faidx.fetch_many_same_chr(\"chr1\", regions)"},
    {"__reduce__", Faidx_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickle support: the class and the arguments that open the file again."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Faidx_getset[] = {
    {"keys", Faidx_keys, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kFaidxDoc[] =
    "Faidx(filename, indexname=None, as_raw=False, strict_bounds=False, sequence_always_upper=False, "
    "rebuild=True, build_index=True, one_based_attributes=True, default_seq=None, mutable=False, "
    "key_function=None, split_char=None, filt_function=None, read_long_names=False, duplicate_action=..., "
    "read_ahead=None)\n--\n\n";

}  // namespace

PyObject* create_faidx_type() {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(Faidx_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(Faidx_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(Faidx_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(Faidx_clear)},
      {Py_tp_repr, reinterpret_cast<void*>(Faidx_repr)},
      {Py_sq_contains, reinterpret_cast<void*>(Faidx_contains)},
      {Py_tp_methods, Faidx_methods},
      {Py_tp_getset, Faidx_getset},
      {Py_tp_doc, const_cast<char*>(kFaidxDoc)},
      {0, nullptr},
  };
  PyType_Spec spec = {"gelvo.Faidx", sizeof(FaidxObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return create_type_once(the_type, spec);
}

PyTypeObject* faidx_type() noexcept { return the_type; }

}  // namespace gelvo::py
