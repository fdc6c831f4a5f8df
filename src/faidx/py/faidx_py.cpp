// The Python class Faidx and the fetch glue shared with Fasta.
#include "faidx/py/faidx_py.h"

#include <cstring>
#include <string>

#include "binding/args.h"
#include "binding/failure.h"
#include "binding/text.h"
#include "binding/unlocked.h"
#include "errors/py/raise.h"
#include "faidx/py/batch_py.h"
#include "faidx/py/open_file_py.h"
#include "faidx/py/windows_py.h"
#include "sequence/py/sequence_py.h"

namespace gelvo::py {

namespace {

// Builds the Python value of a fetch plan. The common case writes the bases
// straight into the new str: one lookup, arithmetic and one copy.
PyRef plan_to_sequence(const Faidx& faidx, PyObject* name_obj, std::string_view name, const FetchPlan& plan,
                       bool fill) {
  PyRef name_str = result_name(name_obj, name);
  if (!name_str) return {};
  const Span span = faidx.result_span(plan);
  if (plan.is_empty()) return new_sequence(std::move(name_str), new_ascii_str(0), span.start, span.end, false);
  const std::size_t count = plan.count();
  const std::size_t bound = faidx.extract_bound(plan);
  std::string text;
  if (bound == count) {
    PyRef seq = new_ascii_str(count);
    if (!seq) return {};
    char* data = ascii_data(seq.get());
    bool plain = false;
    auto got = faidx.extract(plan, data, count, &plain);
    if (!got) return raise_error(got.error());
    if (*got == count && (plain || is_ascii(std::string_view(data, count)))) {
      faidx.apply_case(data, count);
      return new_sequence(std::move(name_str), std::move(seq), span.start, span.end, false);
    }
    // Short or not ASCII (a file edited under us, or a hand-made index):
    // finish through the general path below.
    text.assign(data, *got);
  } else {
    text.resize(bound);
    auto got = faidx.extract(plan, text.data(), bound);
    if (!got) return raise_error(got.error());
    text.resize(*got);
  }
  faidx.finish_text(plan, text, fill);
  return new_sequence(std::move(name_str), text_to_str(text), span.start, span.end, false);
}

}  // namespace

PyRef result_name(PyObject* name_obj, std::string_view name) {
  if (name_obj != nullptr && PyUnicode_CheckExact(name_obj)) return PyRef::borrow(name_obj);
  return text_to_str(name);
}

PyRef fetch_region(const Faidx& faidx, PyObject* name_obj, std::string_view name, std::size_t start, std::size_t end) {
  auto plan = faidx.plan(name, start, end, Rules::Checked);
  if (!plan) return raise_error(plan.error());
  return plan_to_sequence(faidx, name_obj, name, *plan, true);
}

PyRef fetch_entire(const Faidx& faidx, PyObject* name_obj, std::string_view name) {
  auto plan = faidx.plan_entire(name);
  if (!plan) return raise_error(plan.error());
  return plan_to_sequence(faidx, name_obj, name, *plan, false);
}

// ---------------------------------------------------------------- the class

namespace {

PyObject* Faidx_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return open_file_new(type, args, kwargs, Signature::Faidx); });
}

PyObject* Faidx_repr(PyObject* self) {
  return guarded([&] { return open_file_repr(self); });
}

PyObject* Faidx_keys(PyObject* self, void*) {
  return guarded([&] { return open_file_keys(self); });
}

int Faidx_contains(PyObject* self, PyObject* key) {
  return guarded([&] { return open_file_contains(self, key); });
}

PyObject* Faidx_fetch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"name", "start", "end"};
    PyObject* bound[3];
    if (nargs == 3 && kwnames == nullptr) {
      std::memcpy(bound, args, sizeof bound);
    } else if (!bind_fastcall({"fetch", names, 3}, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::string_view name;
    std::size_t start, end;
    if (!to_text(bound[0], "name", &name) || !to_size(bound[1], "start", &start) || !to_size(bound[2], "end", &end)) {
      return nullptr;
    }
    return fetch_region(engine_of(self), bound[0], name, start, end).release();
  });
}

PyObject* Faidx_fetch_entire_sequence(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"name"};
    PyObject* bound[1];
    std::string_view name;
    if (!bind_fastcall({"fetch_entire_sequence", names, 1}, args, nargs, kwnames, bound) ||
        !to_text(bound[0], "name", &name)) {
      return nullptr;
    }
    return fetch_entire(engine_of(self), bound[0], name).release();
  });
}

