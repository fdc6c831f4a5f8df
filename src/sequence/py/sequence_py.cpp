#include "sequence/py/sequence_py.h"

#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/args.h"
#include "binding/failure.h"
#include "binding/text.h"
#include "binding/types.h"

namespace gelvo::py {

namespace {

SequenceObject* as_sequence(PyObject* obj) noexcept { return reinterpret_cast<SequenceObject*>(obj); }

std::optional<std::size_t> start_of(const SequenceObject* s) noexcept {
  return s->has_start ? std::optional<std::size_t>(s->start) : std::nullopt;
}

std::optional<std::size_t> end_of(const SequenceObject* s) noexcept {
  return s->has_end ? std::optional<std::size_t>(s->end) : std::nullopt;
}

PyObject* size_or_none(std::optional<std::size_t> value) {
  if (!value) Py_RETURN_NONE;
  return PyLong_FromSize_t(*value);
}

// The object keeps exact str values, so a str subclass passed in is copied
// into a plain str; to_text has already made sure it encodes as UTF-8, which
// every later byte view relies on.
PyRef to_exact_str(PyObject* obj, const char* arg) {
  std::string_view unused;
  if (!to_text(obj, arg, &unused)) return {};
  if (PyUnicode_CheckExact(obj)) return PyRef::borrow(obj);
  return PyRef::steal(PyUnicode_FromObject(obj));
}

PyRef empty_str() { return PyRef::steal(PyUnicode_FromStringAndSize("", 0)); }

// Residues of an ASCII str are its own data; other text is seen through its
// UTF-8 bytes, so every length, position and table below counts bytes.
bool residues(PyObject* str, std::string_view* out) { return str_bytes(str, out); }

// Lets go of pending residues once seq holds them (or replaced them).
void drop_pending(SequenceObject* s) {
  s->pending = nullptr;
  s->pending_length = 0;
  Py_CLEAR(s->owner);
}

// The residues as an exact str, made from pending bytes on first use.
PyObject* seq_of(SequenceObject* s) {
  if (s->seq != nullptr) return s->seq;
  PyRef str = new_ascii_str(s->pending_length);
  if (!str) return nullptr;
  if (s->pending_length != 0) std::memcpy(ascii_data(str.get()), s->pending, s->pending_length);
  s->seq = str.release();
  drop_pending(s);
  return s->seq;
}

// The residues as bytes, pending or not, and (when asked) whether they are
// all ASCII.
bool residue_bytes(const SequenceObject* s, std::string_view* out, bool* ascii = nullptr) {
  if (s->seq == nullptr) {
    *out = std::string_view(s->pending, s->pending_length);
    if (ascii != nullptr) *ascii = true;
    return true;
  }
  if (ascii != nullptr) *ascii = PyUnicode_IS_ASCII(s->seq);
  return residues(s->seq, out);
}

// A str of n residues written by fill(char*). ASCII output goes straight
// into the new str; other bytes are staged and decoded, so a multi-byte
// character that was cut apart shows up as U+FFFD instead of failing.
template <class Fill>
PyRef build_residues(std::size_t n, bool ascii_output, Fill&& fill) {
  if (ascii_output) {
    PyRef out = new_ascii_str(n);
    if (out && n > 0) fill(ascii_data(out.get()));
    return out;
  }
  std::string staged(n, '\0');
  fill(staged.data());
  return text_to_str(staged);
}

Span span_of(const SequenceObject* s) noexcept { return {start_of(s), end_of(s)}; }

PyRef same_name(const SequenceObject* s) { return PyRef::borrow(s->name); }

Raised refuse_delete() {
  PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
  return {};
}

// ---- construction and lifetime ---------------------------------------------

constexpr const char* kParamNames[] = {"name", "seq", "start", "end", "comp"};

PyObject* Sequence_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[5];
    if (!bind_tuple(Params{"Sequence", kParamNames, 0}, args, kwargs, bound)) return nullptr;
    PyRef name = bound[0] ? to_exact_str(bound[0], "name") : empty_str();
    if (!name) return nullptr;
    PyRef seq = bound[1] ? to_exact_str(bound[1], "seq") : empty_str();
    if (!seq) return nullptr;
    std::optional<std::size_t> start, end;
    if (!to_optional_size(bound[2], "start", &start)) return nullptr;
    if (!to_optional_size(bound[3], "end", &end)) return nullptr;
    bool comp = false;
    if (bound[4] && !to_bool(bound[4], "comp", &comp)) return nullptr;
    return new_sequence(std::move(name), std::move(seq), start, end, comp).release();
  });
}

