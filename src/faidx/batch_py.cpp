#include "faidx/batch_py.h"

#include <optional>
#include <string>

#include "errors/error_py.h"
#include "faidx/faidx_py.h"
#include "lib/args.h"
#include "lib/text.h"
#include "sequence/sequence_py.h"

namespace gelvo::py {

namespace {

constexpr const char* kRegions = "regions";

// The request as a list or tuple: any other sequence is copied into a list.
bool request_items(PyObject* regions, BatchRequest* out) {
  if (PyUnicode_Check(regions) || !PySequence_Check(regions)) {
    argument_type_error(kRegions, regions, "cannot be converted to 'Sequence'");
    return false;
  }
  out->items = PyRef::steal(PySequence_Fast(regions, "argument 'regions': not a sequence"));
  return static_cast<bool>(out->items);
}

PyObject* const* tuple_items(PyObject* item, Py_ssize_t size) {
  if (!PyTuple_Check(item)) {
    argument_type_error(kRegions, item, "cannot be converted to 'tuple'");
    return nullptr;
  }
  if (PyTuple_GET_SIZE(item) != size) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a tuple of length %zd, got one of length %zd", kRegions,
                 size, PyTuple_GET_SIZE(item));
    return nullptr;
  }
  return &PyTuple_GET_ITEM(item, 0);
}

bool convert_items(PyObject* regions, BatchRequest* out, bool with_name) {
  if (!request_items(regions, out)) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(out->items.get());
  PyObject* const* items = PySequence_Fast_ITEMS(out->items.get());
  out->regions.resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* const* fields = tuple_items(items[i], with_name ? 3 : 2);
    if (fields == nullptr) return false;
    BatchRegion& region = out->regions[static_cast<std::size_t>(i)];
    if (with_name) {
      if (!to_text(fields[0], kRegions, &region.name)) return false;
      ++fields;
    }
    if (!to_size(fields[0], kRegions, &region.start) || !to_size(fields[1], kRegions, &region.end)) return false;
  }
  return true;
}

// The region fetch of the calling thread, reverse-complemented on request.
PyRef fetch_sequential(const Faidx& faidx, PyObject* name_obj, const BatchRegion& region, bool reverse_complement) {
  PyRef value = fetch_region(faidx, name_obj, region.name, region.start, region.end);
  if (!value || !reverse_complement) return value;
  return PyRef::steal(PyNumber_Negative(value.get()));
}

PyObject* sequential(const Faidx& faidx, const BatchRequest& request, PyObject* shared_name, bool reverse_complement) {
  const std::size_t n = request.regions.size();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* name_obj = shared_name ? shared_name : request.name(i);
    PyRef value = fetch_sequential(faidx, name_obj, request.regions[i], reverse_complement);
    if (!value) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value.release());
  }
  return list.release();
}

// An exact str for a result's name: the caller's object when it is one.
PyRef result_name(PyObject* name_obj, std::string_view name) {
  if (PyUnicode_CheckExact(name_obj)) return PyRef::borrow(name_obj);
  return text_to_str(name);
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
    if (outcome.arena == nullptr || !outcome.plain || outcome.length == 0) {
      return new_sequence(std::move(name), text_to_str(outcome.seq()), outcome.start(), outcome.end(),
                          reverse_complement_);
    }
    if (outcome.arena != arena_) {
      PyRef owner = PyRef::steal(PyCapsule_New(outcome.arena, kArenaCapsule, end_arena));
      if (!owner) return {};
      outcome.arena->adopted = true;
      arena_ = outcome.arena;
      owner_ = std::move(owner);
    }
    return new_pending_sequence(std::move(name), owner_.get(), outcome.seq(), outcome.start(), outcome.end(),
                                reverse_complement_);
  }

 private:
  const bool reverse_complement_;
  BlockArena* arena_ = nullptr;
  PyRef owner_;
};

PyObject* parallel(const Faidx& faidx, const BatchRequest& request, PyObject* shared_name, std::string_view shared_text,
                   bool reverse_complement) {
  const std::size_t n = request.regions.size();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  PyRef shared = shared_name ? result_name(shared_name, shared_text) : PyRef();
  if (shared_name && !shared) return nullptr;

  // The Python objects are made here, on the calling thread, while the
  // workers go on with later regions. The first failure stops the making;
  // its position is the lowest, since outcomes arrive in request order.
  std::optional<std::size_t> failed_at;
  std::string failure;
  bool python_error = false;
  ResultMaker maker(reverse_complement);
  auto sink = [&](std::size_t i, const BatchOutcome& slot) -> bool {
    if (slot.error) {
      failed_at = i;
      failure = slot.error->display();
      return false;
    }
    PyRef name = shared ? PyRef::borrow(shared.get()) : result_name(request.name(i), request.regions[i].name);
    PyRef value = maker.make(std::move(name), slot);
    if (!value) {
      python_error = true;
      return false;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value.release());
    return true;
  };
  fetch_parallel(faidx, request.regions, reverse_complement, sink);
  if (python_error) return nullptr;
  if (failed_at) {
    std::string message = "Error fetching region " + std::to_string(*failed_at);
    if (shared_name != nullptr) message.append(" from ").append(shared_text);
    message.append(": ").append(failure);
    return set_error_text(PyExc_RuntimeError, message);
  }
  return list.release();
}

}  // namespace

bool convert_regions(PyObject* regions, BatchRequest* out) { return convert_items(regions, out, true); }

bool convert_pairs(PyObject* regions, BatchRequest* out) { return convert_items(regions, out, false); }

PyObject* batch_fetch_many(const Faidx& faidx, const BatchRequest& request, bool reverse_complement) {
  if (request.regions.size() < kParallelThreshold) return sequential(faidx, request, nullptr, reverse_complement);
  return parallel(faidx, request, nullptr, {}, reverse_complement);
}

PyObject* batch_fetch_same_chr(const Faidx& faidx, PyObject* name_obj, std::string_view name, BatchRequest& request,
                               bool reverse_complement) {
  if (request.regions.empty()) return PyList_New(0);
  if (auto found = faidx.find_entry(name); !found) return set_error(found.error());
  for (BatchRegion& region : request.regions) region.name = name;
  if (request.regions.size() < kParallelThreshold) return sequential(faidx, request, name_obj, reverse_complement);
  return parallel(faidx, request, name_obj, name, reverse_complement);
}

}  // namespace gelvo::py
