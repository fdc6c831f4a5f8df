#include "faidx/py/batch_py.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "binding/args.h"
#include "binding/failure.h"
#include "binding/pyref.h"
#include "binding/text.h"
#include "binding/types.h"
#include "errors/py/raise.h"
#include "faidx/batch.h"
#include "faidx/py/faidx_py.h"
#include "sequence/py/sequence_py.h"

namespace gelvo::py {

namespace {

constexpr const char* kRegions = "regions";

// A converted request. Conversion runs Python code (__index__ of the
// coordinates), which may change the caller's list: the request is a tuple
// of the items as they were when the call began, so every view into it
// (the regions view the UTF-8 of its names) stays valid and consistent.
struct BatchRequest {
  PyRef items;  // tuple
  std::vector<BatchRegion> regions;
  PyObject* shared_name = nullptr;  // fetch_many_same_chr's name (borrowed)
  std::string_view shared_text;

  // The name object of region i.
  PyObject* name(std::size_t i) const noexcept {
    if (shared_name != nullptr) return shared_name;
    return PyTuple_GET_ITEM(PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)), 0);
  }
};

bool request_items(PyObject* regions, BatchRequest* out) {
  if (PyUnicode_Check(regions) || !PySequence_Check(regions)) {
    return argument_type_error(kRegions, regions, "cannot be converted to 'Sequence'");
  }
  out->items = PyRef::steal(PySequence_Tuple(regions));
  return static_cast<bool>(out->items);
}

PyObject* const* tuple_items(PyObject* item, Py_ssize_t size) {
  if (!PyTuple_Check(item)) return argument_type_error(kRegions, item, "cannot be converted to 'tuple'");
  if (PyTuple_GET_SIZE(item) != size) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a tuple of length %zd, got one of length %zd", kRegions,
                 size, PyTuple_GET_SIZE(item));
    return nullptr;
  }
  return &PyTuple_GET_ITEM(item, 0);
}

// (name, start, end) tuples, or (start, end) pairs when the request shares
// one name.
bool convert_items(PyObject* regions, BatchRequest* out) {
  if (!request_items(regions, out)) return false;
  const bool with_name = out->shared_name == nullptr;
  const Py_ssize_t n = PyTuple_GET_SIZE(out->items.get());
  out->regions.resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    // Millions of regions take a while to convert: Ctrl-C may stop that too.
    if ((i & 0xFFFF) == 0xFFFF && PyErr_CheckSignals() != 0) return false;
    PyObject* const* fields = tuple_items(PyTuple_GET_ITEM(out->items.get(), i), with_name ? 3 : 2);
    if (fields == nullptr) return false;
    BatchRegion& region = out->regions[static_cast<std::size_t>(i)];
    if (with_name) {
      if (!to_text(fields[0], kRegions, &region.name)) return false;
      ++fields;
    } else {
      region.name = out->shared_text;
    }
    if (!to_size(fields[0], kRegions, &region.start) || !to_size(fields[1], kRegions, &region.end)) return false;
  }
  return true;
}

PyObject* sequential(const Faidx& faidx, const BatchRequest& request, bool reverse_complement) {
  const std::size_t n = request.regions.size();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    const BatchRegion& region = request.regions[i];
    PyRef value = fetch_region(faidx, request.name(i), region.name, region.start, region.end);
    if (value && reverse_complement) value = PyRef::steal(PyNumber_Negative(value.get()));
    if (!value) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value.release());
  }
  return list.release();
}

constexpr const char* kArenaCapsule = "gelvo.batch_arena";

void end_arena(PyObject* capsule) {
  release_arena(static_cast<BlockArena*>(PyCapsule_GetPointer(capsule, kArenaCapsule)));
}

// The results of a parallel batch keep the bases where the workers put
// them: a Sequence points into its block's arena, which one capsule per
// block owns, and makes its str only when one is asked for. Bases that are
// not plain ASCII, or not in an arena, become a str at once.
class ResultMaker {
 public:
  explicit ResultMaker(bool reverse_complement) : reverse_complement_(reverse_complement) {}

  PyRef make(PyRef name, const BatchOutcome& outcome) {
    if (!name) return {};
    const Span span = outcome.span();
    if (outcome.arena == nullptr || !outcome.plain || outcome.length == 0) {
      return new_sequence(std::move(name), text_to_str(outcome.seq()), span.start, span.end, reverse_complement_);
    }
    if (outcome.arena != arena_) {
      PyRef owner = PyRef::steal(PyCapsule_New(outcome.arena, kArenaCapsule, end_arena));
      if (!owner) return {};
      outcome.arena->adopted = true;
      arena_ = outcome.arena;
      owner_ = std::move(owner);
    }
    return new_pending_sequence(std::move(name), owner_.get(), outcome.seq(), span.start, span.end,
                                reverse_complement_);
  }

