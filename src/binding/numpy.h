// NumPy for the calls that return arrays. It is imported the first time one
// of them runs, never when gelvo is imported, and only through its Python
// interface and the buffer protocol: gelvo builds without NumPy's headers
// and imports without NumPy installed.
#pragma once

#include <Python.h>

namespace gelvo::py {

// The parts of NumPy gelvo uses; kept for the life of the process once the
// import has succeeded.
struct NumPy {
  PyTypeObject* ndarray;  // numpy.ndarray
  PyObject* empty;        // numpy.empty
  PyObject* dtype;        // numpy.dtype
};

// NumPy, imported on the first call. When it cannot be imported: null with
// ImportError "<caller> needs NumPy ...", caused by the import's own error;
// the next call tries again.
const NumPy* import_numpy(const char* caller);

inline bool is_ndarray(const NumPy& np, PyObject* obj) noexcept { return PyObject_TypeCheck(obj, np.ndarray); }

// An exported buffer, released with the object. Holding it also keeps an
// array from being resized under a reader that has let the interpreter
// lock go.
class Buffer {
 public:
  Buffer() = default;
  ~Buffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  // PyObject_GetBuffer(obj, flags); false with its exception set.
  bool acquire(PyObject* obj, int flags) {
    if (PyObject_GetBuffer(obj, &view_, flags) != 0) return false;
    held_ = true;
    return true;
  }
  const Py_buffer& view() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace gelvo::py