PyObject* Faidx_fetch_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return fetch_many_call(engine_of(self), args, nargs, kwnames, BatchCall::Faidx); });
}

PyObject* Faidx_fetch_many_same_chr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return fetch_many_same_chr_call(engine_of(self), args, nargs, kwnames, BatchCall::Faidx); });
}

PyObject* Faidx_fetch_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return fetch_array_call(engine_of(self), args, nargs, kwnames); });
}

PyObject* Faidx_fetch_array_same_chr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return fetch_array_same_chr_call(engine_of(self), args, nargs, kwnames); });
}

// How often each byte value occurs in a record: a tuple of 256 ints. For
// the command line's statistics; the lock is let go while it counts.
PyObject* Faidx_composition(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"name"};
    PyObject* bound[1];
    std::string_view name;
    if (!bind_fastcall({"_composition", names, 1}, args, nargs, kwnames, bound) || !to_text(bound[0], "name", &name)) {
      return nullptr;
    }
    // The name's bytes stay with bound[0], which the caller holds.
    auto counts = [&] {
      LockReleased unlocked;
      return engine_of(self).composition(name);
    }();
    if (!counts) return raise_error(counts.error());
    PyRef tuple = PyRef::steal(PyTuple_New(256));
    if (!tuple) return nullptr;
    for (Py_ssize_t b = 0; b < 256; ++b) {
      PyObject* count = PyLong_FromUnsignedLongLong((*counts)[static_cast<std::size_t>(b)]);
      if (count == nullptr) return nullptr;
      PyTuple_SET_ITEM(tuple.get(), b, count);
    }
    return tuple.release();
  });
}

PyObject* Faidx_reduce(PyObject* self, PyObject*) {
  return guarded([&] { return open_file_reduce(self, Signature::Faidx); });
}

PyMethodDef Faidx_methods[] = {
    {"fetch", method(Faidx_fetch), METH_FASTCALL | METH_KEYWORDS, "fetch($self, name, start, end)\n--\n\n"},
    {"fetch_entire_sequence", method(Faidx_fetch_entire_sequence), METH_FASTCALL | METH_KEYWORDS,
     "fetch_entire_sequence($self, name)\n--\n\n"
     "Ultra-fast method for fetching entire sequences - bypasses all bounds checking"},
    {"fetch_many", method(Faidx_fetch_many), METH_FASTCALL | METH_KEYWORDS, fetch_many_doc(BatchCall::Faidx)},
    {"fetch_many_same_chr", method(Faidx_fetch_many_same_chr), METH_FASTCALL | METH_KEYWORDS,
     fetch_many_same_chr_doc(BatchCall::Faidx)},
    {"fetch_array", method(Faidx_fetch_array), METH_FASTCALL | METH_KEYWORDS, kFetchArrayDoc},
    {"fetch_array_same_chr", method(Faidx_fetch_array_same_chr), METH_FASTCALL | METH_KEYWORDS, kFetchArraySameChrDoc},
    {"_composition", method(Faidx_composition), METH_FASTCALL | METH_KEYWORDS,
     "_composition($self, name)\n--\n\nCounts of each byte value among the bases of a whole record."},
    {"__reduce__", Faidx_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickle support: the class and the arguments that open the file again."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Faidx_getset[] = {
    {"keys", Faidx_keys, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot Faidx_slots[] = {
    {Py_tp_new, slot(Faidx_new)},
    {Py_tp_dealloc, slot(OpenFile_dealloc)},
    {Py_tp_traverse, slot(OpenFile_traverse)},
    {Py_tp_clear, slot(OpenFile_clear)},
    {Py_tp_repr, slot(Faidx_repr)},
    {Py_sq_contains, slot(Faidx_contains)},
    {Py_tp_methods, Faidx_methods},
    {Py_tp_getset, Faidx_getset},
    {Py_tp_doc, const_cast<char*>(signature_doc(Signature::Faidx))},
    {0, nullptr},
};

PyType_Spec Faidx_spec = {
    .name = "gelvo.Faidx",
    .basicsize = sizeof(OpenFileObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = Faidx_slots,
};

TypeHandle the_class{&Faidx_spec};

}  // namespace

TypeHandle& faidx_class() noexcept { return the_class; }

}  // namespace gelvo::py
