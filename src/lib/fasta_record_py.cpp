// The Python classes FastaRecord, SequenceIterator and MutableFastaRecord.
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "errors/error_py.h"
#include "faidx/faidx_py.h"
#include "lib/args.h"
#include "lib/facade_py.h"
#include "lib/fasta_py.h"
#include "lib/text.h"
#include "sequence/sequence.h"
#include "sequence/sequence_py.h"

namespace gelvo::py {
namespace {

PyTypeObject* the_record_type = nullptr;
PyTypeObject* the_sequence_iterator_type = nullptr;
PyTypeObject* the_mutable_record_type = nullptr;

struct FastaRecordObject {
  PyObject_HEAD
  PyObject* name;   // exact str, owned; a key of the index of fasta
  PyObject* fasta;  // owned
};

FastaRecordObject* as_record(PyObject* self) noexcept { return reinterpret_cast<FastaRecordObject*>(self); }

// What an operation on a record needs. The entry is looked up at each use:
// a record holds no geometry of its own.
struct Record {
  const Faidx* faidx = nullptr;
  PyObject* name_obj = nullptr;  // borrowed from the record
  std::string_view name;
  const IndexEntry* entry = nullptr;

  std::size_t length() const noexcept { return entry->rlen; }
};

bool resolve(PyObject* self, Record* out) {
  const FastaRecordObject* record = as_record(self);
  out->faidx = &fasta_faidx(record->fasta);
  out->name_obj = record->name;
  if (!str_bytes(record->name, &out->name)) return false;
  auto found = out->faidx->find_entry(out->name);
  if (!found) return set_error(found.error()), false;
  out->entry = *found;
  return true;
}

PyRef fetch(const Record& r, std::size_t start, std::size_t end) {
  return fetch_region(*r.faidx, r.name_obj, r.name, start, end);
}

// A record whose first sequence line is blank has lenc 0; chunks of that
// size would never advance, so such a record is walked as one chunk.
std::size_t chunk_size(const IndexEntry& entry) noexcept { return entry.lenc != 0 ? entry.lenc : entry.rlen; }

// Last base of the chunk that begins at position (1 <= position <= length).
std::size_t chunk_last(std::size_t position, std::size_t chunk, std::size_t length) noexcept {
  return chunk > length - position ? length : position + chunk - 1;
}

// ---------------------------------------------------------------- subscript

PyObject* record_index(const Record& r, PyObject* key) {
  const Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_OverflowError);
  if (i == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "Invalid index type");
    return nullptr;
  }
  // Positions before the first base have no unsigned form; they are asked
  // for as position 0, which the fetch refuses like any other position
  // outside the record.
  std::size_t position = 0;
  if (i >= 0) {
    position = static_cast<std::size_t>(i) + 1;
  } else {
    const std::size_t back = static_cast<std::size_t>(-(i + 1)) + 1;
    position = back > r.length() ? 0 : r.length() - back + 1;
  }
  return fetch(r, position, position).release();
}

