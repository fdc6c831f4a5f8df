// FastaIterator and SequenceIterator: one shape, an object that holds its
// Fasta and a cursor, and makes the next item from both.
#include <Python.h>

#include <cstddef>
#include <string_view>

#include "binding/failure.h"
#include "binding/text.h"
#include "binding/types.h"
#include "faidx/py/faidx_py.h"
#include "faidx/py/open_file_py.h"
#include "lib/facade_py.h"
#include "sequence/coordinates.h"

namespace gelvo::py {
namespace {

template <class Cursor>
struct IteratorObject {
  PyObject_HEAD
  PyObject* fasta;  // owned
  Cursor cursor;
};

template <class Cursor>
IteratorObject<Cursor>* as_iterator(PyObject* self) noexcept {
  return reinterpret_cast<IteratorObject<Cursor>*>(self);
}

template <class Cursor>
PyObject* Iterator_next(PyObject* self) {
  return guarded([&]() -> PyObject* {
    IteratorObject<Cursor>* it = as_iterator<Cursor>(self);
    return it->cursor.next(it->fasta).release();
  });
}

template <class Cursor>
int Iterator_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_iterator<Cursor>(self)->fasta);
  return as_iterator<Cursor>(self)->cursor.traverse(visit, arg);
}

template <class Cursor>
int Iterator_clear(PyObject* self) {
  Py_CLEAR(as_iterator<Cursor>(self)->fasta);
  return 0;
}

template <class Cursor>
void Iterator_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Iterator_clear<Cursor>(self);
  as_iterator<Cursor>(self)->cursor.release();
  free_object(self);
}

template <class Cursor>
PyType_Slot iterator_slots[] = {
    {Py_tp_new, slot(no_constructor_new)},
    {Py_tp_dealloc, slot(Iterator_dealloc<Cursor>)},
    {Py_tp_traverse, slot(Iterator_traverse<Cursor>)},
    {Py_tp_clear, slot(Iterator_clear<Cursor>)},
    {Py_tp_iter, slot(PyObject_SelfIter)},
    {Py_tp_iternext, slot(Iterator_next<Cursor>)},
    {0, nullptr},
};

template <class Cursor>
PyType_Spec iterator_spec = {
    .name = Cursor::kClassName,
    .basicsize = sizeof(IteratorObject<Cursor>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    .slots = iterator_slots<Cursor>,
};

// A new iterator of fasta (borrowed) that takes over cursor.
template <class Cursor>
PyRef new_iterator(TypeHandle& type, PyObject* fasta, Cursor cursor) {
  PyObject* it = type.alloc();
  if (it == nullptr) {
    cursor.release();
    return {};
  }
  as_iterator<Cursor>(it)->fasta = Py_NewRef(fasta);
  as_iterator<Cursor>(it)->cursor = cursor;
  return PyRef::steal(it);
}

// The records of a Fasta, over the names as they were when iteration began.
struct NameCursor {
  static constexpr const char* kClassName = "gelvo.FastaIterator";
  PyObject* names;  // owned list of exact str
  Py_ssize_t next_index;

  PyRef next(PyObject* fasta) {
    if (next_index >= PyList_GET_SIZE(names)) return {};
    PyRef record = new_fasta_record(fasta, PyRef::borrow(PyList_GET_ITEM(names, next_index)));
    if (record) ++next_index;
    return record;
  }
  int traverse(visitproc visit, void* arg) {
    Py_VISIT(names);
    return 0;
  }
  void release() { Py_CLEAR(names); }
};

// The chunks of a record: its lines, as the region fetch gives them.
struct ChunkCursor {
  static constexpr const char* kClassName = "gelvo.SequenceIterator";
  PyObject* name;  // owned exact str
  std::size_t chunk;
  std::size_t length;
  std::size_t position;  // first base of the next chunk, 1-based
  bool done;             // position cannot pass a length of SIZE_MAX

  PyRef next(PyObject* fasta) {
    if (done) return {};
    std::string_view text;
    if (!str_bytes(name, &text)) return {};
    const std::size_t last = chunk_last(position, chunk, length);
    PyRef value = fetch_region(engine_of(fasta), name, text, position, last);
    if (!value) return {};
    if (last == length) {
      done = true;
    } else {
      position = last + 1;
    }
    return value;
  }
  int traverse(visitproc, void*) { return 0; }
  void release() { Py_CLEAR(name); }
};

TypeHandle the_fasta_iterator_class{&iterator_spec<NameCursor>};
TypeHandle the_sequence_iterator_class{&iterator_spec<ChunkCursor>};

}  // namespace

TypeHandle& fasta_iterator_class() noexcept { return the_fasta_iterator_class; }

TypeHandle& sequence_iterator_class() noexcept { return the_sequence_iterator_class; }

PyRef new_fasta_iterator(PyObject* fasta, PyRef names) {
  return new_iterator(the_fasta_iterator_class, fasta, NameCursor{names.release(), 0});
}

PyRef new_sequence_iterator(PyObject* fasta, PyObject* name, std::size_t chunk, std::size_t length) {
  return new_iterator(the_sequence_iterator_class, fasta, ChunkCursor{Py_NewRef(name), chunk, length, 1, length == 0});
}

}  // namespace gelvo::py
