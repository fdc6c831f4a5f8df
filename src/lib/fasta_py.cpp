// The Python class Fasta (construction, mapping surface, region methods) and
// FastaIterator.
#include "lib/fasta_py.h"

#include <array>
#include <cstddef>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "errors/error_py.h"
#include "faidx/faidx_py.h"
#include "lib/args.h"
#include "lib/facade_py.h"
#include "lib/text.h"
#include "sequence/sequence.h"
#include "sequence/sequence_py.h"

namespace gelvo::py {
namespace {

PyTypeObject* the_fasta_type = nullptr;
PyTypeObject* the_iterator_type = nullptr;

FastaObject* as_fasta(PyObject* self) noexcept { return reinterpret_cast<FastaObject*>(self); }

// Fasta takes the engine's parameters in an order of its own; the values are
// handed to the shared conversion in the engine's order.
constexpr OpenParam kFastaOrder[] = {
    kFilename, kIndexname,  kDefaultSeq,   kKeyFunction,        kAsRaw,         kStrictBounds,    kReadAhead,
    kMutable,  kSplitChar,  kFiltFunction, kOneBasedAttributes, kReadLongNames, kDuplicateAction, kSequenceAlwaysUpper,
    kRebuild,  kBuildIndex,
};
static_assert(std::size(kFastaOrder) == static_cast<std::size_t>(kOpenParamCount));

PyObject* Fasta_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::array<const char*, kOpenParamCount> names{};
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = kOpenParamNames[kFastaOrder[i]];
    const Params params{"Fasta", names, 1};
    std::array<PyObject*, kOpenParamCount> given{};
    if (!bind_tuple(params, args, kwargs, given.data())) return nullptr;
    std::array<PyObject*, kOpenParamCount> bound{};
    for (std::size_t i = 0; i < given.size(); ++i) bound[kFastaOrder[i]] = given[i];

    OpenArgs open;
    if (!convert_open_args(bound.data(), &open)) return nullptr;
    // A str subclass is stored as a plain str so that reads hand out a str.
    PyRef filename = PyRef::steal(PyUnicode_FromObject(open.filename_obj.get()));
    if (!filename) return nullptr;
    PyRef key_function = std::move(open.key_function);
    PyRef filt_function = std::move(open.filt_function);
    const bool mutable_file = open.options.mutable_file;
    PyRef indexname = std::move(open.indexname_obj);
    std::unique_ptr<Faidx> faidx = open_faidx(open);
    if (!faidx) return nullptr;

    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    FastaObject* fasta = as_fasta(self.get());
    new (&fasta->faidx) std::unique_ptr<Faidx>(std::move(faidx));
    fasta->filename = filename.release();
    fasta->key_function = key_function.release();
    fasta->filt_function = filt_function.release();
    fasta->mutable_file = mutable_file;
    fasta->indexname = indexname.release();
    fasta->rebuild = open.rebuild;
    fasta->build_index = open.build_index;
    return self.release();
  });
}

int Fasta_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_fasta(self)->key_function);
  Py_VISIT(as_fasta(self)->filt_function);
  return 0;
}

int Fasta_clear(PyObject* self) {
  Py_CLEAR(as_fasta(self)->key_function);
  Py_CLEAR(as_fasta(self)->filt_function);
  return 0;
}

void Fasta_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Fasta_clear(self);
  FastaObject* fasta = as_fasta(self);
  Py_CLEAR(fasta->filename);
  Py_CLEAR(fasta->indexname);
  fasta->faidx.~unique_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* Fasta_repr(PyObject* self) {
  return guarded([&] { return PyUnicode_FromFormat("Fasta(\"%U\")", as_fasta(self)->filename); });
}

PyObject* Fasta_get_filename(PyObject* self, void*) { return Py_NewRef(as_fasta(self)->filename); }

PyObject* Fasta_close(PyObject*, PyObject*) { Py_RETURN_NONE; }

PyObject* Fasta_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* Fasta_exit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"_exc_type", "_exc_value", "_traceback"};
  PyObject* bound[3];
  if (!bind_fastcall({"__exit__", kNames, 0}, args, nargs, kwnames, bound)) return nullptr;
  // None, so that an exception raised in the with-block propagates.
  Py_RETURN_NONE;
}