void Sequence_dealloc(PyObject* self) {
  Py_XDECREF(as_sequence(self)->name);
  Py_XDECREF(as_sequence(self)->seq);
  Py_XDECREF(as_sequence(self)->owner);
  free_object(self);
}

// ---- attributes ------------------------------------------------------------

PyObject* Sequence_get_name(PyObject* self, void*) {
  return guarded([&] { return Py_NewRef(as_sequence(self)->name); });
}
PyObject* Sequence_get_seq(PyObject* self, void*) {
  return guarded([&] { return Py_XNewRef(seq_of(as_sequence(self))); });
}
PyObject* Sequence_get_start(PyObject* self, void*) {
  return guarded([&] { return size_or_none(start_of(as_sequence(self))); });
}
PyObject* Sequence_get_end(PyObject* self, void*) {
  return guarded([&] { return size_or_none(end_of(as_sequence(self))); });
}
PyObject* Sequence_get_comp(PyObject* self, void*) {
  return guarded([&] { return PyBool_FromLong(as_sequence(self)->comp); });
}

int set_text(PyObject** field, PyObject* value, const char* arg) {
  if (value == nullptr) return refuse_delete();
  PyRef text = to_exact_str(value, arg);
  if (!text) return -1;
  PyRef old = PyRef::steal(std::exchange(*field, text.release()));
  return 0;
}

int set_coordinate(std::size_t* field, bool* present, PyObject* value, const char* arg) {
  if (value == nullptr) return refuse_delete();
  std::optional<std::size_t> converted;
  if (!to_optional_size(value, arg, &converted)) return -1;
  *present = converted.has_value();
  *field = converted.value_or(0);
  return 0;
}

int Sequence_set_name(PyObject* self, PyObject* value, void*) {
  return guarded([&] { return set_text(&as_sequence(self)->name, value, "name"); });
}
int Sequence_set_seq(PyObject* self, PyObject* value, void*) {
  return guarded([&]() -> int {
    SequenceObject* s = as_sequence(self);
    if (set_text(&s->seq, value, "seq") < 0) return -1;
    drop_pending(s);
    return 0;
  });
}
int Sequence_set_start(PyObject* self, PyObject* value, void*) {
  return guarded([&] {
    SequenceObject* s = as_sequence(self);
    return set_coordinate(&s->start, &s->has_start, value, "start");
  });
}
int Sequence_set_end(PyObject* self, PyObject* value, void*) {
  return guarded([&] {
    SequenceObject* s = as_sequence(self);
    return set_coordinate(&s->end, &s->has_end, value, "end");
  });
}
int Sequence_set_comp(PyObject* self, PyObject* value, void*) {
  return guarded([&]() -> int {
    if (value == nullptr) return refuse_delete();
    bool comp = false;
    if (!to_bool(value, "comp", &comp)) return -1;
    as_sequence(self)->comp = comp;
    return 0;
  });
}

// ---- names and text forms --------------------------------------------------

PyRef fancy_name_str(const SequenceObject* s) {
  std::string_view name;
  if (!residues(s->name, &name)) return {};
  return text_to_str(fancy_name(name, start_of(s), end_of(s), s->comp));
}

PyObject* Sequence_get_fancy_name(PyObject* self, void*) {
  return guarded([&] { return fancy_name_str(as_sequence(self)).release(); });
}

PyObject* Sequence_get_orientation(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const SequenceObject* s = as_sequence(self);
    const std::optional<int> o = orientation(start_of(s), end_of(s), s->comp);
    if (!o) Py_RETURN_NONE;
    return PyLong_FromLong(*o);
  });
}

