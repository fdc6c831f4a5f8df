// The Python class Sequence.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <string_view>

#include "binding/pyref.h"
#include "binding/types.h"
#include "sequence/sequence.h"

namespace gelvo::py {

// The object layout: one Sequence value with its name held as an exact str
// and its residues either as an exact str (so that reading `seq` or `str(s)`
// costs no copy) or, for results of a parallel batch, as ASCII bytes in
// memory that `owner` keeps alive. Those become a str the first time one is
// needed, and the owner is let go.
struct SequenceObject {
  PyObject_HEAD
  PyObject* name;   // exact str, owned, never null
  PyObject* seq;    // exact str, owned; null while the residues are pending
  PyObject* owner;  // keeps pending residues alive; null once seq is set
  const char* pending;
  std::size_t pending_length;
  std::size_t start;
  std::size_t end;
  bool has_start;
  bool has_end;
  bool comp;
};

// The class.
TypeHandle& sequence_class() noexcept;

// A new Sequence object. name and seq must be exact str objects; their
// references are taken over. A null one (a failed conversion) gives null
// with its exception left set, so results of text_to_str can go straight in.
PyRef new_sequence(PyRef name, PyRef seq, std::optional<std::size_t> start, std::optional<std::size_t> end, bool comp);
// A new Sequence object whose residues are the ASCII bytes `residues`,
// which `owner` keeps alive (a new reference to it is taken).
PyRef new_pending_sequence(PyRef name, PyObject* owner, std::string_view residues, std::optional<std::size_t> start,
                           std::optional<std::size_t> end, bool comp);
// A new Sequence object made from an engine value.
PyRef wrap_sequence(const Sequence& value);
// The residues of a Sequence object as an exact str (borrowed), or null
// with an exception set.
PyObject* sequence_str(PyObject* sequence);

}  // namespace gelvo::py
