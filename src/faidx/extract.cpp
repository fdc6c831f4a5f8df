// Copying bases out of the FASTA file: byte positions from the index
// geometry, and the copy that skips line terminators.
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#include "faidx/source.h"

#if defined(__SSE2__) && !defined(GELVO_NO_SIMD)
#include <emmintrin.h>
#endif

namespace gelvo {

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? std::numeric_limits<std::uint64_t>::max() : r;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<std::uint64_t>::max() : r;
}

}  // namespace

// *plain spares callers another pass over the bytes. Whole line runs move 16
// bytes at a time: the common case is a block without a terminator, stored
// as it is.
std::size_t copy_skipping_line_ends(const unsigned char* p, const unsigned char* end, char* dst, std::size_t count,
                                    std::size_t* consumed, bool* plain) noexcept {
  const unsigned char* const begin = p;
  std::size_t got = 0;
  bool unusual = false;
#if defined(__SSE2__) && !defined(GELVO_NO_SIMD)
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i zero = _mm_setzero_si128();
  // High bits and NUL bytes seen; bytes past a terminator are counted too,
  // which can only make a plain text look unusual, never the reverse.
  __m128i seen = zero;
  while (end - p >= 16 && count - got >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)));
    seen = _mm_or_si128(seen, _mm_or_si128(v, _mm_cmpeq_epi8(v, zero)));
    // Storing all 16 bytes is safe: count - got >= 16, and bytes past the
    // first terminator are overwritten by the next store.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + got), v);
    if (mask == 0) {
      got += 16;
      p += 16;
    } else {
      const int first = __builtin_ctz(static_cast<unsigned>(mask));
      got += static_cast<std::size_t>(first);
      p += first + 1;
    }
  }
  unusual = _mm_movemask_epi8(seen) != 0;
#endif
  while (p < end && got < count) {
    const unsigned char c = *p++;
    if (c != '\n' && c != '\r') {
      unusual |= c == 0 || c >= 0x80;
      dst[got++] = static_cast<char>(c);
    }
  }
  *consumed = static_cast<std::size_t>(p - begin);
  *plain = !unusual;
  return got;
}

namespace {

// The fast path for a record laid out as its index says: every line but
// the last holds lenc bases followed by lenb - lenc terminator bytes. The
// bases are copied a line at a time at known offsets, so no copy waits on
// the search for the previous line's end; the layout is verified on the way
// (no CR or LF inside a line, only CR or LF between lines), and any
// deviation returns false so the caller falls back to the scanning copy.
// The result then equals the scanning copy's byte for byte.
bool copy_by_lines(const unsigned char* p, const unsigned char* limit, char* dst, std::size_t count, std::size_t column,
                   const IndexEntry& entry, bool* plain) noexcept {
#if defined(__SSE2__) && !defined(GELVO_NO_SIMD)
  if (entry.lenb < entry.lenc || entry.lenc < 16) return false;
  const std::size_t gap = entry.lenb - entry.lenc;
  // Enough file for the whole span, checked once: count bases and a gap
  // after every line they end.
  const std::size_t lines = (column + count - 1) / entry.lenc;
  std::size_t span;
  if (__builtin_mul_overflow(lines, gap, &span) || __builtin_add_overflow(span, count, &span) ||
      static_cast<std::size_t>(limit - p) < span) {
    return false;
  }
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i zero = _mm_setzero_si128();
  __m128i bad = zero;  // terminators inside lines
  __m128i odd = zero;  // high-bit and NUL bytes
  std::size_t got = 0;
  std::size_t take = std::min(entry.lenc - column, count);
  for (;;) {
    char* out = dst + got;
    if (take >= 16) {
      // 16-byte blocks, the last one overlapping the one before.
      for (std::size_t at = 0;;) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), v);
        bad = _mm_or_si128(bad, _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)));
        odd = _mm_or_si128(odd, _mm_or_si128(v, _mm_cmpeq_epi8(v, zero)));
        if (at + 16 == take) break;
        at = std::min(at + 16, take - 16);
      }
    } else {
      for (std::size_t i = 0; i < take; ++i) {
        const unsigned char c = p[i];
        if (c == '\n' || c == '\r') return false;
        if (c == 0 || c >= 0x80) odd = _mm_set1_epi8(-1);
        out[i] = static_cast<char>(c);
      }
    }
    got += take;
    p += take;
    if (got == count) break;
    for (std::size_t i = 0; i < gap; ++i) {
      if (p[i] != '\n' && p[i] != '\r') return false;
    }
    p += gap;
    take = std::min(entry.lenc, count - got);
  }
  if (_mm_movemask_epi8(bad) != 0) return false;
  *plain = _mm_movemask_epi8(odd) == 0;
  return true;
