// Surviving a FASTA file that shrinks under its mapping.
//
// Reading a mapped page that lies past the end of a file truncated after it
// was mapped raises SIGBUS, which would kill the interpreter. Copies out of
// the mapping run under a guard instead: a SIGBUS on a thread inside a
// guarded copy abandons the copy and reports it, and the caller reads what
// the file still holds through a descriptor. A SIGBUS anywhere else goes to
// the handler that was installed before ours (or the default action).
#pragma once

#include <cstddef>

#include "faidx/source.h"

namespace gelvo {

// Installs the SIGBUS handler, or reinstalls it when something replaced it
// since (it then chains to that handler). Safe to call often; a system call.
void install_fault_handler() noexcept;

// install_fault_handler() when the coarse monotonic clock has moved on since
// the last call of this function in the process (its tick is 1 to 4 ms), or
// else nothing: a clock read without a system call. A handler installed
// since is then replaced at the first fetch a tick later. (Any system call
// costs a random fetch about 300 ns on a virtual machine: the call, and the
// cache and TLB entries it evicts.)
void refresh_fault_handler() noexcept;

// Runs fn(context) under the guard. Returns false when the call was
// abandoned because a mapped file no longer backs the pages it read: fn may
// then stop anywhere, so it must take no lock and allocate nothing.
bool run_guarded(void (*fn)(void*), void* context) noexcept;

// The same for a callable.
template <class F>
bool run_guarded(F& f) noexcept {
  return run_guarded([](void* c) { (*static_cast<F*>(c))(); }, &f);
}

// extract_sequence_from_mmap under the guard. Returns false when the copy
// was abandoned because the mapped file no longer backs the pages read.
bool guarded_extract_from_mmap(const Mapping& mapping, const IndexEntry& entry, std::size_t s, std::size_t count,
                               char* dst, std::size_t* got, bool* plain) noexcept;

}  // namespace gelvo
