#include "errors/error_py.h"

#include "lib/pyref.h"

namespace gelvo::py {

std::nullptr_t set_error_text(PyObject* exc_type, std::string_view message) {
  PyRef text =
      PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "surrogateescape"));
  if (text) PyErr_SetObject(exc_type, text.get());
  return nullptr;
}

std::nullptr_t set_error(const FaidxError& e) { return set_error_text(PyExc_Exception, e.python_message()); }

}  // namespace gelvo::py