// Pickled as the path and options to open again, in Fasta's own order.
PyObject* Fasta_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const FastaObject* fasta = as_fasta(self);
    PyRef engine_order = reopen_arguments(*fasta->faidx, {fasta->filename, fasta->indexname, fasta->key_function,
                                                          fasta->filt_function, fasta->rebuild, fasta->build_index});
    if (!engine_order) return nullptr;
    PyRef args = PyRef::steal(PyTuple_New(kOpenParamCount));
    if (!args) return nullptr;
    for (std::size_t i = 0; i < std::size(kFastaOrder); ++i) {
      PyObject* value = PyTuple_GET_ITEM(engine_order.get(), kFastaOrder[i]);
      PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(i), Py_NewRef(value));
    }
    return PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get());
  });
}

// ---------------------------------------------------------------- mapping

PyObject* set_key_error(PyObject* self, PyObject* key) {
  PyRef message = PyRef::steal(PyUnicode_FromFormat("%U not in %U.", key, as_fasta(self)->filename));
  if (message) PyErr_SetObject(PyExc_KeyError, message.get());
  return nullptr;
}

PyObject* record_by_name(PyObject* self, PyObject* key, std::string_view name) {
  if (as_fasta(self)->faidx->index().find(name) == nullptr) return set_key_error(self, key);
  PyRef name_str = PyRef::steal(PyUnicode_FromObject(key));
  if (!name_str) return nullptr;
  return new_fasta_record(self, std::move(name_str)).release();
}

PyObject* record_at(PyObject* self, std::size_t position) {
  const NameIndex& index = as_fasta(self)->faidx->index();
  if (position >= index.size()) {
    PyErr_SetString(PyExc_IndexError, "Index out of range");
    return nullptr;
  }
  PyRef name = text_to_str(index.name(position));
  if (!name) return nullptr;
  return new_fasta_record(self, std::move(name)).release();
}

PyObject* Fasta_subscript(PyObject* self, PyObject* key) {
  return guarded([&]() -> PyObject* {
    // A str is always a name, never a number, even when it reads as one.
    if (PyUnicode_Check(key)) {
      std::string_view name;
      if (to_text(key, "key", &name)) return record_by_name(self, key, name);
    } else {
      std::size_t position = 0;
      if (to_size(key, "key", &position)) return record_at(self, position);
    }
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "Key must be string or integer");
    return nullptr;
  });
}

PyObject* Fasta_item(PyObject* self, Py_ssize_t i) {
  PyRef key = PyRef::steal(PyLong_FromSsize_t(i));
  return key ? Fasta_subscript(self, key.get()) : nullptr;
}

Py_ssize_t Fasta_length(PyObject* self) {
  std::size_t total = 0;
  const NameIndex& index = as_fasta(self)->faidx->index();
  for (std::size_t i = 0; i < index.size(); ++i) {
    if (__builtin_add_overflow(total, index.entry(i).rlen, &total)) total = static_cast<std::size_t>(-1);
  }
  if (total > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetNone(PyExc_OverflowError);
    return -1;
  }
  return static_cast<Py_ssize_t>(total);
}

int Fasta_contains(PyObject* self, PyObject* arg) {
  return guarded([&]() -> int {
    std::string_view name;
    if (!to_text(arg, "name", &name)) return -1;
    return as_fasta(self)->faidx->index().find(name) != nullptr;
  });
}

