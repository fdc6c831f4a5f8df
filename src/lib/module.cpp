// The module entry: PyInit_gelvo and the registration of the classes.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/pyref.h"
#include "binding/types.h"
#include "faidx/py/faidx_py.h"
#include "lib/facade_py.h"
#include "sequence/py/sequence_py.h"

namespace gelvo::py {
namespace {

struct ClassEntry {
  const char* name;
  TypeHandle& (*handle)() noexcept;
};

// Registration order is part of the module's surface (it is __all__'s order).
constexpr ClassEntry kClasses[] = {
    {"Fasta", fasta_class},
    {"Faidx", faidx_class},
    {"Sequence", sequence_class},
    {"FastaRecord", fasta_record_class},
    {"FastaIterator", fasta_iterator_class},
    {"SequenceIterator", sequence_iterator_class},
    {"MutableFastaRecord", mutable_fasta_record_class},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "gelvo",
    "Indexed random access to the sequences of FASTA files.",
    // Not -1: with -1 the interpreter would copy the first module into other
    // interpreters without calling PyInit_gelvo, bypassing the check below.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr std::int64_t kNoInterpreter = -1;
std::atomic<std::int64_t> owner_interpreter{kNoInterpreter};
PyObject* the_module = nullptr;  // owned for the life of the process

bool add_class(PyObject* module, PyObject* all, const ClassEntry& entry) {
  PyRef type = PyRef::steal(entry.handle().create());
  if (!type) return false;
  if (PyModule_AddObjectRef(module, entry.name, type.get()) < 0) return false;
  PyRef name = PyRef::steal(PyUnicode_FromString(entry.name));
  return name && PyList_Append(all, name.get()) == 0;
}

PyObject* init_module() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  std::int64_t id = interp ? PyInterpreterState_GetID(interp) : -1;
  if (id < 0) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  std::int64_t expected = kNoInterpreter;
  if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "gelvo can be imported in one interpreter per process only; "
                    "it is already loaded in another interpreter");
    return nullptr;
  }
  if (the_module != nullptr) return Py_NewRef(the_module);

  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  PyRef all = PyRef::steal(PyList_New(0));
  if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
  for (const ClassEntry& entry : kClasses) {
    if (!add_class(module.get(), all.get(), entry)) return nullptr;
  }
  the_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace gelvo::py

PyMODINIT_FUNC PyInit_gelvo() { return gelvo::py::init_module(); }