PyObject* Sequence_str(PyObject* self) {
  return guarded([&] { return Py_XNewRef(seq_of(as_sequence(self))); });
}

PyObject* Sequence_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    SequenceObject* s = as_sequence(self);
    std::string_view name;
    if (!residues(s->name, &name)) return nullptr;
    PyObject* seq = seq_of(s);
    if (seq == nullptr) return nullptr;
    std::string head(1, '>');
    head += fancy_name(name, start_of(s), end_of(s), s->comp);
    head += '\n';
    PyRef head_str = text_to_str(head);
    if (!head_str) return nullptr;
    return PyUnicode_Concat(head_str.get(), seq);
  });
}

Py_ssize_t Sequence_length(PyObject* self) {
  return guarded([&]() -> Py_ssize_t {
    std::string_view bytes;
    if (!residue_bytes(as_sequence(self), &bytes)) return -1;
    return static_cast<Py_ssize_t>(bytes.size());
  });
}

// ---- equality --------------------------------------------------------------

// Code-point equality of two str objects is byte equality of their UTF-8.
int same_text(PyObject* a, PyObject* b) {
  if (a == b) return 1;
  int order = PyUnicode_Compare(a, b);
  if (order == -1 && PyErr_Occurred()) return -1;
  return order == 0;
}

// Text first, then Sequence; anything else is simply unequal.
int sequence_equals(PyObject* self, PyObject* other) {
  PyObject* seq = seq_of(as_sequence(self));
  if (seq == nullptr) return -1;
  if (PyUnicode_Check(other)) return same_text(seq, other);
  if (!PyObject_TypeCheck(other, sequence_class().get())) return 0;
  PyObject* other_seq = seq_of(as_sequence(other));
  if (other_seq == nullptr) return -1;
  return same_text(seq, other_seq);
}

PyObject* Sequence_richcompare(PyObject* self, PyObject* other, int op) {
  return guarded([&]() -> PyObject* {
    if (op == Py_EQ) {
      int equal = sequence_equals(self, other);
      if (equal < 0) return nullptr;
      return PyBool_FromLong(equal);
    }
    if (op == Py_NE) {
      // Through the full protocol, so a reflected __eq__ of the other
      // operand is honoured.
      PyRef equal = PyRef::steal(PyObject_RichCompare(self, other, Py_EQ));
      if (!equal) return nullptr;
      int truth = PyObject_IsTrue(equal.get());
      if (truth < 0) return nullptr;
      return PyBool_FromLong(!truth);
    }
    Py_RETURN_NOTIMPLEMENTED;
  });
}

// ---- subscript -------------------------------------------------------------

PyObject* sequence_index(const SequenceObject* s, Py_ssize_t k) {
  std::string_view bytes;
  if (!residue_bytes(s, &bytes)) return nullptr;
  const auto len = static_cast<Py_ssize_t>(bytes.size());
  const Py_ssize_t p = k < 0 ? k + len : k;
  if (p < 0 || p >= len) {
    PyErr_SetString(PyExc_IndexError, "Index out of range");
    return nullptr;
  }
  // One-byte ASCII strs come from the interpreter's cache; a lone byte of a
  // multi-byte character decodes to U+FFFD.
  PyRef residue = PyRef::steal(PyUnicode_DecodeUTF8(bytes.data() + p, 1, "replace"));
  if (!residue) return nullptr;
  const Span span = residue_span(start_of(s), static_cast<std::size_t>(p));
  return new_sequence(same_name(s), std::move(residue), span.start, span.end, s->comp).release();
}

