// Fixed-length windows of sequences written straight into a caller's
// buffer, as bytes or one-hot encoded: the batches a sequence model trains
// on, without one value per window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "errors/error.h"
#include "faidx/faidx.h"
#include "sequence/onehot.h"

namespace gelvo {

// Windows of `length` bases. Window i covers bases starts[i] ..
// starts[i] + length - 1 (1-based, inclusive) of the sequence *entries[i],
// or of *entries[0] when entries holds a single entry for every window. A
// window may reach past either end of its sequence or lie wholly outside.
// The spans are viewed, not owned, and must not change during the fill.
struct WindowRequest {
  std::span<const IndexEntry* const> entries;
  std::span<const std::int64_t> starts;
  std::size_t length = 0;
  // Written at the positions outside 1..rlen, as it is, on either strand.
  char pad = 'N';
  // Reverse complemented windows: all of them, or those whose flag is
  // nonzero (one flag per window; empty for none).
  bool reverse_all = false;
  std::span<const unsigned char> reverse;
  // Null writes the bytes themselves; otherwise their encoding.
  const OneHotEncoder* onehot = nullptr;
  // Whether the output is memory written before (a buffer the caller
  // reuses) rather than fresh pages. A large encoded output of reused
  // memory is written around the cache; fresh pages are not, as the kernel
  // has just zeroed them through it.
  bool reused_output = false;

  std::size_t count() const noexcept { return starts.size(); }
  // Bytes one window takes in the output.
  std::size_t row_bytes() const noexcept { return onehot ? length * onehot->width() : length; }
};

// Whether fill_windows runs the request on the worker pool, and so calls
// keep_going: from about a megabyte of output on. Smaller requests run on
// the calling thread, where handing them to other threads costs more than
// it saves.
bool windows_run_in_parallel(const WindowRequest& request) noexcept;

// Asked on the calling thread between two rounds of a large request, every
// few milliseconds; false stops the fill.
using KeepGoing = std::function<bool()>;

// Writes the windows of request into out, which holds count() * row_bytes()
// bytes: row after row, each window's bytes as a fetch of its bases returns
// them (Faidx::extract_prepared after one ByteSource::prepare(), upper-cased
// when the handle says so),
// positions outside the sequence filled with pad, reverse complemented
// (Sequence's complement table) where asked, then encoded if asked. Bases
// the index promises but the file lacks are the handle's default_seq when
// that is one letter, else pad.
//
// Large requests run on WorkerPool::instance() in rounds of a few
// milliseconds, in which the workers claim blocks of windows in order while
// the calling thread waits. keep_going is asked between rounds, when this
// fill does not hold the pool, so it may wait for a lock that another user
// of the pool holds while it waits for the pool.
//
// Returns true when every window is written, false when keep_going stopped
// the fill (the windows of the rounds before are written, the others not),
// or the source's first read error. Throws std::bad_alloc.
Result<bool> fill_windows(const Faidx& faidx, const WindowRequest& request, unsigned char* out,
                          const KeepGoing& keep_going);

}  // namespace gelvo
