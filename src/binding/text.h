// Conversions between engine texts (bytes) and Python str.
#pragma once

#include <Python.h>

#include <string_view>

#include "binding/pyref.h"

namespace gelvo::py {

// True when every byte is below 0x80.
bool is_ascii(std::string_view bytes) noexcept;

// A new exact str. ASCII bytes are copied straight into a compact str; other
// text is decoded as UTF-8 with each invalid byte replaced by U+FFFD, so the
// call never fails except for lack of memory.
PyRef text_to_str(std::string_view bytes);

// A new uninitialised ASCII str of n characters for callers that write the
// bytes themselves (they must write only bytes below 0x80).
PyRef new_ascii_str(std::size_t n);
inline char* ascii_data(PyObject* str) { return static_cast<char*>(PyUnicode_DATA(str)); }

// The bytes of a str: its data for ASCII text, else its cached UTF-8 form.
// Returns false with an exception set when the str cannot be encoded.
bool str_bytes(PyObject* str, std::string_view* out);

}  // namespace gelvo::py
