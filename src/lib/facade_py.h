// The dictionary facade: Fasta, FastaRecord, FastaIterator,
// SequenceIterator and MutableFastaRecord.
#pragma once

#include <Python.h>

namespace gelvo::py {

// Each creates its class once per process and returns a new reference.
PyObject* create_fasta_type();
PyObject* create_fasta_record_type();
PyObject* create_fasta_iterator_type();
PyObject* create_sequence_iterator_type();
PyObject* create_mutable_fasta_record_type();

}  // namespace gelvo::py
