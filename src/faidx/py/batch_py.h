// Batch fetches as Python sees them: fetch_many and fetch_many_same_chr of
// Faidx and Fasta (Fasta's take an rc argument as well).
#pragma once

#include <Python.h>

#include "faidx/faidx.h"

namespace gelvo::py {

enum class BatchCall { Faidx, Fasta };

// The methods' bodies: bind and convert every argument, then fetch
// sequentially below the threshold (warnings and exceptions of the region
// fetch) or on the worker pool. A new list, or null with an exception.
PyObject* fetch_many_call(const Faidx& faidx, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          BatchCall call);
PyObject* fetch_many_same_chr_call(const Faidx& faidx, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                   BatchCall call);

// The methods' docstrings, text signature first.
const char* fetch_many_doc(BatchCall call) noexcept;
const char* fetch_many_same_chr_doc(BatchCall call) noexcept;

}  // namespace gelvo::py
