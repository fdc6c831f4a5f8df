#include "binding/failure.h"

namespace gelvo::py {

Raised raise_text(PyObject* exc_type, std::string_view message) {
  PyRef text =
      PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "surrogateescape"));
  if (text) PyErr_SetObject(exc_type, text.get());
  return {};
}

}  // namespace gelvo::py
