// Argument parsing and conversion for the binding layer.
//
// Every converter raises an exception naming the argument ("argument 'x':
// ...") and returns false when the value is refused, before any engine work.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "binding/failure.h"

namespace gelvo::py {

// Signature of a callable: its name (for messages), its positional-or-keyword
// parameter names, and how many leading ones are required.
struct Params {
  const char* function;
  std::span<const char* const> names;
  std::size_t required = 0;
};

// Binds a vectorcall argument list to params. out must have room for
// params.names.size() borrowed pointers; parameters not given stay nullptr.
bool bind_fastcall(const Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for a classic (tuple, dict) call, as tp_new receives it.
bool bind_tuple(const Params& params, PyObject* args, PyObject* kwargs, PyObject** out);

// str only (subclasses accepted); the view is the str's UTF-8 and lives as
// long as the str.
bool to_text(PyObject* obj, const char* arg, std::string_view* out);
// str or None (None and a missing argument give nullopt).
bool to_optional_text(PyObject* obj, const char* arg, std::optional<std::string>* out);
// A file system path given as str, encoded as the OS expects it. A path
// holding a NUL is a ValueError ("embedded null byte"), as open() says.
bool to_path(PyObject* obj, const char* arg, std::string* out);
// A non-negative int (or an object with __index__) that fits size_t.
bool to_size(PyObject* obj, const char* arg, std::size_t* out);
bool to_optional_size(PyObject* obj, const char* arg, std::optional<std::size_t>* out);
// True or False (or a NumPy bool) only; ints are refused.
bool to_bool(PyObject* obj, const char* arg, bool* out);
// None (or missing) gives nullopt, otherwise as to_bool.
bool to_optional_bool(PyObject* obj, const char* arg, std::optional<bool>* out);

// Raises TypeError "argument '<arg>': '<type>' object <what>".
Raised argument_type_error(const char* arg, PyObject* obj, const char* what);

}  // namespace gelvo::py