#else
  (void)p, (void)limit, (void)dst, (void)count, (void)column, (void)entry, (void)plain;
  return false;
#endif
}

}  // namespace

std::uint64_t scan_span(const IndexEntry& entry, std::size_t count) noexcept {
  const std::uint64_t lines = count / entry.lenc + (count % entry.lenc != 0);
  const std::uint64_t per_line_extra = entry.lenb > entry.lenc ? entry.lenb - entry.lenc : 0;
  return saturating_add(saturating_add(count, entry.lenb), saturating_mul(per_line_extra, lines));
}

std::optional<std::uint64_t> base_offset(const IndexEntry& entry, std::size_t s) noexcept {
  if (entry.lenc == 0 || s == 0) return std::nullopt;
  const std::uint64_t p = s - 1;
  std::uint64_t line_bytes, b;
  if (__builtin_mul_overflow(p / entry.lenc, static_cast<std::uint64_t>(entry.lenb), &line_bytes)) return std::nullopt;
  if (__builtin_add_overflow(entry.offset, line_bytes, &b)) return std::nullopt;
  if (__builtin_add_overflow(b, p % entry.lenc, &b)) return std::nullopt;
  return b;
}

void prefetch_from_mmap(const Mapping& mapping, const IndexEntry& entry, std::size_t s, std::size_t count) noexcept {
  // Every line of the first bytes: a random region waits for its page walk
  // and then for each of its lines, and the processor's own prefetcher
  // starts too late for a span this short. Past that, it follows on.
  constexpr std::uint64_t kLine = 64;
  constexpr std::uint64_t kMostBytes = 8 * kLine;
  if (count == 0 || entry.lenc == 0) return;
  const auto b = base_offset(entry, s);
  if (!b || *b >= mapping.size) return;
  const std::uint64_t span = std::min(scan_span(entry, count), kMostBytes);
  const std::uint64_t limit = std::min<std::uint64_t>(mapping.size, saturating_add(*b, span));
  for (std::uint64_t at = *b & ~(kLine - 1); at < limit; at += kLine) __builtin_prefetch(mapping.data + at);
}

std::size_t extract_sequence_from_mmap(const Mapping& mapping, const IndexEntry& entry, std::size_t s,
                                       std::size_t count, char* dst, bool* plain) noexcept {
  bool ignored;
  if (plain == nullptr) plain = &ignored;
  *plain = true;
  if (count == 0 || entry.rlen == 0 || entry.lenc == 0) return 0;
  const auto b = base_offset(entry, s);
  if (!b || *b >= mapping.size) return 0;
  const std::uint64_t limit = std::min<std::uint64_t>(mapping.size, saturating_add(*b, scan_span(entry, count)));
  const std::size_t column = (s - 1) % entry.lenc;
  if (copy_by_lines(mapping.data + *b, mapping.data + limit, dst, count, column, entry, plain)) return count;
  std::size_t consumed;
  return copy_skipping_line_ends(mapping.data + *b, mapping.data + limit, dst, count, &consumed, plain);
}

Result<std::size_t> extract_sequence_from_file_optimized(int fd, const IndexEntry& entry, std::size_t s,
                                                         std::size_t count, char* dst, bool* plain) {
  bool ignored;
  if (plain == nullptr) plain = &ignored;
  *plain = true;
  if (count == 0 || entry.rlen == 0 || entry.lenc == 0) return std::size_t{0};
  const auto b = base_offset(entry, s);
  // An offset that does not fit the file offset type is what a seek to it
  // would refuse.
  if (!b || *b > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return FaidxError::from_errno(EINVAL);
  }
  constexpr std::size_t kBlock = 1 << 20;
  const std::size_t block = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, scan_span(entry, count)));
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[block]);
  std::uint64_t position = *b;
  std::size_t got = 0;
  while (got < count) {
    // Positioned reads leave the shared descriptor's offset alone, so
    // concurrent extractions cannot interleave.
    ssize_t n = ::pread(fd, buffer.get(), block, static_cast<off_t>(position));
    if (n < 0) {
      if (errno == EINTR) continue;
      return FaidxError::from_errno(errno);
    }
    if (n == 0) break;
    std::size_t consumed;
    bool block_plain;
    got += copy_skipping_line_ends(buffer.get(), buffer.get() + n, dst + got, count - got, &consumed, &block_plain);
    *plain = *plain && block_plain;
    position += static_cast<std::uint64_t>(n);
  }
  return got;
}

}  // namespace gelvo