// A slice part that converts to a signed size (None does not).
bool slice_part(PyObject* part, Py_ssize_t* out) {
  if (part == Py_None || !PyIndex_Check(part)) return false;
  *out = PyNumber_AsSsize_t(part, PyExc_OverflowError);
  if (*out == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return true;
}

// Whether the slice names the whole record in one of the two forms that go
// through the whole-sequence fetch.
bool names_whole_record(PyObject* key, std::size_t length) {
  const auto* slice = reinterpret_cast<PySliceObject*>(key);
  Py_ssize_t start = 0, stop = 0, step = 0;
  if (slice->start == Py_None && slice->stop == Py_None) {
    return !slice_part(slice->step, &step) || step == 1;
  }
  return slice_part(slice->start, &start) && slice_part(slice->stop, &stop) && slice_part(slice->step, &step) &&
         start == 0 && step == 1 && stop >= 0 && static_cast<std::size_t>(stop) == length;
}

// What Sequence slicing selects from a value of n bases for a resolved slice
// (n > 0), and the span [lo, hi) it reports. A negative-step slice whose
// resolved start lies outside the value starts from the last base.
struct Selection {
  Py_ssize_t first = 0;
  Py_ssize_t count = 0;
  Py_ssize_t lo = 0;
  Py_ssize_t hi = 0;
};

Selection select(Py_ssize_t n, Py_ssize_t begin, Py_ssize_t stop, Py_ssize_t step) {
  if (step > 0) {
    const Py_ssize_t a = std::max<Py_ssize_t>(begin, 0);
    const Py_ssize_t b = (stop < 0 || stop > n) ? n : stop;
    const Py_ssize_t count = (a < b && a < n) ? (b - 1 - a) / step + 1 : 0;
    return {a, count, a, b};
  }
  const Py_ssize_t c = (begin < 0 || begin > n - 1) ? n - 1 : begin;
  if (stop >= c) return {c, 0, stop > c ? c : stop + 1, stop > c ? c : c + 1};
  return {c, (c - stop - 1) / -step + 1, stop + 1, c + 1};
}

// The reference result: the region fetch of the whole record, sliced.
PyObject* slice_whole_fetch(const Record& r, PyObject* key) {
  PyRef whole = fetch(r, 1, r.length());
  return whole ? PyObject_GetItem(whole.get(), key) : nullptr;
}

// A slice with a step other than 1 gives what slicing the region fetch of
// the whole record would give, but reads only the bases between the first
// and the last one selected.
PyObject* stepped_slice(const Record& r, PyObject* key, Py_ssize_t begin, Py_ssize_t stop, Py_ssize_t step) {
  const auto n = static_cast<Py_ssize_t>(r.length());
  // An empty record meets the fetch's out-of-bounds rule, as the whole
  // fetch would.
  if (n == 0) return slice_whole_fetch(r, key);
  const Selection sel = select(n, begin, stop, step);

  // The whole fetch starts at base 1, reported as the options say.
  const FaidxOptions& options = r.faidx->options();
  std::optional<std::size_t> start, end;
  if (!options.as_raw) {
    const std::size_t base = options.one_based_attributes ? 1 : 0;
    start = base + static_cast<std::size_t>(sel.lo);
    // An empty span at 0 has no end below it; Sequence slicing leaves it out.
    if (base + static_cast<std::size_t>(sel.hi) > 0) end = base + static_cast<std::size_t>(sel.hi) - 1;
  }
  if (sel.count == 0) {
    PyRef empty = new_ascii_str(0);
    if (!empty) return nullptr;
    return new_sequence(PyRef::borrow(r.name_obj), std::move(empty), start, end, false).release();
  }

  const Py_ssize_t last = sel.first + (sel.count - 1) * step;
  const Py_ssize_t low = std::min(sel.first, last);
  const Py_ssize_t span = std::max(sel.first, last) - low + 1;
  auto covering = r.faidx->fetch(r.name, static_cast<std::size_t>(low) + 1, static_cast<std::size_t>(low + span));
  if (!covering) return set_fetch_failure(covering.error());
  const std::string& text = covering->seq;
  // A file shorter than its index, a multi-letter filler or non-ASCII bytes
  // break the one-byte-per-base correspondence; slice the whole record then.
  if (text.size() != static_cast<std::size_t>(span) || !is_ascii(text)) return slice_whole_fetch(r, key);

  PyRef seq = new_ascii_str(static_cast<std::size_t>(sel.count));
  if (!seq) return nullptr;
  char* out = ascii_data(seq.get());
  const char* from = text.data() + (sel.first - low);
  for (Py_ssize_t i = 0; i < sel.count; ++i) out[i] = from[i * step];
  return new_sequence(PyRef::borrow(r.name_obj), std::move(seq), start, end, false).release();
}

PyObject* record_slice(const Record& r, PyObject* key) {
  if (names_whole_record(key, r.length())) return fetch_entire(*r.faidx, r.name_obj, r.name).release();
  if (r.length() > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetNone(PyExc_OverflowError);
    return nullptr;
  }
  Py_ssize_t begin = 0, stop = 0, step = 0;
  if (PySlice_Unpack(key, &begin, &stop, &step) < 0) return nullptr;
  PySlice_AdjustIndices(static_cast<Py_ssize_t>(r.length()), &begin, &stop, step);
  if (step == 1) return fetch(r, static_cast<std::size_t>(begin) + 1, static_cast<std::size_t>(stop)).release();
  return stepped_slice(r, key, begin, stop, step);
}

PyObject* FastaRecord_subscript(PyObject* self, PyObject* key) {
  return guarded([&]() -> PyObject* {
    Record r;
    if (!resolve(self, &r)) return nullptr;
    return PySlice_Check(key) ? record_slice(r, key) : record_index(r, key);
  });
}

PyObject* FastaRecord_item(PyObject* self, Py_ssize_t i) {
  PyRef key = PyRef::steal(PyLong_FromSsize_t(i));
  return key ? FastaRecord_subscript(self, key.get()) : nullptr;
}

// ---------------------------------------------------------------- the rest

Py_ssize_t FastaRecord_length(PyObject* self) {
  return guarded([&]() -> Py_ssize_t {
    Record r;
    if (!resolve(self, &r)) return -1;
    if (r.length() > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetNone(PyExc_OverflowError);
      return -1;
    }
    return static_cast<Py_ssize_t>(r.length());
  });
}

PyObject* FastaRecord_str(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Record r;
    if (!resolve(self, &r)) return nullptr;
    PyRef seq = fetch(r, 1, r.length());
    return seq ? Py_XNewRef(sequence_str(seq.get())) : nullptr;
  });
}

