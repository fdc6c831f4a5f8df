// Batch fetches as Python sees them, shared by Faidx and Fasta.
#pragma once

#include <Python.h>

#include <string_view>
#include <vector>

#include "faidx/batch.h"
#include "faidx/faidx.h"
#include "lib/pyref.h"

namespace gelvo::py {

// A converted request. The regions view the UTF-8 of name objects that
// `items` keeps alive.
struct BatchRequest {
  PyRef items;  // the request as a list or tuple
  std::vector<BatchRegion> regions;

  // The name object of region i (of a (name, start, end) request).
  PyObject* name(std::size_t i) const noexcept { return PyTuple_GET_ITEM(PySequence_Fast_ITEMS(items.get())[i], 0); }
};

// regions: a sequence (not a str) of (str, int, int) tuples. Raises the
// conversion's exception naming `regions` on the first bad item.
bool convert_regions(PyObject* regions, BatchRequest* out);
// regions: a sequence (not a str) of (int, int) tuples.
bool convert_pairs(PyObject* regions, BatchRequest* out);

// fetch_many: sequentially below the threshold (warnings and exceptions of
// the region fetch), else on the worker pool. A new list, or null.
PyObject* batch_fetch_many(const Faidx& faidx, const BatchRequest& request, bool reverse_complement);
// fetch_many_same_chr over one name (str object and its UTF-8).
PyObject* batch_fetch_same_chr(const Faidx& faidx, PyObject* name_obj, std::string_view name, BatchRequest& request,
                               bool reverse_complement);

}  // namespace gelvo::py