PyObject* sequence_slice(const SequenceObject* s, PyObject* slice) {
  // The slice's __index__ may run Python code that replaces this value's
  // residues, so they are looked at only once the slice is resolved.
  Py_ssize_t begin = 0, stop = 0, step = 0;
  if (PySlice_Unpack(slice, &begin, &stop, &step) < 0) return nullptr;
  std::string_view bytes;
  bool ascii;
  if (!residue_bytes(s, &bytes, &ascii)) return nullptr;
  PySlice_AdjustIndices(static_cast<Py_ssize_t>(bytes.size()), &begin, &stop, step);
  const SliceSelection sel = select_slice(bytes.size(), begin, stop, step);
  PyRef picked = build_residues(sel.count, ascii, [&](char* dst) { copy_selection(bytes, sel, dst); });
  if (!picked) return nullptr;
  const Span span = slice_span(span_of(s), sel.lo, sel.hi);
  return new_sequence(same_name(s), std::move(picked), span.start, span.end, s->comp).release();
}

PyObject* Sequence_subscript(PyObject* self, PyObject* key) {
  return guarded([&]() -> PyObject* {
    const SequenceObject* s = as_sequence(self);
    if (PySlice_Check(key)) return sequence_slice(s, key);
    Py_ssize_t k = PyNumber_AsSsize_t(key, PyExc_OverflowError);
    if (k == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "Invalid index type");
      return nullptr;
    }
    return sequence_index(s, k);
  });
}

// Positional access for the generic iteration and containment protocols.
PyObject* Sequence_item(PyObject* self, Py_ssize_t i) {
  return guarded([&]() -> PyObject* {
    PyRef index = PyRef::steal(PyLong_FromSsize_t(i));
    if (!index) return nullptr;
    return Sequence_subscript(self, index.get());
  });
}

// ---- strands ---------------------------------------------------------------

// Complemented residues are always ASCII whatever the input bytes were.
template <class Transform>
PyObject* complemented(PyObject* self, Span span, Transform&& transform) {
  const SequenceObject* s = as_sequence(self);
  std::string_view bytes;
  if (!residue_bytes(s, &bytes)) return nullptr;
  PyRef out = build_residues(bytes.size(), true, [&](char* dst) { transform(bytes, dst); });
  if (!out) return nullptr;
  return new_sequence(same_name(s), std::move(out), span.start, span.end, !s->comp).release();
}

PyObject* Sequence_negative(PyObject* self) {
  return guarded([&] { return complemented(self, swapped(span_of(as_sequence(self))), reverse_complement_into); });
}

PyObject* Sequence_get_complement(PyObject* self, void*) {
  return guarded([&] {
    const SequenceObject* s = as_sequence(self);
    return complemented(self, span_of(s), complement_into);
  });
}

PyObject* Sequence_get_reverse(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const SequenceObject* s = as_sequence(self);
    std::string_view bytes;
    bool ascii;
    if (!residue_bytes(s, &bytes, &ascii)) return nullptr;
    PyRef out = build_residues(bytes.size(), ascii, [&](char* dst) { reverse_into(bytes, dst); });
    if (!out) return nullptr;
    const Span span = swapped(span_of(s));
    return new_sequence(same_name(s), std::move(out), span.start, span.end, s->comp).release();
  });
}

// ---- GC content ------------------------------------------------------------

template <double (*Fraction)(std::string_view) noexcept>
PyObject* gc_property(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    std::string_view bytes;
    if (!residue_bytes(as_sequence(self), &bytes)) return nullptr;
    return PyFloat_FromDouble(Fraction(bytes));
  });
}

// ---- pickling --------------------------------------------------------------

// By value: the constructor takes the five fields back unchanged.
PyObject* Sequence_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    SequenceObject* s = as_sequence(self);
    PyObject* seq = seq_of(s);
    if (seq == nullptr) return nullptr;
    PyRef start = PyRef::steal(size_or_none(start_of(s)));
    PyRef end = PyRef::steal(size_or_none(end_of(s)));
    if (!start || !end) return nullptr;
    return Py_BuildValue("(O(OOOOO))", Py_TYPE(self), s->name, seq, start.get(), end.get(),
                         s->comp ? Py_True : Py_False);
  });
}

// ---- FASTA text ------------------------------------------------------------

