// What Faidx and Fasta share: one open FASTA file with the arguments it was
// opened with, the constructor options as one table, and the slots that
// only differ between the two classes by name and parameter order.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

#include "binding/pyref.h"
#include "faidx/faidx.h"

namespace gelvo::py {

// The object layout of both classes. Records and iterators of a Fasta hold
// a counted reference to it and read the engine through it, so the engine
// lives as long as the last of them.
struct OpenFile {
  Faidx* faidx;             // owned; never null once constructed
  PyObject* filename;       // exact str, as the caller passed it
  PyObject* indexname;      // exact str, or null for None; kept for pickling
  PyObject* key_function;   // kept alive and pickled, never called; null for None
  PyObject* filt_function;  // likewise
  PyObject* names;          // tuple of the names as exact str, made on first use; or null
};

struct OpenFileObject {
  PyObject_HEAD
  OpenFile file;
};

inline const OpenFile& open_file(PyObject* self) noexcept { return reinterpret_cast<OpenFileObject*>(self)->file; }
inline const Faidx& engine_of(PyObject* self) noexcept { return *open_file(self).faidx; }

// The two parameter orders of the constructors.
enum class Signature { Faidx, Fasta };

// The constructor's text signature, as __text_signature__ reads it.
const char* signature_doc(Signature signature);

// tp_new of both classes: binds the arguments in the class's order,
// converts every option (TypeError or OverflowError naming it), opens the
// engine and fills the object.
PyObject* open_file_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, Signature signature);

// The same slots for both classes.
int OpenFile_traverse(PyObject* self, visitproc visit, void* arg);
int OpenFile_clear(PyObject* self);
void OpenFile_dealloc(PyObject* self);
// "<Class>(\"<filename>\")".
PyObject* open_file_repr(PyObject* self);
// `name in` the index; a key that is not a str is a TypeError.
int open_file_contains(PyObject* self, PyObject* key);
// A new list of the names, in the index's order. Their strs are made once,
// at the first call, and shared by the later ones.
PyObject* open_file_keys(PyObject* self);
// The name at position i as a new exact str (the shared one once made).
PyRef open_file_name(PyObject* self, std::size_t i);
// Pickled as the class and the arguments that open the file again, in the
// class's own order: the unpickling process builds or reuses the index by
// the same rules as any other construction.
PyObject* open_file_reduce(PyObject* self, Signature signature);

}  // namespace gelvo::py
