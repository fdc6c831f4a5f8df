#include "errors/py/raise.h"

#include <string>

namespace gelvo::py {

namespace {

PyObject* exception_type(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::Bounds: return PyExc_IndexError;
    case ErrorKind::Batch: return PyExc_RuntimeError;
    default: return PyExc_Exception;
  }
}

bool carries_path(ErrorKind kind) noexcept {
  return kind == ErrorKind::FastaNotFound || kind == ErrorKind::IndexNotFound;
}

}  // namespace

Raised raise_error(const FaidxError& e) {
  if (!carries_path(e.kind())) return raise_text(exception_type(e.kind()), e.python_message());
  const std::string& path = e.payload();
  const std::string message = e.python_message();
  PyRef prefix =
      PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size() - path.size())));
  if (!prefix) return {};
  PyRef shown = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
  if (!shown) return {};
  PyRef text = PyRef::steal(PyUnicode_Concat(prefix.get(), shown.get()));
  if (text) PyErr_SetObject(PyExc_Exception, text.get());
  return {};
}

}  // namespace gelvo::py
