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

// Complement of every byte: IUPAC letters map to their complements (case
// kept), every other byte to 'N'.
extern const std::array<std::uint8_t, 256> COMPLEMENT_TABLE;

// Writes src.size() bytes to dst. dst must not overlap src.
void complement_into(std::string_view src, char* dst) noexcept;
void reverse_into(std::string_view src, char* dst) noexcept;
void reverse_complement_into(std::string_view src, char* dst) noexcept;

// Engine operations on whole values (coordinates swapped when both present).
Sequence reverse(const Sequence& s);
Sequence reverse_complement(const Sequence& s);

// GC fractions; each is one pass over the bytes and 0.0 for an empty
// denominator.
double gc_fraction(std::string_view seq) noexcept;
double gc_strict_fraction(std::string_view seq) noexcept;
double gc_iupac_fraction(std::string_view seq) noexcept;

}  // namespace gelvo
