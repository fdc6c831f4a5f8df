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

#include "sequence/coordinates.h"

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
};

// "name:start-end" when both coordinates are present, else "name";
// " (complement)" appended when comp is set.
std::string fancy_name(std::string_view name, std::optional<std::size_t> start, std::optional<std::size_t> end,
                       bool comp);

// 1 for a forward region (start < end, not complemented), -1 for a reverse
// complemented one (start > end, complemented), nullopt otherwise, including
// when a coordinate is absent.
std::optional<int> orientation(std::optional<std::size_t> start, std::optional<std::size_t> end, bool comp) noexcept;

// The complement of a byte: IUPAC letters map to their complements (case
// kept), every other byte to 'N', so the result is always an ASCII letter.
//
// Writes src.size() bytes to dst. dst must not overlap src.
void complement_into(std::string_view src, char* dst) noexcept;
void reverse_into(std::string_view src, char* dst) noexcept;
void reverse_complement_into(std::string_view src, char* dst) noexcept;
// The reverse complement of text[0, n) written over itself.
void reverse_complement_in_place(char* text, std::size_t n) noexcept;

// Engine operations on whole values (coordinates swapped when both present).
Sequence reverse(const Sequence& s);
Sequence reverse_complement(const Sequence& s);

// Writes sel.count bytes of src to dst (no overlap). A stride of 1 is one copy.
void copy_selection(std::string_view src, const SliceSelection& sel, char* dst) noexcept;

// GC fractions; each is one pass over the bytes and 0.0 for an empty
// denominator.
double gc_fraction(std::string_view seq) noexcept;
double gc_strict_fraction(std::string_view seq) noexcept;
double gc_iupac_fraction(std::string_view seq) noexcept;

// A record as FASTA text: ">", the header and a line end, then the bases in
// lines of `width` (> 0), each ending in a line end; an empty record is its
// header line alone. fasta_record_size gives the bytes write_fasta_record
// writes (SIZE_MAX when that overflows); it returns the end of what it wrote.
std::size_t fasta_record_size(std::size_t header, std::size_t bases, std::size_t width) noexcept;
char* write_fasta_record(char* out, std::string_view header, std::string_view bases, std::size_t width) noexcept;

// Adds to counts[b] the number of bytes of text equal to b.
void count_bytes(std::string_view text, std::array<std::uint64_t, 256>& counts) noexcept;

}  // namespace gelvo
