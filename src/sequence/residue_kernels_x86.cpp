// SSE2/SSSE3 kernels of residue_tables.h. SSE2 is part of x86-64; SSSE3
// (for the byte shuffles that do the table lookups) is checked at run time.
#include "sequence/residue_tables.h"

#if defined(__x86_64__) && !defined(GELVO_NO_SIMD)
#include <immintrin.h>
#endif

namespace gelvo::residues {

#if defined(__x86_64__) && !defined(GELVO_NO_SIMD)

namespace {

bool has_ssse3() noexcept {
  static const bool present = __builtin_cpu_supports("ssse3");
  return present;
}

inline __m128i load16(const unsigned char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline __m128i table16(const std::uint8_t* t) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(t)); }

// 0xff in the lanes that hold an ASCII letter of either case.
inline __m128i letter_mask(__m128i x) {
  const __m128i offset = _mm_sub_epi8(_mm_or_si128(x, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
  return _mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(25)), offset);
}

// Looks up each lane's low five bits in a 32-entry table, as two 16-entry
// halves selected by bit 4.
__attribute__((target("ssse3"))) inline __m128i lookup32(__m128i x, __m128i low_half, __m128i high_half) {
  const __m128i index = _mm_and_si128(x, _mm_set1_epi8(0x0f));
  const __m128i bit4 = _mm_set1_epi8(0x10);
  const __m128i high = _mm_cmpeq_epi8(_mm_and_si128(x, bit4), bit4);
  return _mm_or_si128(_mm_and_si128(high, _mm_shuffle_epi8(high_half, index)),
                      _mm_andnot_si128(high, _mm_shuffle_epi8(low_half, index)));
}

__attribute__((target("ssse3"))) inline __m128i complement16(__m128i x, __m128i low_half, __m128i high_half) {
  const __m128i upper = lookup32(x, low_half, high_half);
  const __m128i listed = _mm_andnot_si128(_mm_cmpeq_epi8(upper, _mm_setzero_si128()), letter_mask(x));
  const __m128i cased = _mm_or_si128(upper, _mm_and_si128(x, _mm_set1_epi8(0x20)));
  return _mm_or_si128(_mm_and_si128(listed, cased), _mm_andnot_si128(listed, _mm_set1_epi8('N')));
}

template <bool kReverse>
__attribute__((target("ssse3"))) std::size_t complement_ssse3(const unsigned char* src, std::size_t n, char* dst) {
  const __m128i low_half = table16(kLetterComplement.data());
  const __m128i high_half = table16(kLetterComplement.data() + 16);
  const __m128i reversed = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i out = complement16(load16(kReverse ? src + n - i - 16 : src + i), low_half, high_half);
    if constexpr (kReverse) out = _mm_shuffle_epi8(out, reversed);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), out);
  }
  return i;
}

// Exchanges the two ends of the text a vector each, both reverse
// complemented, while the middle still holds two vectors.
__attribute__((target("ssse3"))) std::size_t reverse_complement_in_place_ssse3(char* text, std::size_t n) {
  const __m128i low_half = table16(kLetterComplement.data());
  const __m128i high_half = table16(kLetterComplement.data() + 16);
  const __m128i reversed = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  auto* p = reinterpret_cast<unsigned char*>(text);
  std::size_t k = 0;
  for (; n - 2 * k >= 32; k += 16) {
    const __m128i left = load16(p + k);
    const __m128i right = load16(p + n - k - 16);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + k),
                     _mm_shuffle_epi8(complement16(right, low_half, high_half), reversed));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + n - k - 16),
                     _mm_shuffle_epi8(complement16(left, low_half, high_half), reversed));
  }
  return k;
}

// Byte counters hold at most 255 before they are summed into words.
constexpr std::size_t kRoundsPerFlush = 255;

inline std::size_t sum_words(__m128i words) {
  return static_cast<std::size_t>(_mm_cvtsi128_si64(words)) +
         static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(words, words)));
}