// The UTF-8 bytes of a header; text decoded with surrogate escapes (a BED
// file that is not UTF-8) gets its bytes back. `holder` keeps them alive.
bool header_bytes(PyObject* header, PyRef* holder, std::string_view* out) {
  if (!PyUnicode_Check(header)) return argument_type_error("headers", header, "cannot be converted to 'str'");
  if (PyUnicode_IS_ASCII(header)) return str_bytes(header, out);
  *holder = PyRef::steal(PyUnicode_AsEncodedString(header, "utf-8", "surrogateescape"));
  if (!*holder) return false;
  *out = std::string_view(PyBytes_AS_STRING(holder->get()), static_cast<std::size_t>(PyBytes_GET_SIZE(holder->get())));
  return true;
}

// The residues of a Sequence, or the UTF-8 of a str.
bool record_bases(PyObject* item, std::string_view* out) {
  if (PyObject_TypeCheck(item, sequence_class().get())) return residue_bytes(as_sequence(item), out);
  if (PyUnicode_Check(item)) return str_bytes(item, out);
  return argument_type_error("seqs", item, "is neither a Sequence nor a str");
}

// Sequence._fasta(headers, seqs, width): the records as FASTA bytes, each
// header line followed by its bases in lines of `width`. For the command
// line, which writes many records at once; the bases of batch results are
// read where they are, without making their strs.
PyObject* Sequence_fasta(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"headers", "seqs", "width"};
    PyObject* bound[3];
    std::size_t width = 0;
    if (!bind_fastcall({"_fasta", names, 3}, args, nargs, kwnames, bound) || !to_size(bound[2], "width", &width)) {
      return nullptr;
    }
    if (width == 0) return raise_text(PyExc_ValueError, "width must be positive");
    // Tuples of the items as given: nothing below runs Python code, but the
    // views must outlive every change the caller could make.
    PyRef headers = PyRef::steal(PySequence_Tuple(bound[0]));
    PyRef seqs = headers ? PyRef::steal(PySequence_Tuple(bound[1])) : PyRef();
    if (!seqs) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(headers.get());
    if (PyTuple_GET_SIZE(seqs.get()) != n) return raise_text(PyExc_ValueError, "headers and seqs differ in length");
    std::vector<PyRef> holders(static_cast<std::size_t>(n));
    std::vector<std::pair<std::string_view, std::string_view>> records(static_cast<std::size_t>(n));
    std::size_t total = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
      auto& [header, bases] = records[static_cast<std::size_t>(i)];
      if (!header_bytes(PyTuple_GET_ITEM(headers.get(), i), &holders[static_cast<std::size_t>(i)], &header) ||
          !record_bases(PyTuple_GET_ITEM(seqs.get(), i), &bases)) {
        return nullptr;
      }
      if (__builtin_add_overflow(total, fasta_record_size(header.size(), bases.size(), width), &total) ||
          total > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        return PyErr_NoMemory();
      }
    }
    PyRef out = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    if (!out) return nullptr;
    char* at = PyBytes_AS_STRING(out.get());
    for (const auto& [header, bases] : records) at = write_fasta_record(at, header, bases, width);
    return out.release();
  });
}

