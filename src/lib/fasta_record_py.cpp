// The Python classes FastaRecord and MutableFastaRecord.
#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "binding/args.h"
#include "binding/failure.h"
#include "binding/text.h"
#include "binding/types.h"
#include "errors/py/raise.h"
#include "faidx/py/faidx_py.h"
#include "faidx/py/open_file_py.h"
#include "lib/facade_py.h"
#include "sequence/coordinates.h"
#include "sequence/py/sequence_py.h"

namespace gelvo::py {
namespace {

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
  out->faidx = &engine_of(record->fasta);
  out->name_obj = record->name;
  if (!str_bytes(record->name, &out->name)) return false;
  auto found = out->faidx->find_entry(out->name);
  if (!found) return raise_error(found.error());
  out->entry = *found;
  return true;
}

PyRef fetch(const Record& r, std::size_t start, std::size_t end) {
  return fetch_region(*r.faidx, r.name_obj, r.name, start, end);
}

// ---------------------------------------------------------------- subscript

PyObject* record_index(const Record& r, PyObject* key) {
  const Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_OverflowError);
  if (i == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return raise_text(PyExc_TypeError, "Invalid index type");
  }
  const std::size_t position = record_position(i, r.length());
  return fetch(r, position, position).release();
}

// A slice part as the signed size holds it; None, a part that is not an
// integer and one out of range give nothing.
std::optional<std::ptrdiff_t> slice_part(PyObject* part) {
  if (part == Py_None || !PyIndex_Check(part)) return std::nullopt;
  const Py_ssize_t value = PyNumber_AsSsize_t(part, PyExc_OverflowError);
  if (value == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return value;
}

// The parts names_whole_record looks at, converted in its order and no
// further than it looks (a part's __index__ may run Python code).
SliceParts slice_parts(PyObject* key) {
  const auto* slice = reinterpret_cast<PySliceObject*>(key);
  SliceParts parts;
  parts.start_is_none = slice->start == Py_None;
  parts.stop_is_none = slice->stop == Py_None;
  if (parts.start_is_none && parts.stop_is_none) {
    parts.step = slice_part(slice->step);
    return parts;
  }
  if (!(parts.start = slice_part(slice->start))) return parts;
  if (!(parts.stop = slice_part(slice->stop))) return parts;
  parts.step = slice_part(slice->step);
  return parts;
}

// The reference result: the region fetch of the whole record, sliced.
PyObject* slice_whole_fetch(const Record& r, PyObject* key) {
  PyRef whole = fetch(r, 1, r.length());
  return whole ? PyObject_GetItem(whole.get(), key) : nullptr;
}

PyObject* record_slice(const Record& r, PyObject* key) {
  if (names_whole_record(slice_parts(key), r.length())) return fetch_entire(*r.faidx, r.name_obj, r.name).release();
  if (r.length() > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetNone(PyExc_OverflowError);
    return nullptr;
  }
  Py_ssize_t begin = 0, stop = 0, step = 0;
  if (PySlice_Unpack(key, &begin, &stop, &step) < 0) return nullptr;
  PySlice_AdjustIndices(static_cast<Py_ssize_t>(r.length()), &begin, &stop, step);
  if (step == 1) return fetch(r, static_cast<std::size_t>(begin) + 1, static_cast<std::size_t>(stop)).release();
  auto stepped = r.faidx->fetch_stepped(r.name, begin, stop, step);
  if (!stepped) return raise_error(stepped.error());
  if (!*stepped) return slice_whole_fetch(r, key);
  const Sequence& value = **stepped;
  return new_sequence(PyRef::borrow(r.name_obj), text_to_str(value.seq), value.start, value.end, false).release();
}

PyObject* FastaRecord_subscript(PyObject* self, PyObject* key) {
  return guarded([&]() -> PyObject* {
    Record r;
    if (!resolve(self, &r)) return nullptr;
    return PySlice_Check(key) ? record_slice(r, key) : record_index(r, key);
  });
}

PyObject* FastaRecord_item(PyObject* self, Py_ssize_t i) {
  return guarded([&]() -> PyObject* {
    PyRef key = PyRef::steal(PyLong_FromSsize_t(i));
    return key ? FastaRecord_subscript(self, key.get()) : nullptr;
  });
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

PyObject* FastaRecord_get_unpadded_len(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Record r;
    if (!resolve(self, &r)) return nullptr;
    auto length = r.faidx->unpadded_length(r.name);
    if (!length) return raise_error(length.error());
    return PyLong_FromSize_t(*length);
  });
}

