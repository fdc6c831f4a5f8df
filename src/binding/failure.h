// How binding code fails: the value a raising helper returns, and the guard
// every slot function runs its body in.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string_view>
#include <type_traits>

#include "binding/pyref.h"

namespace gelvo::py {

// What a helper that has just set a Python exception returns. It converts to
// the failure value of whatever the caller returns (nullptr for a pointer,
// an empty PyRef, -1 for an integer, false for bool), so `return raise...;`
// reads the same in every slot and helper.
struct Raised {
  template <class T>
  operator T*() const noexcept {
    return nullptr;
  }
  operator PyRef() const noexcept { return {}; }
  template <class T>
    requires std::is_integral_v<T>
  operator T() const noexcept {
    if constexpr (std::is_same_v<T, bool>) {
      return false;
    } else {
      return static_cast<T>(-1);
    }
  }
};

// Raises exc_type with a message given as UTF-8 bytes (invalid bytes are
// kept through surrogate escapes, so names and paths survive unchanged).
Raised raise_text(PyObject* exc_type, std::string_view message);

// The failure of a call whose exception is already set (by the C API).
inline Raised raised() noexcept { return {}; }

// The exception being raised, taken out of the error indicator (empty when
// none is), and put back: code that must call the C API while an exception
// is pending saves it around the calls.
PyRef take_exception();
void restore_exception(PyRef exception);

// Runs the body of a slot function. No C++ exception may reach the
// interpreter: bad_alloc becomes MemoryError, anything else SystemError.
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
  if constexpr (std::is_void_v<R>) {
    return;
  } else {
    return static_cast<R>(Raised{});
  }
}

}  // namespace gelvo::py