// The sixteen byte counters summed (psadbw against zero sums each half).
inline __m128i byte_sums(__m128i counters) { return _mm_sad_epu8(counters, _mm_setzero_si128()); }

}  // namespace

std::size_t complement_vector(const unsigned char* src, std::size_t n, char* dst) noexcept {
  return has_ssse3() ? complement_ssse3<false>(src, n, dst) : 0;
}

std::size_t reverse_complement_vector(const unsigned char* src, std::size_t n, char* dst) noexcept {
  return has_ssse3() ? complement_ssse3<true>(src, n, dst) : 0;
}

std::size_t reverse_complement_in_place_vector(char* text, std::size_t n) noexcept {
  return has_ssse3() ? reverse_complement_in_place_ssse3(text, n) : 0;
}

std::size_t count_gc_vector(const unsigned char* p, std::size_t n, GcCounts* out) noexcept {
  const __m128i fold = _mm_set1_epi8(0x20);
  std::size_t i = 0;
  while (i + 16 <= n) {
    __m128i gc = _mm_setzero_si128();
    __m128i acgt = _mm_setzero_si128();
    for (std::size_t round = 0; round < kRoundsPerFlush && i + 16 <= n; ++round, i += 16) {
      const __m128i f = _mm_or_si128(load16(p + i), fold);
      const __m128i is_gc = _mm_or_si128(_mm_cmpeq_epi8(f, _mm_set1_epi8('c')), _mm_cmpeq_epi8(f, _mm_set1_epi8('g')));
      const __m128i is_at = _mm_or_si128(_mm_cmpeq_epi8(f, _mm_set1_epi8('a')), _mm_cmpeq_epi8(f, _mm_set1_epi8('t')));
      // A match is -1, so subtracting counts it.
      gc = _mm_sub_epi8(gc, is_gc);
      acgt = _mm_sub_epi8(acgt, _mm_or_si128(is_gc, is_at));
    }
    out->gc += sum_words(byte_sums(gc));
    out->acgt += sum_words(byte_sums(acgt));
  }
  return i;
}

__attribute__((target("ssse3"))) static std::size_t tally_iupac_ssse3(const unsigned char* p, std::size_t n,
                                                                      IupacTally* out) {
  const __m128i low_half = table16(kLetterIupac.data());
  const __m128i high_half = table16(kLetterIupac.data() + 16);
  __m128i quarters = _mm_setzero_si128();  // sums in two 64-bit lanes
  __m128i counted = _mm_setzero_si128();
  __m128i inexact = _mm_setzero_si128();
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i x = load16(p + i);
    const __m128i code = _mm_and_si128(lookup32(x, low_half, high_half), letter_mask(x));
    quarters = _mm_add_epi64(quarters, byte_sums(_mm_and_si128(code, _mm_set1_epi8(0x07))));
    counted = _mm_add_epi64(counted, byte_sums(_mm_and_si128(_mm_srli_epi16(code, 3), _mm_set1_epi8(0x01))));
    inexact = _mm_or_si128(inexact, code);
  }
  out->quarters += sum_words(quarters);
  out->counted += sum_words(counted);
  out->inexact = out->inexact || (_mm_movemask_epi8(_mm_slli_epi16(inexact, 3)) != 0);
  return i;
}

std::size_t tally_iupac_vector(const unsigned char* p, std::size_t n, IupacTally* out) noexcept {
  return has_ssse3() ? tally_iupac_ssse3(p, n, out) : 0;
}

#else

std::size_t complement_vector(const unsigned char*, std::size_t, char*) noexcept { return 0; }
std::size_t reverse_complement_vector(const unsigned char*, std::size_t, char*) noexcept { return 0; }
std::size_t reverse_complement_in_place_vector(char*, std::size_t) noexcept { return 0; }
std::size_t count_gc_vector(const unsigned char*, std::size_t, GcCounts*) noexcept { return 0; }
std::size_t tally_iupac_vector(const unsigned char*, std::size_t, IupacTally*) noexcept { return 0; }

#endif

}  // namespace gelvo::residues
