#include "binding/text.h"

#include <cstdint>
#include <cstring>

namespace gelvo::py {

bool is_ascii(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  std::size_t i = 0;
  std::uint64_t acc = 0;
  for (; i + 32 <= n; i += 32) {
    std::uint64_t w[4];
    std::memcpy(w, p + i, 32);
    acc |= w[0] | w[1] | w[2] | w[3];
  }
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    acc |= w;
  }
  unsigned char tail = 0;
  for (; i < n; ++i) tail |= p[i];
  return ((acc & 0x8080808080808080ULL) | (tail & 0x80)) == 0;
}

PyRef new_ascii_str(std::size_t n) {
  if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
    PyErr_NoMemory();
    return {};
  }
  return PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
}

PyRef text_to_str(std::string_view bytes) {
  if (is_ascii(bytes)) {
    PyRef str = new_ascii_str(bytes.size());
    if (str && !bytes.empty()) std::memcpy(ascii_data(str.get()), bytes.data(), bytes.size());
    return str;
  }
  return PyRef::steal(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
}

bool str_bytes(PyObject* str, std::string_view* out) {
  if (PyUnicode_IS_ASCII(str)) {
    *out = std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
    return true;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;
  *out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

}  // namespace gelvo::py
