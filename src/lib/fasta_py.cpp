// The Python class Fasta: construction, the mapping surface and the region
// methods.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/args.h"
#include "binding/failure.h"
#include "binding/text.h"
#include "binding/types.h"
#include "errors/py/raise.h"
#include "faidx/py/batch_py.h"
#include "faidx/py/faidx_py.h"
#include "faidx/py/open_file_py.h"
#include "faidx/py/windows_py.h"
#include "lib/facade_py.h"
#include "sequence/py/sequence_py.h"

namespace gelvo::py {
namespace {

PyObject* Fasta_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return open_file_new(type, args, kwargs, Signature::Fasta); });
}

PyObject* Fasta_repr(PyObject* self) {
  return guarded([&] { return open_file_repr(self); });
}

PyObject* Fasta_close(PyObject*, PyObject*) {
  return guarded([] { return Py_NewRef(Py_None); });
}

PyObject* Fasta_enter(PyObject* self, PyObject*) {
  return guarded([&] { return Py_NewRef(self); });
}

PyObject* Fasta_exit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kNames[] = {"_exc_type", "_exc_value", "_traceback"};
    PyObject* bound[3];
    if (!bind_fastcall({"__exit__", kNames, 0}, args, nargs, kwnames, bound)) return nullptr;
    // None, so that an exception raised in the with-block propagates.
    return Py_NewRef(Py_None);
  });
}

PyObject* Fasta_reduce(PyObject* self, PyObject*) {
  return guarded([&] { return open_file_reduce(self, Signature::Fasta); });
}

// ---------------------------------------------------------------- mapping

Raised raise_key_error(PyObject* self, PyObject* key) {
  PyRef message = PyRef::steal(PyUnicode_FromFormat("%U not in %U.", key, open_file(self).filename));
  if (message) PyErr_SetObject(PyExc_KeyError, message.get());
  return {};
}

PyObject* record_by_name(PyObject* self, PyObject* key, std::string_view name) {
  if (engine_of(self).index().find(name) == nullptr) return raise_key_error(self, key);
  PyRef name_str = PyRef::steal(PyUnicode_FromObject(key));
  if (!name_str) return nullptr;
  return new_fasta_record(self, std::move(name_str)).release();
}

PyObject* record_at(PyObject* self, std::size_t position) {
  const NameIndex& index = engine_of(self).index();
  if (position >= index.size()) return raise_text(PyExc_IndexError, "Index out of range");
  PyRef name = open_file_name(self, position);
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
    return raise_text(PyExc_TypeError, "Key must be string or integer");
  });
}

PyObject* Fasta_item(PyObject* self, Py_ssize_t i) {
  return guarded([&]() -> PyObject* {
    PyRef key = PyRef::steal(PyLong_FromSsize_t(i));
    return key ? Fasta_subscript(self, key.get()) : nullptr;
  });
}

Py_ssize_t Fasta_length(PyObject* self) {
  return guarded([&]() -> Py_ssize_t {
    std::size_t total = 0;
    const NameIndex& index = engine_of(self).index();
    for (std::size_t i = 0; i < index.size(); ++i) {
      if (__builtin_add_overflow(total, index.entry(i).rlen, &total)) total = static_cast<std::size_t>(-1);
    }
    if (total > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetNone(PyExc_OverflowError);
      return -1;
    }
    return static_cast<Py_ssize_t>(total);
  });
}

int Fasta_contains(PyObject* self, PyObject* key) {
  return guarded([&] { return open_file_contains(self, key); });
}

// One list element per name, made from the name's str.
template <class MakeItem>
PyObject* list_of_records(PyObject* self, MakeItem make_item) {
  PyRef names = PyRef::steal(open_file_keys(self));
  if (!names) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
    PyObject* name = PyList_GET_ITEM(names.get(), i);
    PyRef item = make_item(PyRef::borrow(name));
    if (!item) return nullptr;
    PyList_SetItem(names.get(), i, item.release());
  }
  return names.release();
}

PyObject* Fasta_keys(PyObject* self, PyObject*) {
  return guarded([&] { return open_file_keys(self); });
}

PyObject* Fasta_values(PyObject* self, PyObject*) {
  return guarded(
      [&] { return list_of_records(self, [self](PyRef name) { return new_fasta_record(self, std::move(name)); }); });
}

PyObject* Fasta_items(PyObject* self, PyObject*) {
  return guarded([&] {
    return list_of_records(self, [self](PyRef name) {
      PyRef record = new_fasta_record(self, PyRef::borrow(name.get()));
      if (!record) return PyRef();
      return PyRef::steal(PyTuple_Pack(2, name.get(), record.get()));
    });
  });
}

PyObject* Fasta_iter(PyObject* self) {
  return guarded([&]() -> PyObject* {
    PyRef names = PyRef::steal(open_file_keys(self));
    if (!names) return nullptr;
    return new_fasta_iterator(self, std::move(names)).release();
  });
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
    const Faidx& faidx = engine_of(self);
    if (!rc.value_or(false)) return fetch_region(faidx, bound[0], name, start, end).release();
    auto fetched = faidx.fetch(name, start, end);
    if (!fetched) return raise_error(fetched.error());
    return wrap_sequence(reverse_complement(*fetched)).release();
  });
}

