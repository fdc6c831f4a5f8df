#include "sequence/sequence.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace gelvo {

namespace {

constexpr std::array<std::uint8_t, 256> make_complement_table() {
  std::array<std::uint8_t, 256> table{};
  for (auto& entry : table) entry = 'N';
  constexpr const char* pairs[] = {"AT", "BV", "CG", "DH", "GC", "HD", "KM", "MK", "RY", "SS", "TA", "VB",
                                   "WW", "XX", "YR", "at", "bv", "cg", "dh", "gc", "hd", "km", "mk", "nn",
                                   "ry", "ss", "ta", "vb", "ww", "xx", "yr"};
  for (const char* pair : pairs) table[static_cast<unsigned char>(pair[0])] = static_cast<std::uint8_t>(pair[1]);
  return table;
}

// The word tricks below read bytes in memory order as the low lanes of a
// word; on a big-endian host the plain loops run instead.
constexpr bool kLittleEndian = std::endian::native == std::endian::little;

inline std::uint64_t load_word(const unsigned char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

inline void store_word(char* p, std::uint64_t w) noexcept { std::memcpy(p, &w, sizeof w); }

// Complements the eight lanes of a word in place, lane order kept.
inline std::uint64_t complement_word(std::uint64_t w) noexcept {
  std::uint64_t out = 0;
  for (int lane = 0; lane < 8; ++lane) {
    out |= std::uint64_t{COMPLEMENT_TABLE[(w >> (8 * lane)) & 0xff]} << (8 * lane);
  }
  return out;
}

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

constinit const std::array<std::uint8_t, 256> COMPLEMENT_TABLE = make_complement_table();

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

std::optional<int> orientation(std::optional<std::size_t> start, std::optional<std::size_t> end,
                               bool comp) noexcept {
  if (!start || !end) return std::nullopt;
  if (*start < *end && !comp) return 1;
  if (*start > *end && comp) return -1;
  return std::nullopt;
}

void complement_into(std::string_view src, char* dst) noexcept {
  const unsigned char* p = bytes_of(src);
  const std::size_t n = src.size();
  std::size_t i = 0;
  if constexpr (kLittleEndian) {
    for (; i + 8 <= n; i += 8) store_word(dst + i, complement_word(load_word(p + i)));
  }
  for (; i < n; ++i) dst[i] = static_cast<char>(COMPLEMENT_TABLE[p[i]]);
}

void reverse_into(std::string_view src, char* dst) noexcept {
  const unsigned char* p = bytes_of(src);
  const std::size_t n = src.size();
  std::size_t i = 0;
  if constexpr (kLittleEndian) {
    for (; i + 8 <= n; i += 8) store_word(dst + i, __builtin_bswap64(load_word(p + n - i - 8)));
  }
  for (; i < n; ++i) dst[i] = static_cast<char>(p[n - 1 - i]);
}

void reverse_complement_into(std::string_view src, char* dst) noexcept {
  const unsigned char* p = bytes_of(src);
  const std::size_t n = src.size();
  std::size_t i = 0;
  if constexpr (kLittleEndian) {
    for (; i + 8 <= n; i += 8) {
      store_word(dst + i, __builtin_bswap64(complement_word(load_word(p + n - i - 8))));
    }
  }
  for (; i < n; ++i) dst[i] = static_cast<char>(COMPLEMENT_TABLE[p[n - 1 - i]]);
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

SliceSelection select_slice(std::size_t len, std::ptrdiff_t begin, std::ptrdiff_t stop,
                            std::ptrdiff_t step) noexcept {
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
  const char* p = src.data() + sel.first;
  for (std::size_t i = 0; i < sel.count; ++i, p += sel.stride) dst[i] = *p;
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

// Counting runs in byte-wide lanes lets the compiler keep 32 counters in two
// vector registers; each lane takes at most 255 hits before being drained.
constexpr std::size_t kLanes = 32;
constexpr std::size_t kMaxRounds = 255;

inline unsigned char is_gc(unsigned char b) noexcept {
  const unsigned char folded = b | 0x20;
  return static_cast<unsigned char>((folded == 'c') | (folded == 'g'));
}

inline unsigned char is_acgt(unsigned char b) noexcept {
  const unsigned char folded = b | 0x20;
  return static_cast<unsigned char>((folded == 'a') | (folded == 'c') | (folded == 'g') | (folded == 't'));
}

struct GcCounts {
  std::size_t gc = 0;
  std::size_t acgt = 0;
};

template <bool kWithAcgt>
GcCounts count_gc(const unsigned char* p, std::size_t n) noexcept {
  GcCounts counts;
  while (n >= kLanes) {
    const std::size_t rounds = std::min(n / kLanes, kMaxRounds);
    unsigned char gc[kLanes] = {};
    unsigned char acgt[kLanes] = {};
    for (std::size_t r = 0; r < rounds; ++r, p += kLanes) {
      for (std::size_t k = 0; k < kLanes; ++k) {
        gc[k] = static_cast<unsigned char>(gc[k] + is_gc(p[k]));
        if constexpr (kWithAcgt) acgt[k] = static_cast<unsigned char>(acgt[k] + is_acgt(p[k]));
      }
    }
    for (std::size_t k = 0; k < kLanes; ++k) {
      counts.gc += gc[k];
      counts.acgt += acgt[k];
    }
    n -= rounds * kLanes;
  }
  for (; n > 0; --n, ++p) {
    counts.gc += is_gc(*p);
    counts.acgt += is_acgt(*p);
  }
  return counts;
}

// gc_iupac weights. The numerator must equal the in-order double sum of the
// weights bit for bit, so it cannot simply be count * weight. Exact weights
// (1, 0.5, 0.25 and 0) are kept in quarters; 0.67 and 0.33 are inexact.
struct IupacClass {
  double weight;
  std::uint8_t quarters;  // weight * 4 for the exact weights
  bool counted;
  bool inexact;
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

// One word per byte class so a block sums its quarters, counted residues and
// inexact residues in one add per byte: 16 bits per field, enough for
// blocks of up to 16383 bytes.
constexpr std::array<std::uint64_t, 256> make_iupac_packed() {
  std::array<std::uint64_t, 256> packed{};
  for (std::size_t b = 0; b < 256; ++b) {
    packed[b] = kIupac[b].quarters | (std::uint64_t{kIupac[b].counted} << 16) |
                (std::uint64_t{kIupac[b].inexact} << 32);
  }
  return packed;
}

constexpr std::array<std::uint64_t, 256> kIupacPacked = make_iupac_packed();
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
  const GcCounts counts = count_gc<false>(bytes_of(seq), seq.size());
  return static_cast<double>(counts.gc) / static_cast<double>(seq.size());
}

double gc_strict_fraction(std::string_view seq) noexcept {
  const GcCounts counts = count_gc<true>(bytes_of(seq), seq.size());
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
    std::uint64_t acc = 0;
    for (std::size_t i = 0; i < m; ++i) acc += kIupacPacked[p[i]];
    const auto quarters = static_cast<double>(acc & 0xffff);
    const bool has_inexact = (acc >> 32) != 0;
    const double added = quarters * 0.25;
    if (!has_inexact && exact_in_one_step(sum, on_quarter_grid, added)) {
      sum += added;
    } else {
      // Adding 0.0 leaves a non-negative sum unchanged, so every byte can go
      // through the same addition without a branch.
      for (std::size_t i = 0; i < m; ++i) sum += kIupac[p[i]].weight;
      on_quarter_grid = on_quarter_grid && !has_inexact && sum < kQuarterGridLimit;
    }
    counted += (acc >> 16) & 0xffff;
    p += m;
    n -= m;
  }
  if (counted == 0) return 0.0;
  return sum / static_cast<double>(counted);
}

}  // namespace gelvo