// Eager by design: a list of the record's lines, last first, each reversed.
PyObject* FastaRecord_reversed(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Record r;
    if (!resolve(self, &r)) return nullptr;
    auto chunks = r.faidx->reversed_chunks(r.name);
    if (!chunks) return raise_error(chunks.error());
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(chunks->size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < chunks->size(); ++k) {
      PyRef item = wrap_sequence((*chunks)[k]);
      if (!item) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item.release());
    }
    return list.release();
  });
}

PyObject* FastaRecord_iter(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Record r;
    if (!resolve(self, &r)) return nullptr;
    const std::size_t chunk = record_chunk(r.entry->lenc, r.length());
    return new_sequence_iterator(as_record(self)->fasta, r.name_obj, chunk, r.length()).release();
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
  PyObject_GC_UnTrack(self);
  FastaRecord_clear(self);
  Py_CLEAR(as_record(self)->name);
  free_object(self);
}

PyMemberDef FastaRecord_members[] = {
    {"name", Py_T_OBJECT_EX, offsetof(FastaRecordObject, name), Py_READONLY, nullptr},
    {"long_name", Py_T_OBJECT_EX, offsetof(FastaRecordObject, name), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef FastaRecord_getset[] = {
    {"unpadded_len", FastaRecord_get_unpadded_len, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef FastaRecord_methods[] = {
    {"__reversed__", FastaRecord_reversed, METH_NOARGS, "__reversed__($self)\n--\n\n"},
    {"__reduce__", FastaRecord_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickle support: the record is looked up again in its unpickled Fasta."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot FastaRecord_slots[] = {
    {Py_tp_new, slot(no_constructor_new)},
    {Py_tp_dealloc, slot(FastaRecord_dealloc)},
    {Py_tp_traverse, slot(FastaRecord_traverse)},
    {Py_tp_clear, slot(FastaRecord_clear)},
    {Py_tp_repr, slot(FastaRecord_repr)},
    {Py_tp_str, slot(FastaRecord_str)},
    {Py_tp_iter, slot(FastaRecord_iter)},
    {Py_tp_members, FastaRecord_members},
    {Py_tp_getset, FastaRecord_getset},
    {Py_tp_methods, FastaRecord_methods},
    {Py_mp_subscript, slot(FastaRecord_subscript)},
    {Py_mp_length, slot(FastaRecord_length)},
    {Py_sq_item, slot(FastaRecord_item)},
    {0, nullptr},
};

PyType_Spec FastaRecord_spec = {
    .name = "gelvo.FastaRecord",
    .basicsize = sizeof(FastaRecordObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    .slots = FastaRecord_slots,
};

TypeHandle the_record_class{&FastaRecord_spec};

// ---------------------------------------------------------------- MutableFastaRecord

int MutableFastaRecord_ass_subscript(PyObject* self, PyObject*, PyObject* value) {
  return guarded([&]() -> int {
    if (value == nullptr) return raise_text(PyExc_NotImplementedError, "can't delete item");
    if (!PyObject_TypeCheck(self, mutable_fasta_record_class().get())) {
      PyErr_Format(PyExc_TypeError, "'__setitem__' requires a 'MutableFastaRecord' object but received a '%s'",
                   Py_TYPE(self)->tp_name);
      return -1;
    }
    std::string_view text;
    if (!to_text(value, "_value", &text)) return -1;
    return raise_text(PyExc_NotImplementedError, "Mutable FASTA records not yet implemented");
  });
}

PyType_Slot MutableFastaRecord_slots[] = {
    {Py_tp_new, slot(no_constructor_new)},
    {Py_mp_ass_subscript, slot(MutableFastaRecord_ass_subscript)},
    {0, nullptr},
};

PyType_Spec MutableFastaRecord_spec = {
    .name = "gelvo.MutableFastaRecord",
    .basicsize = sizeof(PyObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = MutableFastaRecord_slots,
};

TypeHandle the_mutable_class{&MutableFastaRecord_spec};

}  // namespace

TypeHandle& fasta_record_class() noexcept { return the_record_class; }

TypeHandle& mutable_fasta_record_class() noexcept { return the_mutable_class; }

PyRef new_fasta_record(PyObject* fasta, PyRef name) {
  PyObject* record = the_record_class.alloc();
  if (record == nullptr) return {};
  as_record(record)->name = name.release();
  as_record(record)->fasta = Py_NewRef(fasta);
  return PyRef::steal(record);
}

}  // namespace gelvo::py
