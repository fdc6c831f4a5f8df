// The boundary between engine errors and Python exceptions.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <type_traits>

#include "errors/error.h"

namespace gelvo::py {

// Raises the Python exception of an engine error: an instance of the
// built-in Exception itself whose one argument is e.python_message().
// Always returns nullptr so callers can `return set_error(e);`.
std::nullptr_t set_error(const FaidxError& e);

// Raises exc_type with a message given as UTF-8 bytes (invalid bytes are
// kept through surrogate escapes, so names and paths survive unchanged).
std::nullptr_t set_error_text(PyObject* exc_type, std::string_view message);

// Runs the body of a slot function. No C++ exception may reach the
// interpreter: bad_alloc becomes MemoryError, anything else SystemError.
// The failure value is nullptr for pointers and -1 for integers.
template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
  using R = decltype(body());
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return static_cast<R>(-1);
  }
}

}  // namespace gelvo::py
