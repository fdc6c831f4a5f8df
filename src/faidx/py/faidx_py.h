// The Python class Faidx, and the fetch glue Fasta shares with it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "binding/pyref.h"
#include "binding/types.h"
#include "faidx/faidx.h"

namespace gelvo::py {

// The class.
TypeHandle& faidx_class() noexcept;

// A result's name as an exact str: the caller's own object when it is one.
PyRef result_name(PyObject* name_obj, std::string_view name);

// The region fetch as Python sees it: a new Sequence or null with an
// exception. name_obj is the str the caller passed (reused as the result's
// name when it is an exact str).
PyRef fetch_region(const Faidx& faidx, PyObject* name_obj, std::string_view name, std::size_t start, std::size_t end);
// The whole-sequence fetch.
PyRef fetch_entire(const Faidx& faidx, PyObject* name_obj, std::string_view name);

}  // namespace gelvo::py
