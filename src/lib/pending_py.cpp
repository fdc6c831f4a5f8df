// Temporary definitions for classes that are not built yet, so the module
// links while they are written. Each one is removed when its class lands.
#include <Python.h>

#include "faidx/faidx_py.h"
#include "lib/facade_py.h"
#include "sequence/sequence_py.h"

namespace gelvo::py {
namespace {

PyObject* pending_type(const char* qualified_name) {
  static PyType_Slot slots[] = {{0, nullptr}};
  PyType_Spec spec = {qualified_name, sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, slots};
  return PyType_FromSpec(&spec);
}

}  // namespace

PyObject* create_fasta_type() { return pending_type("gelvo.Fasta"); }
PyObject* create_fasta_record_type() { return pending_type("gelvo.FastaRecord"); }
PyObject* create_fasta_iterator_type() { return pending_type("gelvo.FastaIterator"); }
PyObject* create_sequence_iterator_type() { return pending_type("gelvo.SequenceIterator"); }
PyObject* create_mutable_fasta_record_type() { return pending_type("gelvo.MutableFastaRecord"); }

}  // namespace gelvo::py