PyMethodDef Sequence_methods[] = {
    {"__reduce__", Sequence_reduce, METH_NOARGS, "__reduce__($self)\n--\n\nPickle support: the five fields."},
    {"_fasta", method(Sequence_fasta), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "_fasta(headers, seqs, width)\n--\n\nRecords as FASTA bytes: each header line, then its bases in lines of width."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- type ------------------------------------------------------------------

PyGetSetDef Sequence_getset[] = {
    {"name", Sequence_get_name, Sequence_set_name, "Name of the sequence the residues come from.", nullptr},
    {"seq", Sequence_get_seq, Sequence_set_seq, "The residues.", nullptr},
    {"start", Sequence_get_start, Sequence_set_start, "Coordinate of the first residue, or None.", nullptr},
    {"end", Sequence_get_end, Sequence_set_end, "Coordinate of the last residue, or None.", nullptr},
    {"comp", Sequence_get_comp, Sequence_set_comp, "True when seq holds complemented residues.", nullptr},
    {"fancy_name", Sequence_get_fancy_name, nullptr, "'name:start-end', with ' (complement)' when comp.", nullptr},
    {"long_name", Sequence_get_fancy_name, nullptr, "The same text as fancy_name.", nullptr},
    {"orientation", Sequence_get_orientation, nullptr,
     "1 for a forward region, -1 for a reverse complemented one, else None.", nullptr},
    {"complement", Sequence_get_complement, nullptr, "The complemented residues, same order.", nullptr},
    {"reverse", Sequence_get_reverse, nullptr, "The residues in reverse order, coordinates exchanged.", nullptr},
    {"gc", gc_property<gc_fraction>, nullptr, "Fraction of G and C over all residues.", nullptr},
    {"gc_strict", gc_property<gc_strict_fraction>, nullptr, "Fraction of G and C among A, C, G and T.", nullptr},
    {"gc_iupac", gc_property<gc_iupac_fraction>, nullptr, "GC fraction with partial weights for IUPAC ambiguity codes.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kSequenceDoc[] =
    "Sequence(name=..., seq=..., start=None, end=None, comp=False)\n--\n\n"
    "A named stretch of residues with the coordinates it was taken from.\n\n"
    "-s is the reverse complement.";

PyType_Slot Sequence_slots[] = {
    {Py_tp_new, slot(Sequence_new)},
    {Py_tp_dealloc, slot(Sequence_dealloc)},
    {Py_tp_doc, const_cast<char*>(kSequenceDoc)},
    {Py_tp_str, slot(Sequence_str)},
    {Py_tp_repr, slot(Sequence_repr)},
    {Py_tp_richcompare, slot(Sequence_richcompare)},
    {Py_tp_hash, slot(PyObject_HashNotImplemented)},
    {Py_tp_getset, Sequence_getset},
    {Py_tp_methods, Sequence_methods},
    {Py_mp_length, slot(Sequence_length)},
    {Py_mp_subscript, slot(Sequence_subscript)},
    {Py_sq_item, slot(Sequence_item)},
    {Py_nb_negative, slot(Sequence_negative)},
    {0, nullptr},
};

PyType_Spec Sequence_spec = {
    .name = "gelvo.Sequence",
    .basicsize = sizeof(SequenceObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = Sequence_slots,
};

TypeHandle the_class{&Sequence_spec};

}  // namespace

TypeHandle& sequence_class() noexcept { return the_class; }

namespace {

// A new object with everything but its residues set (those start out null).
PyRef alloc_sequence(PyRef name, std::optional<std::size_t> start, std::optional<std::size_t> end, bool comp) {
  PyRef obj = PyRef::steal(the_class.alloc());
  if (!obj) return {};
  SequenceObject* s = as_sequence(obj.get());
  s->name = name.release();
  s->start = start.value_or(0);
  s->end = end.value_or(0);
  s->has_start = start.has_value();
  s->has_end = end.has_value();
  s->comp = comp;
  return obj;
}

}  // namespace

PyRef new_sequence(PyRef name, PyRef seq, std::optional<std::size_t> start, std::optional<std::size_t> end, bool comp) {
  if (!name || !seq) return {};
  PyRef obj = alloc_sequence(std::move(name), start, end, comp);
  if (obj) as_sequence(obj.get())->seq = seq.release();
  return obj;
}

PyRef new_pending_sequence(PyRef name, PyObject* owner, std::string_view residues, std::optional<std::size_t> start,
                           std::optional<std::size_t> end, bool comp) {
  if (!name) return {};
  PyRef obj = alloc_sequence(std::move(name), start, end, comp);
  if (!obj) return {};
  SequenceObject* s = as_sequence(obj.get());
  s->owner = Py_NewRef(owner);
  s->pending = residues.data();
  s->pending_length = residues.size();
  return obj;
}

PyObject* sequence_str(PyObject* sequence) { return seq_of(as_sequence(sequence)); }

PyRef wrap_sequence(const Sequence& value) {
  return new_sequence(text_to_str(value.name), text_to_str(value.seq), value.start, value.end, value.comp);
}

}  // namespace gelvo::py
