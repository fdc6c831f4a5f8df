#include "lib/type_py.h"

#include "lib/pyref.h"

namespace gelvo::py {

PyObject* create_type_once(PyTypeObject*& slot, PyType_Spec& spec) {
  if (slot == nullptr) {
    slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (slot == nullptr) return nullptr;
  }
  return Py_NewRef(reinterpret_cast<PyObject*>(slot));
}

PyObject* no_constructor_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (name) PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

}  // namespace gelvo::py
