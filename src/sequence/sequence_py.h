// The Python class Sequence.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>

#include "lib/pyref.h"
#include "sequence/sequence.h"

namespace gelvo::py {

// The object layout: one Sequence value with its two texts held as exact
// str objects, so that reading `seq` or `str(s)` costs no copy.
struct SequenceObject {
  PyObject_HEAD
  PyObject* name;  // exact str, owned, never null
  PyObject* seq;   // exact str, owned, never null
  std::size_t start;
  std::size_t end;
  bool has_start;
  bool has_end;
  bool comp;
};

// Creates the class once per process; returns a new reference to it.
PyObject* create_sequence_type();
// The class created above (borrowed); null before the module registered it.
PyTypeObject* sequence_type() noexcept;

// A new Sequence object. name and seq must be exact str objects; their
// references are taken over. A null one (a failed conversion) gives null
// with its exception left set, so results of text_to_str can go straight in.
PyRef new_sequence(PyRef name, PyRef seq, std::optional<std::size_t> start, std::optional<std::size_t> end,
                   bool comp);
// A new Sequence object made from an engine value.
PyRef wrap_sequence(const Sequence& value);

}  // namespace gelvo::py
