#include "binding/args.h"

#include <cstring>

#include "binding/pyref.h"

namespace gelvo::py {

namespace {

Py_ssize_t find_param(const Params& params, PyObject* key) {
  for (std::size_t i = 0; i < params.names.size(); ++i) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, params.names[i]) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

bool too_many(const Params& params, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", params.function, params.names.size(),
               params.names.size() == 1 ? "" : "s", given);
  return false;
}

bool bind_keyword(const Params& params, PyObject* key, PyObject* value, PyObject** out) {
  Py_ssize_t i = find_param(params, key);
  if (i < 0) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", params.function, key);
    return false;
  }
  if (out[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", params.function, params.names[i]);
    return false;
  }
  out[i] = value;
  return true;
}

bool check_required(const Params& params, PyObject** out) {
  for (std::size_t i = 0; i < params.required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", params.function, params.names[i],
                   i + 1);
      return false;
    }
  }
  return true;
}

const char* type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

bool is_numpy_bool(PyObject* obj) {
  const char* name = type_name(obj);
  return std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0;
}

}  // namespace

bool bind_fastcall(const Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  const auto count = static_cast<Py_ssize_t>(params.names.size());
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs > count) return too_many(params, nargs + nkw);
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!bind_keyword(params, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
  }
  return check_required(params, out);
}

bool bind_tuple(const Params& params, PyObject* args, PyObject* kwargs, PyObject** out) {
  const auto count = static_cast<Py_ssize_t>(params.names.size());
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > count) return too_many(params, nargs + (kwargs ? PyDict_GET_SIZE(kwargs) : 0));
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(params, key, value, out)) return false;
    }
  }
  return check_required(params, out);
}

Raised argument_type_error(const char* arg, PyObject* obj, const char* what) {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object %s", arg, type_name(obj), what);
  return {};
}

bool to_text(PyObject* obj, const char* arg, std::string_view* out) {
  if (!PyUnicode_Check(obj)) return argument_type_error(arg, obj, "cannot be converted to 'str'");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  *out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool to_optional_text(PyObject* obj, const char* arg, std::optional<std::string>* out) {
  if (obj == nullptr || obj == Py_None) {
    out->reset();
    return true;
  }
  std::string_view view;
  if (!to_text(obj, arg, &view)) return false;
  out->emplace(view);
  return true;
}

bool to_path(PyObject* obj, const char* arg, std::string* out) {
  if (!PyUnicode_Check(obj)) return argument_type_error(arg, obj, "cannot be converted to 'str'");
  PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(obj));
  if (!encoded) return false;
  const std::string_view bytes(PyBytes_AS_STRING(encoded.get()),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  // The system would read the path only up to the NUL: a different file.
  if (bytes.find('\0') != std::string_view::npos) return raise_text(PyExc_ValueError, "embedded null byte");
  out->assign(bytes);
  return true;
}

bool to_size(PyObject* obj, const char* arg, std::size_t* out) {
  if (PyLong_CheckExact(obj)) {
    std::size_t value = PyLong_AsSize_t(obj);
    if (value != static_cast<std::size_t>(-1) || !PyErr_Occurred()) {
      *out = value;
      return true;
    }
    PyErr_Clear();
  } else if (!PyIndex_Check(obj)) {
    return argument_type_error(arg, obj, "cannot be interpreted as an integer");
  }
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return false;
  std::size_t value = PyLong_AsSize_t(index.get());
  if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    PyRef zero = PyRef::steal(PyLong_FromLong(0));
    if (!zero) return false;
    int is_negative = PyObject_RichCompareBool(index.get(), zero.get(), Py_LT);
    if (is_negative < 0) return false;
    PyErr_Format(
        PyExc_OverflowError, "argument '%s': %s", arg,
        is_negative ? "can't convert negative int to unsigned" : "int too large to convert to an unsigned size");
    return false;
  }
  *out = value;
  return true;
}

bool to_optional_size(PyObject* obj, const char* arg, std::optional<std::size_t>* out) {
  if (obj == nullptr || obj == Py_None) {
    out->reset();
    return true;
  }
  std::size_t value = 0;
  if (!to_size(obj, arg, &value)) return false;
  *out = value;
  return true;
}

bool to_bool(PyObject* obj, const char* arg, bool* out) {
  if (PyBool_Check(obj)) {
    *out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool(obj)) {
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    *out = truth != 0;
    return true;
  }
  return argument_type_error(arg, obj, "cannot be converted to 'bool'");
}

bool to_optional_bool(PyObject* obj, const char* arg, std::optional<bool>* out) {
  if (obj == nullptr || obj == Py_None) {
    out->reset();
    return true;
  }
  bool value = false;
  if (!to_bool(obj, arg, &value)) return false;
  *out = value;
  return true;
}

}  // namespace gelvo::py
