// Every coordinate rule of gelvo: what a region request becomes on a
// sequence of known length (three rule sets), which coordinates a result
// reports under the options, what a slice picks and the span it names,
// record positions and chunks, and the exchange of coordinates on the
// reverse strand. Pure arithmetic on sizes: no file, no index, no Python.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "errors/error.h"

namespace gelvo {

// Coordinates a value reports; either may be absent.
struct Span {
  std::optional<std::size_t> start;
  std::optional<std::size_t> end;
};

// The reverse strand: start and end exchanged when both are present.
Span swapped(Span span) noexcept;

// ---------------------------------------------------------------- regions

// A request after the region rules: the bases s..e (1-based, inclusive) of
// the sequence, or an empty result that reports empty_start and empty_end
// unchanged, whatever the options say.
struct Region {
  bool empty = true;
  std::size_t s = 0;
  std::size_t e = 0;
  std::size_t empty_start = 0;
  std::size_t empty_end = 0;

  // Bases to read. The whole of an empty sequence is 1..0: count 0.
  std::size_t count() const noexcept { return e - s + 1; }
};

// Receives each warning text of the lenient rules (without "WARNING: ").
using WarningSink = void (*)(std::string_view text);

// The rules of a single fetch on `name` of `length` bases. Lenient: a
// coordinate past the end warns and is clamped (a start past the end gives
// the empty result start..start); a 0 or a start after the end warns and
// gives an empty result. Strict: each of those fails with a Bounds error
// instead, with the same text.
Result<Region> checked_region(std::string_view name, std::size_t length, std::size_t start, std::size_t end,
                              bool strict, WarningSink warn);
// The silent rules of worker threads: both ends pulled into 1..length and a
// reversed region empty; strict fails with the Region error "Invalid region
// name:start-end (sequence length: L)".
Result<Region> silent_region(std::string_view name, std::size_t length, std::size_t start, std::size_t end,
                             bool strict);
// The whole sequence, with no rules at all.
Region whole_region(std::size_t length) noexcept;

// How results report coordinates: not at all (as_raw), or with a 1-based or
// 0-based start (the end is the same either way).
struct CoordinateStyle {
  bool as_raw = false;
  bool one_based = true;
};

// The coordinates a result of `region` reports under `style`.
Span result_span(const Region& region, CoordinateStyle style) noexcept;

// ---------------------------------------------------------------- slices

// The residues picked by a slice and the span it names. The span [lo, hi)
// is that of the slice, not of the picked residues, and is always given in
// ascending form, also for negative steps.
struct SliceSelection {
  std::size_t first = 0;      // position of the first picked byte
  std::size_t count = 0;      // number of picked bytes
  std::ptrdiff_t stride = 1;  // distance from one picked byte to the next
  std::size_t lo = 0;
  std::size_t hi = 0;
};

// begin, stop and step as slice.indices(len) resolves them (step != 0).
SliceSelection select_slice(std::size_t len, std::ptrdiff_t begin, std::ptrdiff_t stop, std::ptrdiff_t step) noexcept;

// Coordinates of a part of a value, counted upward from the value's start.
// A coordinate that the unsigned size cannot hold (an end before position 0
// when start is 0, or a sum past the top of the range) is absent rather than
// wrapped, so the result never claims a region it does not name.
//
// The span [lo, hi) of a slice: present only when the source has both
// coordinates (the value of end is not used).
Span slice_span(Span source, std::size_t lo, std::size_t hi) noexcept;
// The single residue at offset p: present whenever start is.
Span residue_span(std::optional<std::size_t> start, std::size_t p) noexcept;

// ---------------------------------------------------------------- records

// The 1-based position of item i of a record of `length` bases (negative i
// counts from the end). Positions before the first base have no unsigned
// form: they are 0, which the fetch refuses like any position outside.
std::size_t record_position(std::ptrdiff_t i, std::size_t length) noexcept;

// A record's slice as given: each part is absent when it is None or not an
// integer the signed size holds.
struct SliceParts {
  std::optional<std::ptrdiff_t> start;
  std::optional<std::ptrdiff_t> stop;
  std::optional<std::ptrdiff_t> step;
  bool start_is_none = false;
  bool stop_is_none = false;
};

// Whether the slice names the whole record in one of the two forms served
// by the whole-sequence fetch: [:] with no step or step 1, or [0:length].
bool names_whole_record(const SliceParts& parts, std::size_t length) noexcept;

// A record slice with a step other than 1, served by reading only the bases
// between the first and the last one picked (`low` + 1 .. `low` + `width`,
// 1-based) and picking from those; it reports the span that slicing the
// region fetch of the whole record would report.
struct SteppedSlice {
  SliceSelection selection;  // positions relative to `low`
  Span span;
  std::size_t low = 0;
  std::size_t width = 0;  // 0 when nothing is picked
};
SteppedSlice stepped_slice(std::size_t length, std::ptrdiff_t begin, std::ptrdiff_t stop, std::ptrdiff_t step,
                           CoordinateStyle style) noexcept;

// Records are walked in chunks of their first line's width. A record whose
// first sequence line is blank has width 0; chunks of that size would never
// advance, so such a record is one chunk.
std::size_t record_chunk(std::size_t line_width, std::size_t length) noexcept;
// Last base of the chunk that begins at position (1 <= position <= length).
std::size_t chunk_last(std::size_t position, std::size_t chunk, std::size_t length) noexcept;

}  // namespace gelvo
