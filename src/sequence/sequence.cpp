#include "sequence/sequence.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "sequence/residue_tables.h"

namespace gelvo {

namespace {

using residues::kComplement;

inline const unsigned char* bytes_of(std::string_view s) noexcept {
  return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

std::string fancy_name(std::string_view name, std::optional<std::size_t> start, std::optional<std::size_t> end,
                       bool comp) {
  std::string out(name);
  if (start && end) {
    out += ':';
    out += std::to_string(*start);
    out += '-';
    out += std::to_string(*end);
  }
  if (comp) out += " (complement)";
  return out;
}

std::optional<int> orientation(std::optional<std::size_t> start, std::optional<std::size_t> end, bool comp) noexcept {
  if (!start || !end) return std::nullopt;
  if (*start < *end && !comp) return 1;
  if (*start > *end && comp) return -1;
  return std::nullopt;
}

void complement_into(std::string_view src, char* dst) noexcept {
  const unsigned char* p = bytes_of(src);
  const std::size_t n = src.size();
  for (std::size_t i = residues::complement_vector(p, n, dst); i < n; ++i) {
    dst[i] = static_cast<char>(kComplement[p[i]]);
  }
}

void reverse_into(std::string_view src, char* dst) noexcept {
  const unsigned char* p = bytes_of(src);
  const std::size_t n = src.size();
  std::size_t i = 0;
  // Eight bytes at a time through a byte swap; bytes sit in a word in memory
  // order only on little-endian hosts.
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + 8 <= n; i += 8) {
      std::uint64_t w;
      std::memcpy(&w, p + n - i - 8, sizeof w);
      w = __builtin_bswap64(w);
      std::memcpy(dst + i, &w, sizeof w);
    }
  }
  for (; i < n; ++i) dst[i] = static_cast<char>(p[n - 1 - i]);
}

void reverse_complement_into(std::string_view src, char* dst) noexcept {
  const unsigned char* p = bytes_of(src);
  const std::size_t n = src.size();
  for (std::size_t i = residues::reverse_complement_vector(p, n, dst); i < n; ++i) {
    dst[i] = static_cast<char>(kComplement[p[n - 1 - i]]);
  }
}

void reverse_complement_in_place(char* text, std::size_t n) noexcept {
  // Both ends a vector at a time, then the middle (under 32 bytes) a byte
  // pair at a time.
  std::size_t i = residues::reverse_complement_in_place_vector(text, n);
  std::size_t j = n - i;
  while (j > i + 1) {
    --j;
    const char left = static_cast<char>(kComplement[static_cast<unsigned char>(text[i])]);
    text[i] = static_cast<char>(kComplement[static_cast<unsigned char>(text[j])]);
    text[j] = left;
    ++i;
  }
  if (j == i + 1) text[i] = static_cast<char>(kComplement[static_cast<unsigned char>(text[i])]);
}

Sequence reverse(const Sequence& s) {
  const Span span = swapped({s.start, s.end});
  Sequence out{s.name, std::string(s.seq.size(), '\0'), span.start, span.end, s.comp};
  reverse_into(s.seq, out.seq.data());
  return out;
}

Sequence reverse_complement(const Sequence& s) {
  const Span span = swapped({s.start, s.end});
  Sequence out{s.name, std::string(s.seq.size(), '\0'), span.start, span.end, !s.comp};
  reverse_complement_into(s.seq, out.seq.data());
  return out;
}

void copy_selection(std::string_view src, const SliceSelection& sel, char* dst) noexcept {
  if (sel.count == 0) return;
  if (sel.stride == 1) {
    std::memcpy(dst, src.data() + sel.first, sel.count);
    return;
  }
  // Positions, not pointers: a negative stride steps past the front after
  // the last pick, where a pointer may not go.
  auto pos = static_cast<std::ptrdiff_t>(sel.first);
  for (std::size_t i = 0; i < sel.count; ++i, pos += sel.stride) dst[i] = src[static_cast<std::size_t>(pos)];
}

namespace {

using residues::GcCounts;
using residues::IupacTally;
using residues::kIupac;

GcCounts count_gc(const unsigned char* p, std::size_t n) noexcept {
  GcCounts counts;
  for (std::size_t i = residues::count_gc_vector(p, n, &counts); i < n; ++i) {
    const unsigned char folded = p[i] | 0x20;
    const bool gc = folded == 'c' || folded == 'g';
    counts.gc += gc;
    counts.acgt += gc || folded == 'a' || folded == 't';
  }
  return counts;
}

IupacTally tally_iupac(const unsigned char* p, std::size_t n) noexcept {
  IupacTally tally;
  for (std::size_t i = residues::tally_iupac_vector(p, n, &tally); i < n; ++i) {
    tally.quarters += kIupac[p[i]].quarters;
    tally.counted += kIupac[p[i]].counted;
    tally.inexact = tally.inexact || kIupac[p[i]].inexact;
  }
  return tally;
}

constexpr std::size_t kIupacBlock = 256;
// Below this every multiple of 0.25 is a double, so sums of exact weights
// never round.
constexpr double kQuarterGridLimit = 0x1p51;

// True when adding `quarters` quarter weights one at a time to sum could not
// round at any step, so one addition of their total gives the same bits.
// On the quarter grid (no inexact weight added yet) that holds below 2^51.
// Off it, it holds while every partial sum stays in sum's binade, whose
// spacing then divides 0.25.
bool exact_in_one_step(double sum, bool on_quarter_grid, double added) noexcept {
  const double total = sum + added;
  if (on_quarter_grid) return total < kQuarterGridLimit;
  int exponent = 0;
  std::frexp(sum, &exponent);  // sum is in [2^(exponent-1), 2^exponent)
  if (exponent > 51) return false;
  // Exact subtraction: sum is at least half of the power of two.
  return added < std::ldexp(1.0, exponent) - sum;
}

}  // namespace

double gc_fraction(std::string_view seq) noexcept {
  if (seq.empty()) return 0.0;
  const GcCounts counts = count_gc(bytes_of(seq), seq.size());
  return static_cast<double>(counts.gc) / static_cast<double>(seq.size());
}

double gc_strict_fraction(std::string_view seq) noexcept {
  const GcCounts counts = count_gc(bytes_of(seq), seq.size());
  if (counts.acgt == 0) return 0.0;
  return static_cast<double>(counts.gc) / static_cast<double>(counts.acgt);
}

double gc_iupac_fraction(std::string_view seq) noexcept {
  const unsigned char* p = bytes_of(seq);
  std::size_t n = seq.size();
  double sum = 0.0;
  std::size_t counted = 0;
  bool on_quarter_grid = true;
  while (n > 0) {
    const std::size_t m = std::min(n, kIupacBlock);
    const IupacTally tally = tally_iupac(p, m);
    const double added = static_cast<double>(tally.quarters) * 0.25;
    if (!tally.inexact && exact_in_one_step(sum, on_quarter_grid, added)) {
      sum += added;
    } else {
      // Adding 0.0 leaves a non-negative sum unchanged, so every byte can go
      // through the same addition without a branch.
      for (std::size_t i = 0; i < m; ++i) sum += kIupac[p[i]].weight;
      on_quarter_grid = on_quarter_grid && !tally.inexact && sum < kQuarterGridLimit;
    }
    counted += tally.counted;
    p += m;
    n -= m;
  }
  if (counted == 0) return 0.0;
  return sum / static_cast<double>(counted);
}

std::size_t fasta_record_size(std::size_t header, std::size_t bases, std::size_t width) noexcept {
  const std::size_t lines = bases / width + (bases % width != 0);
  std::size_t size;
  if (__builtin_add_overflow(header, bases, &size) || __builtin_add_overflow(size, lines + 2, &size)) {
    return SIZE_MAX;
  }
  return size;
}

char* write_fasta_record(char* out, std::string_view header, std::string_view bases, std::size_t width) noexcept {
  *out++ = '>';
  std::memcpy(out, header.data(), header.size());
  out += header.size();
  *out++ = '\n';
  for (std::size_t at = 0; at < bases.size(); at += width) {
    const std::size_t n = std::min(width, bases.size() - at);
    std::memcpy(out, bases.data() + at, n);
    out += n;
    *out++ = '\n';
  }
  return out;
}

void count_bytes(std::string_view text, std::array<std::uint64_t, 256>& counts) noexcept {
  // Four tables, so that runs of one byte (long in DNA) do not make every
  // increment wait for the previous one to the same counter. 32-bit
  // counters are flushed before they can overflow.
  constexpr std::size_t kFlushEvery = std::size_t{1} << 30;
  const unsigned char* p = bytes_of(text);
  std::size_t n = text.size();
  while (n > 0) {
    const std::size_t m = std::min(n, kFlushEvery);
    std::uint32_t table[4][256] = {};
    std::size_t i = 0;
    for (; i + 4 <= m; i += 4) {
      ++table[0][p[i]];
      ++table[1][p[i + 1]];
      ++table[2][p[i + 2]];
      ++table[3][p[i + 3]];
    }
    for (; i < m; ++i) ++table[0][p[i]];
    for (std::size_t b = 0; b < 256; ++b)
      counts[b] += std::uint64_t{table[0][b]} + table[1][b] + table[2][b] + table[3][b];
    p += m;
    n -= m;
  }
}

}  // namespace gelvo
