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

// A coordinate plus an offset, absent when the sum leaves the size range.
std::optional<std::size_t> offset(std::size_t base, std::size_t delta) noexcept {
  std::size_t sum;
  if (__builtin_add_overflow(base, delta, &sum)) return std::nullopt;
  return sum;
}

}  // namespace

constinit const std::array<std::uint8_t, 256> COMPLEMENT_TABLE = kComplement;

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

std::string Sequence::fancy_name() const { return gelvo::fancy_name(name, start, end, comp); }

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

Sequence reverse(const Sequence& s) {
  Sequence out{s.name, std::string(s.seq.size(), '\0'), s.start, s.end, s.comp};
  reverse_into(s.seq, out.seq.data());
  if (s.start && s.end) std::swap(out.start, out.end);
  return out;
}

Sequence reverse_complement(const Sequence& s) {
  Sequence out{s.name, std::string(s.seq.size(), '\0'), s.start, s.end, !s.comp};
  reverse_complement_into(s.seq, out.seq.data());
  if (s.start && s.end) std::swap(out.start, out.end);
  return out;
}

SliceSelection select_slice(std::size_t len, std::ptrdiff_t begin, std::ptrdiff_t stop, std::ptrdiff_t step) noexcept {
  const auto slen = static_cast<std::ptrdiff_t>(len);
  SliceSelection sel;
  sel.stride = step;
  if (step > 0) {
    const std::ptrdiff_t a = std::max<std::ptrdiff_t>(begin, 0);
    const std::ptrdiff_t b = (stop < 0 || stop > slen) ? slen : stop;
    sel.lo = static_cast<std::size_t>(a);
    sel.hi = static_cast<std::size_t>(b);
    if (a < b) {
      sel.first = sel.lo;
      sel.count = (sel.hi - sel.lo - 1) / static_cast<std::size_t>(step) + 1;
    }
    return sel;
  }
  // The last position stands in for a begin outside the value, even one
  // before its start: that is the rule callers rely on, not Python's.
  const std::ptrdiff_t last = slen == 0 ? 0 : slen - 1;
  const std::ptrdiff_t c = (begin < 0 || begin > last) ? last : begin;
  stop = std::max<std::ptrdiff_t>(stop, -1);
  if (stop > c) {
    sel.lo = sel.hi = static_cast<std::size_t>(c);
    return sel;
  }
  sel.lo = static_cast<std::size_t>(stop + 1);
  sel.hi = static_cast<std::size_t>(c + 1);
  // stop == c names an empty span at c + 1; there is nothing to pick.
  if (len > 0 && stop < c) {
    sel.first = static_cast<std::size_t>(c);
    // -step cannot overflow: resolved steps are never below -PY_SSIZE_T_MAX.
    sel.count = (sel.hi - 1 - sel.lo) / static_cast<std::size_t>(-step) + 1;
  }
  return sel;
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

Span slice_span(std::optional<std::size_t> start, std::optional<std::size_t> end, std::size_t lo,
                std::size_t hi) noexcept {
  if (!start || !end) return {};
  const std::size_t s = *start;
  std::optional<std::size_t> last;
  if (hi > 0) {
    last = offset(s, hi - 1);
  } else if (s > 0) {
    last = s - 1;
  }
  return {offset(s, lo), last};
}

Span residue_span(std::optional<std::size_t> start, std::size_t p) noexcept {
  if (!start) return {};
  std::optional<std::size_t> at = offset(*start, p);
  return {at, at};
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

}  // namespace gelvo
