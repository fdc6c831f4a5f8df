// Fasta's batch fetches: the Faidx batch operations with an optional
// reverse complement of every result.
#include <optional>

#include "errors/error_py.h"
#include "faidx/batch_py.h"
#include "lib/args.h"
#include "lib/fasta_py.h"

namespace gelvo::py {

namespace {

PyObject* Fasta_fetch_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"regions", "rc"};
    static const Params params{"fetch_many", names, 1};
    PyObject* bound[2];
    BatchRequest request;
    std::optional<bool> rc;
    if (!bind_fastcall(params, args, nargs, kwnames, bound) || !convert_regions(bound[0], &request) ||
        !to_optional_bool(bound[1], "rc", &rc)) {
      return nullptr;
    }
    return batch_fetch_many(fasta_faidx(self), request, rc.value_or(false));
  });
}

PyObject* Fasta_fetch_many_same_chr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"name", "regions", "rc"};
    static const Params params{"fetch_many_same_chr", names, 2};
    PyObject* bound[3];
    std::string_view name;
    BatchRequest request;
    std::optional<bool> rc;
    if (!bind_fastcall(params, args, nargs, kwnames, bound) || !to_text(bound[0], "name", &name) ||
        !convert_pairs(bound[1], &request) || !to_optional_bool(bound[2], "rc", &rc)) {
      return nullptr;
    }
    return batch_fetch_same_chr(fasta_faidx(self), bound[0], name, request, rc.value_or(false));
  });
}

const PyMethodDef kBatchMethods[] = {
    {"fetch_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Fasta_fetch_many)),
     METH_FASTCALL | METH_KEYWORDS,
     "fetch_many($self, regions, rc=None)\n--\n\n"
     "High-performance batch fetch for many sequences\n\n"
     "This method is optimized for genomics workloads where you need to fetch\n"
     "many sequences at once (e.g., 200,000+ regions). It uses parallel processing\n"
     "and optimized memory access patterns for maximum throughput.\n\n"
     "Args:\n"
     "    regions: List of (name, start, end) tuples specifying regions to fetch\n"
     "    rc: Optional boolean to reverse complement all sequences\n\n"
     "Returns:\n"
     "    List of Sequence objects in the same order as input regions\n\n"
     "Example:\n"
     "    >>> regions = [(\"chr1\", 1000, 2000), (\"chr2\", 5000, 6000)]\n"
     "    >>> sequences = fasta.fetch_many(regions)"},
    {"fetch_many_same_chr", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Fasta_fetch_many_same_chr)),
     METH_FASTCALL | METH_KEYWORDS,
     "fetch_many_same_chr($self, name, regions, rc=None)\n--\n\n"
     "Ultra-fast batch fetch for regions from the same chromosome\n\n"
     "This method is optimized for BED file processing where many regions\n"
     "come from the same chromosome. It's significantly faster than fetch_many\n"
     "when all regions are from the same chromosome.\n\n"
     "Args:\n"
     "    name: Chromosome/sequence name\n"
     "    regions: List of (start, end) tuples\n"
     "    rc: Optional boolean to reverse complement all sequences\n\n"
     "Returns:\n"
     "    List of Sequence objects in the same order as input regions\n\n"
     "Example:\n"
     "    >>> regions = [(1000, 2000), (5000, 6000), (10000, 11000)]\n"
     "    >>> sequences = fasta.fetch_many_same_chr(\"chr1\", regions)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const PyMethodDef* fasta_batch_methods() noexcept { return kBatchMethods; }

}  // namespace gelvo::py
