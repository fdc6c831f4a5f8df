#include "binding/types.h"

#include "binding/failure.h"
#include "binding/pyref.h"

namespace gelvo::py {

PyObject* TypeHandle::create() {
  if (type_ == nullptr) {
    type_ = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec_));
    if (type_ == nullptr) return nullptr;
  }
  return Py_NewRef(reinterpret_cast<PyObject*>(type_));
}

void free_object(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* no_constructor_new(PyTypeObject* type, PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    PyRef name = PyRef::steal(PyType_GetName(type));
    if (name) PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    return nullptr;
  });
}

}  // namespace gelvo::py