PyObject* FastaRecord_repr(PyObject* self) {
  return guarded([&] { return PyUnicode_FromFormat("FastaRecord(\"%U\")", as_record(self)->name); });
}

PyObject* FastaRecord_get_name(PyObject* self, void*) { return Py_NewRef(as_record(self)->name); }

PyObject* FastaRecord_get_unpadded_len(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Record r;
    if (!resolve(self, &r)) return nullptr;
    auto fetched = r.faidx->fetch(r.name, 1, r.length());
    if (!fetched) return set_fetch_failure(fetched.error());
    const std::string_view seq = fetched->seq;
    auto is_n = [](char c) { return c == 'N' || c == 'n'; };
    const auto lead = static_cast<std::size_t>(std::find_if_not(seq.begin(), seq.end(), is_n) - seq.begin());
    if (lead == seq.size()) return PyLong_FromLong(0);
    const auto trail = static_cast<std::size_t>(std::find_if_not(seq.rbegin(), seq.rend(), is_n) - seq.rbegin());
    return PyLong_FromSize_t(seq.size() - lead - trail);
  });
}

// Eager by design: the chunks are fetched front to back and stored back to
// front, each reversed.
PyObject* FastaRecord_reversed(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Record r;
    if (!resolve(self, &r)) return nullptr;
    const std::size_t length = r.length();
    if (length == 0) return PyList_New(0);
    const std::size_t chunk = chunk_size(*r.entry);
    const std::size_t chunks = (length - 1) / chunk + 1;
    if (chunks > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(chunks)));
    if (!list) return nullptr;
    std::size_t position = 1;
    for (std::size_t k = 0; k < chunks; ++k) {
      const std::size_t last = chunk_last(position, chunk, length);
      auto fetched = r.faidx->fetch(r.name, position, last);
      if (!fetched) return set_fetch_failure(fetched.error());
      PyRef item = wrap_sequence(reverse(*fetched));
      if (!item) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(chunks - 1 - k), item.release());
      position = last + 1;
    }
    return list.release();
  });
}

// A record has no constructor, so it is rebuilt as fasta[name]; its Fasta
// pickles itself, once per pickle however many records share it.
PyObject* FastaRecord_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    PyRef operator_module = PyRef::steal(PyImport_ImportModule("operator"));
    if (!operator_module) return nullptr;
    PyRef getitem = PyRef::steal(PyObject_GetAttrString(operator_module.get(), "getitem"));
    if (!getitem) return nullptr;
    const FastaRecordObject* record = as_record(self);
    return Py_BuildValue("(O(OO))", getitem.get(), record->fasta, record->name);
  });
}

int FastaRecord_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_record(self)->fasta);
  return 0;
}

int FastaRecord_clear(PyObject* self) {
  Py_CLEAR(as_record(self)->fasta);
  return 0;
}

void FastaRecord_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  FastaRecord_clear(self);
  Py_CLEAR(as_record(self)->name);
  type->tp_free(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------- SequenceIterator

struct SequenceIteratorObject {
  PyObject_HEAD
  PyObject* name;   // exact str, owned
  PyObject* fasta;  // owned
  std::size_t chunk_size;
  std::size_t length;
  std::size_t position;  // first base of the next chunk, 1-based
  bool done;             // position cannot pass a length of SIZE_MAX
};

SequenceIteratorObject* as_sequence_iterator(PyObject* self) noexcept {
  return reinterpret_cast<SequenceIteratorObject*>(self);
}

PyObject* FastaRecord_iter(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Record r;
    if (!resolve(self, &r)) return nullptr;
    PyRef type = PyRef::steal(create_sequence_iterator_type());
    if (!type) return nullptr;
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    PyObject* it = type_object->tp_alloc(type_object, 0);
    if (it == nullptr) return nullptr;
    SequenceIteratorObject* iter = as_sequence_iterator(it);
    iter->name = Py_NewRef(r.name_obj);
    iter->fasta = Py_NewRef(as_record(self)->fasta);
    iter->chunk_size = chunk_size(*r.entry);
    iter->length = r.length();
    iter->position = 1;
    iter->done = r.length() == 0;
    return it;
  });
}

