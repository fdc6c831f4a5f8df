#include "binding/numpy.h"

#include <string>

#include "binding/failure.h"
#include "binding/pyref.h"

namespace gelvo::py {

namespace {

void raise_missing(const char* caller) {
  PyRef cause = take_exception();
  PyRef error = PyRef::steal(PyObject_CallFunction(
      PyExc_ImportError, "s",
      (std::string(caller) + " needs NumPy, which cannot be imported (pip install numpy)").c_str()));
  if (!error) return;
  if (cause) PyException_SetCause(error.get(), cause.release());
  PyErr_SetObject(PyExc_ImportError, error.get());
}

}  // namespace

const NumPy* import_numpy(const char* caller) {
  static NumPy numpy{};  // filled once; the references are never given back
  if (numpy.ndarray != nullptr) return &numpy;
  PyRef module = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!module) {
    raise_missing(caller);
    return nullptr;
  }
  PyRef ndarray = PyRef::steal(PyObject_GetAttrString(module.get(), "ndarray"));
  PyRef empty = ndarray ? PyRef::steal(PyObject_GetAttrString(module.get(), "empty")) : PyRef();
  PyRef dtype = empty ? PyRef::steal(PyObject_GetAttrString(module.get(), "dtype")) : PyRef();
  if (!dtype) return nullptr;
  if (!PyType_Check(ndarray.get())) {
    PyErr_SetString(PyExc_ImportError, "numpy.ndarray is not a class");
    return nullptr;
  }
  numpy.empty = empty.release();
  numpy.dtype = dtype.release();
  numpy.ndarray = reinterpret_cast<PyTypeObject*>(ndarray.release());
  return &numpy;
}

}  // namespace gelvo::py
