// The Sequence value and the operations on its residues.
//
// Residues are bytes: lengths, positions and tables work on bytes of text.
// Nothing here depends on Python.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gelvo {

// A named stretch of residues with the coordinates it was taken from.
// No invariant ties the fields together: creators decide what start and end
// mean, and the reverse operations exchange them.
struct Sequence {
  std::string name;
  std::string seq;
  std::optional<std::size_t> start;
  std::optional<std::size_t> end;
  bool comp = false;

  // "name:start-end" when both coordinates are present, else "name";
  // " (complement)" appended when comp is set.
  std::string fancy_name() const;
};

// The display name of Sequence::fancy_name for fields held elsewhere (the
// Python object keeps its texts as str objects).
std::string fancy_name(std::string_view name, std::optional<std::size_t> start, std::optional<std::size_t> end,
                       bool comp);

// 1 for a forward region (start < end, not complemented), -1 for a reverse
// complemented one (start > end, complemented), nullopt otherwise, including
// when a coordinate is absent.
std::optional<int> orientation(std::optional<std::size_t> start, std::optional<std::size_t> end, bool comp) noexcept;

// Complement of every byte: IUPAC letters map to their complements (case
// kept), every other byte to 'N'. Every entry is an ASCII letter.
extern const std::array<std::uint8_t, 256> COMPLEMENT_TABLE;

// Writes src.size() bytes to dst. dst must not overlap src.
void complement_into(std::string_view src, char* dst) noexcept;
void reverse_into(std::string_view src, char* dst) noexcept;
void reverse_complement_into(std::string_view src, char* dst) noexcept;

// Engine operations on whole values (coordinates swapped when both present).
Sequence reverse(const Sequence& s);
Sequence reverse_complement(const Sequence& s);

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
// Writes sel.count bytes of src to dst (no overlap). A stride of 1 is one copy.
void copy_selection(std::string_view src, const SliceSelection& sel, char* dst) noexcept;

// Coordinates of a part of a value, counted upward from the value's start.
// A coordinate that the unsigned size cannot hold (an end before position 0
// when start is 0, or a sum past the top of the range) is absent rather than
// wrapped, so the result never claims a region it does not name.
struct Span {
  std::optional<std::size_t> start;
  std::optional<std::size_t> end;
};
// The span [lo, hi) of a slice: present only when the source has both
// coordinates (the value of end is not used).
Span slice_span(std::optional<std::size_t> start, std::optional<std::size_t> end, std::size_t lo,
                std::size_t hi) noexcept;
// The single residue at offset p: present whenever start is.
Span residue_span(std::optional<std::size_t> start, std::size_t p) noexcept;

// GC fractions; each is one pass over the bytes and 0.0 for an empty
// denominator.
double gc_fraction(std::string_view seq) noexcept;
double gc_strict_fraction(std::string_view seq) noexcept;
double gc_iupac_fraction(std::string_view seq) noexcept;

}  // namespace gelvo