// One list element per index entry, in the index's order.
template <class MakeItem>
PyObject* list_of_entries(PyObject* self, MakeItem make_item) {
  return guarded([&]() -> PyObject* {
    const NameIndex& index = as_fasta(self)->faidx->index();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(index.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < index.size(); ++i) {
      PyRef name = text_to_str(index.name(i));
      if (!name) return nullptr;
      PyRef item = make_item(std::move(name));
      if (!item) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
  });
}

PyObject* Fasta_keys(PyObject* self, PyObject*) {
  return list_of_entries(self, [](PyRef name) { return name; });
}

PyObject* Fasta_values(PyObject* self, PyObject*) {
  return list_of_entries(self, [self](PyRef name) { return new_fasta_record(self, std::move(name)); });
}

PyObject* Fasta_items(PyObject* self, PyObject*) {
  return list_of_entries(self, [self](PyRef name) {
    PyRef record = new_fasta_record(self, PyRef::borrow(name.get()));
    if (!record) return PyRef();
    return PyRef::steal(PyTuple_Pack(2, name.get(), record.get()));
  });
}

// ---------------------------------------------------------------- iterator

struct FastaIteratorObject {
  PyObject_HEAD
  PyObject* fasta;  // owned
  PyObject* keys;   // owned list of exact str: the names when iteration began
  Py_ssize_t next_index;
};

FastaIteratorObject* as_iterator(PyObject* self) noexcept { return reinterpret_cast<FastaIteratorObject*>(self); }

PyObject* Fasta_iter(PyObject* self) {
  return guarded([&]() -> PyObject* {
    if (the_iterator_type == nullptr) {
      PyErr_SetString(PyExc_SystemError, "gelvo.FastaIterator is not initialised");
      return nullptr;
    }
    PyRef keys = PyRef::steal(Fasta_keys(self, nullptr));
    if (!keys) return nullptr;
    PyObject* it = the_iterator_type->tp_alloc(the_iterator_type, 0);
    if (it == nullptr) return nullptr;
    as_iterator(it)->fasta = Py_NewRef(self);
    as_iterator(it)->keys = keys.release();
    as_iterator(it)->next_index = 0;
    return it;
  });
}

PyObject* FastaIterator_next(PyObject* self) {
  return guarded([&]() -> PyObject* {
    FastaIteratorObject* it = as_iterator(self);
    if (it->next_index >= PyList_GET_SIZE(it->keys)) return nullptr;
    PyObject* name = PyList_GET_ITEM(it->keys, it->next_index);
    PyRef record = new_fasta_record(it->fasta, PyRef::borrow(name));
    if (!record) return nullptr;
    ++it->next_index;
    return record.release();
  });
}

int FastaIterator_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_iterator(self)->fasta);
  Py_VISIT(as_iterator(self)->keys);
  return 0;
}

int FastaIterator_clear(PyObject* self) {
  Py_CLEAR(as_iterator(self)->fasta);
  Py_CLEAR(as_iterator(self)->keys);
  return 0;
}

void FastaIterator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  FastaIterator_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------- regions

// Every argument is converted before anything is fetched.
PyObject* Fasta_get_seq(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kNames[] = {"name", "start", "end", "rc"};
    PyObject* bound[4];
    if (!bind_fastcall({"get_seq", kNames, 3}, args, nargs, kwnames, bound)) return nullptr;
    std::string_view name;
    std::size_t start = 0, end = 0;
    std::optional<bool> rc;
    if (!to_text(bound[0], "name", &name) || !to_size(bound[1], "start", &start) || !to_size(bound[2], "end", &end) ||
        !to_optional_bool(bound[3], "rc", &rc)) {
      return nullptr;
    }
    const Faidx& faidx = *as_fasta(self)->faidx;
    if (!rc.value_or(false)) return fetch_region(faidx, bound[0], name, start, end).release();
    auto fetched = faidx.fetch(name, start, end);
    if (!fetched) return set_fetch_failure(fetched.error());
    return wrap_sequence(reverse_complement(*fetched)).release();
  });
}

using Interval = std::pair<std::size_t, std::size_t>;

// A sequence (not a str) of 2-tuples of non-negative ints.
bool to_intervals(PyObject* obj, std::vector<Interval>* out) {
  constexpr const char* kArg = "intervals";
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    argument_type_error(kArg, obj, "cannot be converted to a sequence of intervals");
    return false;
  }
  PyRef items = PyRef::steal(PySequence_Fast(obj, "argument 'intervals': not a sequence"));
  if (!items) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  out->reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PySequence_Fast_GET_ITEM(items.get(), i);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
      argument_type_error(kArg, pair, "is not a tuple of two ints");
      return false;
    }
    Interval interval;
    if (!to_size(PyTuple_GET_ITEM(pair, 0), kArg, &interval.first) ||
        !to_size(PyTuple_GET_ITEM(pair, 1), kArg, &interval.second)) {
      return false;
    }
    out->push_back(interval);
  }
  return true;
}