 private:
  const bool reverse_complement_;
  BlockArena* arena_ = nullptr;
  PyRef owner_;
};

// The results a stopped batch had made. Freeing millions of them takes a
// good part of a second (about 25 ns each), which would hold up the
// KeyboardInterrupt the user is waiting for; so a thread gives them back in
// slices while the caller goes on. Python's own threading module runs it,
// so the interpreter waits for it at exit. A thread that cannot start
// leaves the freeing to the caller.
constexpr Py_ssize_t kReleaseInBackground = 1 << 16;
constexpr Py_ssize_t kReleaseSlice = 1 << 14;

PyObject* release_results(PyObject*, PyObject* list) {
  return guarded([&]() -> PyObject* {
    while (PyList_GET_SIZE(list) > 0) {
      // Let go of the lock for long enough that a thread waiting for it
      // wakes and takes it: let go and at once taken back, the lock would
      // never pass to it, and the caller would wait for all the freeing.
      Py_BEGIN_ALLOW_THREADS;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      Py_END_ALLOW_THREADS;
      const Py_ssize_t size = PyList_GET_SIZE(list);
      if (PyList_SetSlice(list, std::max<Py_ssize_t>(size - kReleaseSlice, 0), size, nullptr) < 0) return raised();
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef release_results_def = {"release_results", release_results, METH_O, nullptr};

void start_release(PyObject* list) {
  PyRef function = PyRef::steal(PyCFunction_New(&release_results_def, nullptr));
  PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
  PyRef thread_type = threading ? PyRef::steal(PyObject_GetAttrString(threading.get(), "Thread")) : PyRef();
  if (!function || !thread_type) return;
  PyRef kwargs =
      PyRef::steal(Py_BuildValue("{s:O,s:(O),s:s}", "target", function.get(), "args", list, "name", "gelvo-release"));
  PyRef empty = PyRef::steal(PyTuple_New(0));
  if (!kwargs || !empty) return;
  PyRef thread = PyRef::steal(PyObject_Call(thread_type.get(), empty.get(), kwargs.get()));
  if (thread) PyRef::steal(PyObject_CallMethod(thread.get(), "start", nullptr));
}

// Frees the list of a batch that stopped after making its first `made`
// results (the later slots are still empty).
void release_partial(PyRef list, std::size_t made) {
  // The list was never seen by Python code: cut it to the filled slots, as
  // a list that had its tail popped, so that it is a valid list of results.
  Py_SET_SIZE(reinterpret_cast<PyVarObject*>(list.get()), static_cast<Py_ssize_t>(made));
  if (PyList_GET_SIZE(list.get()) < kReleaseInBackground) return;  // quick enough here
  PyRef pending = take_exception();
  start_release(list.get());
  PyErr_Clear();  // the results are freed either way; the batch's own error stands
  restore_exception(std::move(pending));
}

PyObject* parallel(const Faidx& faidx, const BatchRequest& request, bool reverse_complement) {
  const std::size_t n = request.regions.size();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  PyRef shared = request.shared_name ? result_name(request.shared_name, request.shared_text) : PyRef();
  if (request.shared_name && !shared) return nullptr;

  // The Python objects are made here, on the calling thread, while the
  // workers go on with later regions. The first failure stops the making;
  // its position is the lowest, since outcomes arrive in request order.
  std::optional<FaidxError> failure;
  bool python_error = false;
  std::size_t made = 0;  // results reach the list in request order
  ResultMaker maker(reverse_complement);
  auto sink = [&](std::size_t i, const BatchOutcome& slot) -> bool {
    if (slot.error) {
      std::optional<std::string_view> shared_text;
      if (request.shared_name) shared_text = request.shared_text;
      failure = batch_region_error(i, shared_text, *slot.error);
      return false;
    }
    PyRef name = shared ? PyRef::borrow(shared.get()) : result_name(request.name(i), request.regions[i].name);
    PyRef value = maker.make(std::move(name), slot);
    if (!value) {
      python_error = true;
      return false;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value.release());
    made = i + 1;
    return true;
  };
  // Ctrl-C (or any signal whose Python handler raises) stops the batch.
  auto interrupted = [&] {
    python_error = PyErr_CheckSignals() != 0;
    return python_error;
  };
  fetch_parallel(faidx, request.regions, reverse_complement, sink, interrupted);
  if (python_error) {
    release_partial(std::move(list), made);
    return nullptr;
  }
  if (failure) return raise_error(*failure);
  return list.release();
}

PyObject* run(const Faidx& faidx, const BatchRequest& request, bool reverse_complement) {
  if (request.regions.size() < kParallelThreshold) return sequential(faidx, request, reverse_complement);
  return parallel(faidx, request, reverse_complement);
}

// Fasta's batch methods take an rc argument after the others.
bool convert_rc(PyObject* const* bound, std::size_t at, BatchCall call, bool* rc) {
  if (call == BatchCall::Faidx) return true;
  std::optional<bool> given;
  if (!to_optional_bool(bound[at], "rc", &given)) return false;
  *rc = given.value_or(false);
  return true;
}

}  // namespace

PyObject* fetch_many_call(const Faidx& faidx, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          BatchCall call) {
  static const char* const names[] = {"regions", "rc"};
  const std::size_t count = call == BatchCall::Faidx ? 1 : 2;
  PyObject* bound[2];
  BatchRequest request;
  bool rc = false;
  if (!bind_fastcall({"fetch_many", std::span(names, count), 1}, args, nargs, kwnames, bound) ||
      !convert_items(bound[0], &request) || !convert_rc(bound, 1, call, &rc)) {
    return nullptr;
  }
  return run(faidx, request, rc);
}

PyObject* fetch_many_same_chr_call(const Faidx& faidx, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                   BatchCall call) {
  static const char* const names[] = {"name", "regions", "rc"};
  const std::size_t count = call == BatchCall::Faidx ? 2 : 3;
  PyObject* bound[3];
  BatchRequest request;
  bool rc = false;
  if (!bind_fastcall({"fetch_many_same_chr", std::span(names, count), 2}, args, nargs, kwnames, bound) ||
      !to_text(bound[0], "name", &request.shared_text)) {
    return nullptr;
  }
  request.shared_name = bound[0];
  if (!convert_items(bound[1], &request) || !convert_rc(bound, 2, call, &rc)) return nullptr;
  if (request.regions.empty()) return PyList_New(0);
  if (auto found = faidx.find_entry(request.shared_text); !found) return raise_error(found.error());
  return run(faidx, request, rc);
}

const char* fetch_many_doc(BatchCall call) noexcept {
  if (call == BatchCall::Faidx) {
    return "fetch_many($self, regions)\n--\n\n"
           "High-performance batch fetch for many sequences\n\n"
           "Efficiently processes large numbers of regions (e.g., 200,000+) using smart batching:\n"
           "- Sequential processing for small batches (< 1000 regions) to avoid overhead\n"
           "- Parallel processing for large batches to maximize throughput\n\n"
           "Args:\n"
           "    regions: List of (name, start, end) tuples specifying regions to fetch\n\n"
           "Returns:\n"
           "    List of Sequence objects in the same order as input regions\n\n"
           "Example:\n"
           "    >>> regions = [(\"chr1\", 1000, 2000), (\"chr2\", 5000, 6000)]\n"
           "    >>> sequences = faidx.fetch_many(regions)";
  }
  return "fetch_many($self, regions, rc=None)\n--\n\n"
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
         "    >>> sequences = fasta.fetch_many(regions)";
}

const char* fetch_many_same_chr_doc(BatchCall call) noexcept {
  if (call == BatchCall::Faidx) {
    return "fetch_many_same_chr($self, name, regions)\n--\n\n"
           "Ultra-fast batch fetch for regions from the same chromosome\n\n"
           "Optimized for BED file processing where many regions come from the same chromosome.\n"
           "Uses smart batching like fetch_many but optimized for single chromosome access.\n\n"
           "Args:\n"
           "    name: Chromosome/sequence name\n"
           "    regions: List of (start, end) tuples\n\n"
           "Returns:\n"
           "    List of Sequence objects in the same order as input regions\n\n"
           "Example:\n"
           "    >>> regions = [(1000, 2000), (5000, 6000), (10000, 11000)]\n"
           "    >>> sequences = faidx.fetch_many_same_chr(\"chr1\", regions)";
  }
  return "fetch_many_same_chr($self, name, regions, rc=None)\n--\n\n"
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
         "    >>> sequences = fasta.fetch_many_same_chr(\"chr1\", regions)";
}

}  // namespace gelvo::py
