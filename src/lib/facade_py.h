// The dictionary facade: Fasta, FastaRecord, FastaIterator,
// SequenceIterator and MutableFastaRecord.
#pragma once

#include <Python.h>

#include <cstddef>

#include "binding/pyref.h"
#include "binding/types.h"

namespace gelvo::py {

// The classes.
TypeHandle& fasta_class() noexcept;
TypeHandle& fasta_record_class() noexcept;
TypeHandle& fasta_iterator_class() noexcept;
TypeHandle& sequence_iterator_class() noexcept;
TypeHandle& mutable_fasta_record_class() noexcept;

// A new FastaRecord for name (an exact str, taken over) of fasta
// (borrowed; the record keeps a reference). Null with an exception set.
PyRef new_fasta_record(PyObject* fasta, PyRef name);

// A new FastaIterator over `names` (a list of exact str, taken over).
PyRef new_fasta_iterator(PyObject* fasta, PyRef names);

// A new SequenceIterator over the chunks of record `name` (exact str,
// borrowed) of fasta.
PyRef new_sequence_iterator(PyObject* fasta, PyObject* name, std::size_t chunk, std::size_t length);

}  // namespace gelvo::py
