// The Python class Fasta, and what its record and iterator classes share
// with it.
#pragma once

#include <Python.h>

#include <memory>

#include "faidx/faidx.h"
#include "lib/pyref.h"
#include "lib/type_py.h"

namespace gelvo::py {

// The object layout. Records and iterators hold a counted reference to the
// Fasta and read the engine through it, so the engine lives as long as the
// last of them.
struct FastaObject {
  PyObject_HEAD
  std::unique_ptr<gelvo::Faidx> faidx;  // never null once constructed
  PyObject* filename;                   // exact str, as the caller passed it
  PyObject* key_function;               // kept alive, never called; may be null
  PyObject* filt_function;              // likewise
  bool mutable_file;
  PyObject* indexname;  // exact str or null; kept for pickling
  bool rebuild;         // likewise
  bool build_index;
};

// The class (borrowed); null until create_fasta_type() ran.
PyTypeObject* fasta_type() noexcept;

// The engine of a Fasta object (borrowed; valid while the object lives).
const gelvo::Faidx& fasta_faidx(PyObject* fasta) noexcept;

// Fasta methods defined outside fasta_py.cpp, appended to its own method
// table when the class is created. The array ends with a zeroed entry.
const PyMethodDef* fasta_batch_methods() noexcept;

// A new FastaRecord for name (an exact str, taken over) of fasta
// (borrowed; the record keeps a reference). Null with an exception set.
PyRef new_fasta_record(PyObject* fasta, PyRef name);

}  // namespace gelvo::py
