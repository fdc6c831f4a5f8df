// Byte tables of the residue operations and the vector kernels built on
// them. Internal to src/sequence.
//
// The vector kernels cannot index a 256-byte table, so they look letters up
// by their low five bits (A and a both give 1) in 32-entry tables derived
// here, at compile time, from the 256-byte tables, and check the derivation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace gelvo::residues {

constexpr std::array<std::uint8_t, 256> make_complement_table() {
  std::array<std::uint8_t, 256> table{};
  for (auto& entry : table) entry = 'N';
  constexpr const char* pairs[] = {"AT", "BV", "CG", "DH", "GC", "HD", "KM", "MK", "RY", "SS", "TA",
                                   "VB", "WW", "XX", "YR", "at", "bv", "cg", "dh", "gc", "hd", "km",
                                   "mk", "nn", "ry", "ss", "ta", "vb", "ww", "xx", "yr"};
  for (const char* pair : pairs) table[static_cast<unsigned char>(pair[0])] = static_cast<std::uint8_t>(pair[1]);
  return table;
}

constexpr std::array<std::uint8_t, 256> kComplement = make_complement_table();

constexpr bool is_letter(unsigned b) { return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'); }

// Upper-case complement of each letter by its low five bits, 0 for a letter
// whose complement is the default N. N itself is listed (as N): its lower
// case has an entry of its own, and upper-case N maps to N anyway.
constexpr std::array<std::uint8_t, 32> make_letter_complement() {
  std::array<std::uint8_t, 32> table{};
  for (unsigned b = 'a'; b <= 'z'; ++b) {
    const std::uint8_t comp = kComplement[b];
    if (comp >= 'a' && comp <= 'z') table[b & 0x1f] = static_cast<std::uint8_t>(comp - 0x20);
  }
  return table;
}

constexpr std::array<std::uint8_t, 32> kLetterComplement = make_letter_complement();

// The rule the kernels apply: a letter with a listed complement keeps its
// case, every other byte becomes N.
constexpr std::uint8_t complement_by_letter(unsigned b) {
  const std::uint8_t upper = is_letter(b) ? kLetterComplement[b & 0x1f] : 0;
  return upper ? static_cast<std::uint8_t>(upper | (b & 0x20)) : std::uint8_t{'N'};
}

constexpr bool letter_rule_matches_table() {
  for (unsigned b = 0; b < 256; ++b) {
    if (complement_by_letter(b) != kComplement[b]) return false;
  }
  return true;
}
static_assert(letter_rule_matches_table());

// gc_iupac classes. The numerator must equal the in-order double sum of the
// weights bit for bit, so it cannot simply be count * weight. Exact weights
// (1, 0.5, 0.25 and 0) are also kept as quarters; 0.67 and 0.33 are inexact.
struct IupacClass {
  double weight = 0.0;
  std::uint8_t quarters = 0;
  bool counted = false;
  bool inexact = false;
};

constexpr std::array<IupacClass, 256> make_iupac_table() {
  std::array<IupacClass, 256> table{};
  auto set = [&table](const char* letters, double weight, std::uint8_t quarters, bool inexact) {
    for (const char* c = letters; *c; ++c) {
      const IupacClass cls{weight, quarters, true, inexact};
      table[static_cast<unsigned char>(*c)] = cls;
      table[static_cast<unsigned char>(*c) + ('a' - 'A')] = cls;
    }
  };
  set("CGS", 1.0, 4, false);
  set("BV", 0.67, 0, true);
  set("DH", 0.33, 0, true);
  set("KMRY", 0.5, 2, false);
  set("N", 0.25, 1, false);
  set("ATW", 0.0, 0, false);
  return table;
}

constexpr std::array<IupacClass, 256> kIupac = make_iupac_table();

// A class code per letter for the kernels: quarters in bits 0-2, counted in
// bit 3, inexact in bit 4; 0 for letters that are not counted.
constexpr std::uint8_t kCodeCounted = 0x08;
constexpr std::uint8_t kCodeInexact = 0x10;

constexpr std::uint8_t iupac_code(const IupacClass& cls) {
  return static_cast<std::uint8_t>(cls.quarters | (cls.counted ? kCodeCounted : 0) | (cls.inexact ? kCodeInexact : 0));
}

constexpr std::array<std::uint8_t, 32> make_letter_iupac() {
  std::array<std::uint8_t, 32> table{};
  for (unsigned b = 'a'; b <= 'z'; ++b) table[b & 0x1f] = iupac_code(kIupac[b]);
  return table;
}

constexpr std::array<std::uint8_t, 32> kLetterIupac = make_letter_iupac();

constexpr bool iupac_letter_rule_matches_table() {
  for (unsigned b = 0; b < 256; ++b) {
    const std::uint8_t code = is_letter(b) ? kLetterIupac[b & 0x1f] : 0;
    if (code != iupac_code(kIupac[b])) return false;
  }
  return true;
}
static_assert(iupac_letter_rule_matches_table());

struct GcCounts {
  std::size_t gc = 0;    // C, G, c, g
  std::size_t acgt = 0;  // A, C, G, T in either case
};

struct IupacTally {
  std::size_t quarters = 0;
  std::size_t counted = 0;
  bool inexact = false;
};

// Vector kernels. Each handles a prefix of its input whose length it
// returns (0 when the processor lacks the instructions); the caller finishes
// the rest with the tables. n may be anything.
//
// reverse_complement_vector writes dst[0, k) from the last k bytes of src.
std::size_t complement_vector(const unsigned char* src, std::size_t n, char* dst) noexcept;
std::size_t reverse_complement_vector(const unsigned char* src, std::size_t n, char* dst) noexcept;
// Reverse complements text[0, n) in place from both ends and returns k, the
// bytes done at each end: text[k, n - k) is left for the caller.
std::size_t reverse_complement_in_place_vector(char* text, std::size_t n) noexcept;
// Add the counts of the prefix they handle to *out.
std::size_t count_gc_vector(const unsigned char* p, std::size_t n, GcCounts* out) noexcept;
std::size_t tally_iupac_vector(const unsigned char* p, std::size_t n, IupacTally* out) noexcept;

}  // namespace gelvo::residues