PyObject* SequenceIterator_next(PyObject* self) {
  return guarded([&]() -> PyObject* {
    SequenceIteratorObject* it = as_sequence_iterator(self);
    if (it->done) return nullptr;
    std::string_view name;
    if (!str_bytes(it->name, &name)) return nullptr;
    const std::size_t last = chunk_last(it->position, it->chunk_size, it->length);
    PyRef chunk = fetch_region(fasta_faidx(it->fasta), it->name, name, it->position, last);
    if (!chunk) return nullptr;
    if (last == it->length) {
      it->done = true;
    } else {
      it->position = last + 1;
    }
    return chunk.release();
  });
}

int SequenceIterator_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_sequence_iterator(self)->fasta);
  return 0;
}

int SequenceIterator_clear(PyObject* self) {
  Py_CLEAR(as_sequence_iterator(self)->fasta);
  return 0;
}

void SequenceIterator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  SequenceIterator_clear(self);
  Py_CLEAR(as_sequence_iterator(self)->name);
  type->tp_free(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------- MutableFastaRecord

int MutableFastaRecord_ass_subscript(PyObject* self, PyObject*, PyObject* value) {
  return guarded([&]() -> int {
    if (value == nullptr) {
      PyErr_SetString(PyExc_NotImplementedError, "can't delete item");
      return -1;
    }
    if (the_mutable_record_type == nullptr || !PyObject_TypeCheck(self, the_mutable_record_type)) {
      PyErr_Format(PyExc_TypeError, "'__setitem__' requires a 'MutableFastaRecord' object but received a '%s'",
                   Py_TYPE(self)->tp_name);
      return -1;
    }
    std::string_view text;
    if (!to_text(value, "_value", &text)) return -1;
    PyErr_SetString(PyExc_NotImplementedError, "Mutable FASTA records not yet implemented");
    return -1;
  });
}

// ---------------------------------------------------------------- types

PyGetSetDef record_getset[] = {
    {"name", FastaRecord_get_name, nullptr, nullptr, nullptr},
    {"long_name", FastaRecord_get_name, nullptr, nullptr, nullptr},
    {"unpadded_len", FastaRecord_get_unpadded_len, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef record_methods[] = {
    {"__reversed__", FastaRecord_reversed, METH_NOARGS, "__reversed__($self)\n--\n\n"},
    {"__reduce__", FastaRecord_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickle support: the record is looked up again in its unpickled Fasta."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot record_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(FastaRecord_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(FastaRecord_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(FastaRecord_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(FastaRecord_repr)},
    {Py_tp_str, reinterpret_cast<void*>(FastaRecord_str)},
    {Py_tp_iter, reinterpret_cast<void*>(FastaRecord_iter)},
    {Py_tp_getset, record_getset},
    {Py_tp_methods, record_methods},
    {Py_mp_subscript, reinterpret_cast<void*>(FastaRecord_subscript)},
    {Py_mp_length, reinterpret_cast<void*>(FastaRecord_length)},
    {Py_sq_item, reinterpret_cast<void*>(FastaRecord_item)},
    {0, nullptr},
};

PyType_Spec record_spec = {
    "gelvo.FastaRecord",
    sizeof(FastaRecordObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    record_slots,
};

PyType_Slot sequence_iterator_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(SequenceIterator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(SequenceIterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(SequenceIterator_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(SequenceIterator_next)},
    {0, nullptr},
};

PyType_Spec sequence_iterator_spec = {
    "gelvo.SequenceIterator",
    sizeof(SequenceIteratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    sequence_iterator_slots,
};

PyType_Slot mutable_record_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(MutableFastaRecord_ass_subscript)},
    {0, nullptr},
};

PyType_Spec mutable_record_spec = {
    "gelvo.MutableFastaRecord", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    mutable_record_slots,
};

}  // namespace

PyRef new_fasta_record(PyObject* fasta, PyRef name) {
  PyRef type = PyRef::steal(create_fasta_record_type());
  if (!type) return {};
  auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
  PyObject* record = type_object->tp_alloc(type_object, 0);
  if (record == nullptr) return {};
  as_record(record)->name = name.release();
  as_record(record)->fasta = Py_NewRef(fasta);
  return PyRef::steal(record);
}

PyObject* create_fasta_record_type() { return create_type_once(the_record_type, record_spec); }

PyObject* create_sequence_iterator_type() {
  return create_type_once(the_sequence_iterator_type, sequence_iterator_spec);
}

PyObject* create_mutable_fasta_record_type() { return create_type_once(the_mutable_record_type, mutable_record_spec); }

}  // namespace gelvo::py