using Interval = std::pair<std::size_t, std::size_t>;

// A sequence (not a str) of 2-tuples of non-negative ints.
bool to_intervals(PyObject* obj, std::vector<Interval>* out) {
  constexpr const char* kArg = "intervals";
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    return argument_type_error(kArg, obj, "cannot be converted to a sequence of intervals");
  }
  // A tuple of the items as they are now: converting them runs Python code
  // (__index__), which may change the caller's list under us.
  PyRef items = PyRef::steal(PySequence_Tuple(obj));
  if (!items) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  out->reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyTuple_GET_ITEM(items.get(), i);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
      return argument_type_error(kArg, pair, "is not a tuple of two ints");
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
    auto spliced = engine_of(self).fetch_spliced(name, intervals, rc.value_or(false));
    if (!spliced) return raise_error(spliced.error());
    PyRef name_str = PyRef::steal(PyUnicode_FromObject(bound[0]));
    if (!name_str) return nullptr;
    return new_sequence(std::move(name_str), text_to_str(spliced->seq), spliced->start, spliced->end, false).release();
  });
}

PyObject* Fasta_fetch_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return fetch_many_call(engine_of(self), args, nargs, kwnames, BatchCall::Fasta); });
}

PyObject* Fasta_fetch_many_same_chr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return fetch_many_same_chr_call(engine_of(self), args, nargs, kwnames, BatchCall::Fasta); });
}

PyObject* Fasta_fetch_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return fetch_array_call(engine_of(self), args, nargs, kwnames); });
}

PyObject* Fasta_fetch_array_same_chr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return fetch_array_same_chr_call(engine_of(self), args, nargs, kwnames); });
}

// ---------------------------------------------------------------- the class

PyMemberDef Fasta_members[] = {
    {"filename", Py_T_OBJECT_EX, offsetof(OpenFileObject, file.filename), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef Fasta_methods[] = {
    {"keys", Fasta_keys, METH_NOARGS, "keys($self)\n--\n\n"},
    {"values", Fasta_values, METH_NOARGS, "values($self)\n--\n\n"},
    {"items", Fasta_items, METH_NOARGS, "items($self)\n--\n\n"},
    {"get_seq", method(Fasta_get_seq), METH_FASTCALL | METH_KEYWORDS,
     "get_seq($self, name, start, end, rc=None)\n--\n\n"},
    {"get_spliced_seq", method(Fasta_get_spliced_seq), METH_FASTCALL | METH_KEYWORDS,
     "get_spliced_seq($self, name, intervals, rc=None)\n--\n\n"},
    {"fetch_many", method(Fasta_fetch_many), METH_FASTCALL | METH_KEYWORDS, fetch_many_doc(BatchCall::Fasta)},
    {"fetch_many_same_chr", method(Fasta_fetch_many_same_chr), METH_FASTCALL | METH_KEYWORDS,
     fetch_many_same_chr_doc(BatchCall::Fasta)},
    {"fetch_array", method(Fasta_fetch_array), METH_FASTCALL | METH_KEYWORDS, kFetchArrayDoc},
    {"fetch_array_same_chr", method(Fasta_fetch_array_same_chr), METH_FASTCALL | METH_KEYWORDS, kFetchArraySameChrDoc},
    {"close", Fasta_close, METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", Fasta_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", method(Fasta_exit), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type=None, _exc_value=None, _traceback=None)\n--\n\n"},
    {"__reduce__", Fasta_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickle support: the class and the arguments that open the file again."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot Fasta_slots[] = {
    {Py_tp_doc, const_cast<char*>(signature_doc(Signature::Fasta))},
    {Py_tp_new, slot(Fasta_new)},
    {Py_tp_dealloc, slot(OpenFile_dealloc)},
    {Py_tp_traverse, slot(OpenFile_traverse)},
    {Py_tp_clear, slot(OpenFile_clear)},
    {Py_tp_repr, slot(Fasta_repr)},
    {Py_tp_iter, slot(Fasta_iter)},
    {Py_tp_members, Fasta_members},
    {Py_tp_methods, Fasta_methods},
    {Py_mp_subscript, slot(Fasta_subscript)},
    {Py_mp_length, slot(Fasta_length)},
    {Py_sq_item, slot(Fasta_item)},
    {Py_sq_contains, slot(Fasta_contains)},
    {0, nullptr},
};

PyType_Spec Fasta_spec = {
    .name = "gelvo.Fasta",
    .basicsize = sizeof(OpenFileObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    .slots = Fasta_slots,
};

TypeHandle the_class{&Fasta_spec};

}  // namespace

TypeHandle& fasta_class() noexcept { return the_class; }

}  // namespace gelvo::py