PyObject* Fasta_get_spliced_seq(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kNames[] = {"name", "intervals", "rc"};
    PyObject* bound[3];
    if (!bind_fastcall({"get_spliced_seq", kNames, 2}, args, nargs, kwnames, bound)) return nullptr;
    std::string_view name;
    std::vector<Interval> intervals;
    std::optional<bool> rc;
    if (!to_text(bound[0], "name", &name) || !to_intervals(bound[1], &intervals) ||
        !to_optional_bool(bound[2], "rc", &rc)) {
      return nullptr;
    }
    const Faidx& faidx = *as_fasta(self)->faidx;
    std::string joined;
    std::optional<std::size_t> start, end;
    for (std::size_t i = 0; i < intervals.size(); ++i) {
      auto piece = faidx.fetch(name, intervals[i].first, intervals[i].second);
      if (!piece) return set_fetch_failure(piece.error());
      joined += piece->seq;
      if (i == 0) start = piece->start;
      end = piece->end;
    }
    // Reverse-complementing the pieces last to first is the same as doing it
    // to the joined text. The coordinates keep their fetched order either way.
    if (rc.value_or(false)) {
      std::string flipped(joined.size(), '\0');
      reverse_complement_into(joined, flipped.data());
      joined = std::move(flipped);
    }
    PyRef name_str = PyRef::steal(PyUnicode_FromObject(bound[0]));
    PyRef seq = text_to_str(joined);
    if (!name_str || !seq) return nullptr;
    return new_sequence(std::move(name_str), std::move(seq), start, end, false).release();
  });
}

// ---------------------------------------------------------------- types

PyGetSetDef fasta_getset[] = {
    {"filename", Fasta_get_filename, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyMethodDef kFastaOwnMethods[] = {
    {"keys", Fasta_keys, METH_NOARGS, "keys($self)\n--\n\n"},
    {"values", Fasta_values, METH_NOARGS, "values($self)\n--\n\n"},
    {"items", Fasta_items, METH_NOARGS, "items($self)\n--\n\n"},
    {"get_seq", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Fasta_get_seq)),
     METH_FASTCALL | METH_KEYWORDS, "get_seq($self, name, start, end, rc=None)\n--\n\n"},
    {"get_spliced_seq", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Fasta_get_spliced_seq)),
     METH_FASTCALL | METH_KEYWORDS, "get_spliced_seq($self, name, intervals, rc=None)\n--\n\n"},
    {"close", Fasta_close, METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", Fasta_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Fasta_exit)), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type=None, _exc_value=None, _traceback=None)\n--\n\n"},
    {"__reduce__", Fasta_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickle support: the class and the arguments that open the file again."},
};

// The table lives as long as the class, which is never freed.
PyMethodDef* fasta_methods() {
  auto* table = new std::vector<PyMethodDef>(std::begin(kFastaOwnMethods), std::end(kFastaOwnMethods));
  for (const PyMethodDef* m = fasta_batch_methods(); m->ml_name != nullptr; ++m) table->push_back(*m);
  table->push_back({nullptr, nullptr, 0, nullptr});
  return table->data();
}

PyType_Slot iterator_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(FastaIterator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(FastaIterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(FastaIterator_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(FastaIterator_next)},
    {0, nullptr},
};

PyType_Spec iterator_spec = {
    "gelvo.FastaIterator",
    sizeof(FastaIteratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    iterator_slots,
};

}  // namespace

PyTypeObject* fasta_type() noexcept { return the_fasta_type; }

const Faidx& fasta_faidx(PyObject* fasta) noexcept { return *as_fasta(fasta)->faidx; }

PyObject* create_fasta_type() {
  return guarded([]() -> PyObject* {
    static PyType_Slot slots[] = {
        {Py_tp_doc,
         const_cast<char*>("Fasta(filename, indexname=None, default_seq=None, key_function=None, as_raw=False, "
                           "strict_bounds=False, read_ahead=None, mutable=False, split_char=None, "
                           "filt_function=None, one_based_attributes=True, read_long_names=False, "
                           "duplicate_action=..., sequence_always_upper=False, rebuild=True, build_index=True)"
                           "\n--\n\n")},
        {Py_tp_new, reinterpret_cast<void*>(Fasta_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(Fasta_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(Fasta_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(Fasta_clear)},
        {Py_tp_repr, reinterpret_cast<void*>(Fasta_repr)},
        {Py_tp_iter, reinterpret_cast<void*>(Fasta_iter)},
        {Py_tp_getset, fasta_getset},
        {Py_tp_methods, fasta_methods()},
        {Py_mp_subscript, reinterpret_cast<void*>(Fasta_subscript)},
        {Py_mp_length, reinterpret_cast<void*>(Fasta_length)},
        {Py_sq_item, reinterpret_cast<void*>(Fasta_item)},
        {Py_sq_contains, reinterpret_cast<void*>(Fasta_contains)},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "gelvo.Fasta", sizeof(FastaObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
        slots,
    };
    return create_type_once(the_fasta_type, spec);
  });
}

PyObject* create_fasta_iterator_type() { return create_type_once(the_iterator_type, iterator_spec); }

}  // namespace gelvo::py
