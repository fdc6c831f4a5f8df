// Windows as NumPy arrays: fetch_array and fetch_array_same_chr of Faidx
// and Fasta (the same on both).
#pragma once

#include <Python.h>

#include "faidx/faidx.h"

namespace gelvo::py {

// The methods' bodies: bind and convert every argument and check `out`
// before anything is read, then fill the array, on the worker pool with the
// interpreter lock released for large requests. The array (a new one, or
// `out`), or null with an exception.
PyObject* fetch_array_call(const Faidx& faidx, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fetch_array_same_chr_call(const Faidx& faidx, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The methods' docstrings, text signature first.
extern const char* const kFetchArrayDoc;
extern const char* const kFetchArraySameChrDoc;

}  // namespace gelvo::py
