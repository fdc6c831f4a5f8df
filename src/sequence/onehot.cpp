#include "sequence/onehot.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && !defined(GELVO_NO_SIMD)
#include <emmintrin.h>
#define GELVO_STREAMING_STORES 1
#endif

namespace gelvo {

namespace {

// One element's bytes, at most eight.
struct Element {
  unsigned char bytes[8] = {};
};

template <class T>
Element element_of(T value) noexcept {
  Element e;
  std::memcpy(e.bytes, &value, sizeof value);
  return e;
}

// The smallest magnitude a float rounds up to infinity from: halfway
// between the largest float and 2^128, a tie that rounds to the even
// infinity.
constexpr double kFloatOverflow = 0x1.ffffffp+127;

std::optional<Element> element(ElementType type, double value) noexcept {
  switch (type) {
    case ElementType::Bool:
      if (value != 0.0 && value != 1.0) return std::nullopt;
      return element_of(static_cast<std::uint8_t>(value));
    case ElementType::UInt8:
      // NaN fails the range test.
      if (!(value >= 0.0 && value <= 255.0) || value != std::floor(value)) return std::nullopt;
      return element_of(static_cast<std::uint8_t>(value));
    case ElementType::Float16: {
      const std::uint16_t bits = to_binary16(value);
      if (std::isfinite(value) && (bits & 0x7fff) == 0x7c00) return std::nullopt;
      return element_of(bits);
    }
    case ElementType::Float32:
      if (std::isfinite(value) && std::fabs(value) >= kFloatOverflow) return std::nullopt;
      return element_of(static_cast<float>(value));
    case ElementType::Float64: return element_of(value);
  }
  return std::nullopt;
}

int channel_of(unsigned byte) noexcept {
  switch (byte | 0x20) {  // either case
    case 'a': return 0;
    case 'c': return 1;
    case 'g': return 2;
    case 't': return 3;
    default: return -1;
  }
}

// A fixed width lets the compiler turn each copy into one or two moves.
template <std::size_t W>
void encode_rows(const unsigned char* table, const unsigned char* src, std::size_t n, unsigned char* dst) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char byte = src[i];
    std::memcpy(dst + i * W, table + std::size_t{byte} * W, W);
  }
}

#if GELVO_STREAMING_STORES
// The same with streaming stores, which write around the cache: an output
// much larger than the cache is then not read in before it is overwritten.
// Positions before the first 16-byte boundary, and the last ones when fewer
// than 16 bytes remain, take ordinary stores. Every byte of a store's
// positions is read before the store.
template <std::size_t W>
void stream_rows(const unsigned char* table, const unsigned char* src, std::size_t n, unsigned char* dst) noexcept {
  std::size_t i = 0;
  for (; i < n && (reinterpret_cast<std::uintptr_t>(dst + i * W) & 15) != 0; ++i) {
    std::memcpy(dst + i * W, table + std::size_t{src[i]} * W, W);
  }
  if constexpr (W >= 16) {
    for (; i < n; ++i) {
      const unsigned char* row = table + std::size_t{src[i]} * W;
      for (std::size_t k = 0; k < W; k += 16) {
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i * W + k),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + k)));
      }
    }
  } else {
    constexpr std::size_t kPer = 16 / W;
    for (; i + kPer <= n; i += kPer) {
      alignas(16) unsigned char group[16];
      for (std::size_t k = 0; k < kPer; ++k) std::memcpy(group + k * W, table + std::size_t{src[i + k]} * W, W);
      _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i * W),
                       _mm_load_si128(reinterpret_cast<const __m128i*>(group)));
    }
    for (; i < n; ++i) std::memcpy(dst + i * W, table + std::size_t{src[i]} * W, W);
  }
  // Streaming stores are ordered by nothing else: other threads must see
  // them once the caller says the rows are done.
  _mm_sfence();
}
#endif

}  // namespace

std::size_t element_size(ElementType type) noexcept {
  switch (type) {
    case ElementType::Bool:
    case ElementType::UInt8: return 1;
    case ElementType::Float16: return 2;
    case ElementType::Float32: return 4;
    case ElementType::Float64: return 8;
  }
  return 1;
}

std::uint16_t to_binary16(double value) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const auto sign = static_cast<std::uint16_t>((bits >> 48) & 0x8000);
  const int biased = static_cast<int>((bits >> 52) & 0x7ff);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  if (biased == 0x7ff) return static_cast<std::uint16_t>(sign | 0x7c00 | (fraction != 0 ? 0x200 : 0));
  // Subnormal doubles lie far below half the smallest binary16.
  if (biased == 0) return sign;
  const int exponent = biased - 1023;
  if (exponent > 15) return static_cast<std::uint16_t>(sign | 0x7c00);
  // The 53-bit significand in units of the result's last place: 2^-10
  // relative for normal results, 2^-24 absolute below 2^-14.
  const std::uint64_t significand = fraction | (std::uint64_t{1} << 52);
  const int shift = exponent >= -14 ? 42 : 28 - exponent;
  if (shift > 53) return sign;  // below 2^-25: rounds to zero
  std::uint64_t q = significand >> shift;
  const std::uint64_t rest = significand & ((std::uint64_t{1} << shift) - 1);
  const std::uint64_t half = std::uint64_t{1} << (shift - 1);
  if (rest > half || (rest == half && (q & 1) != 0)) ++q;
  // q carries the implicit bit at 2^10, so adding it to the exponent field
  // one below its place lets a rounding carry step up the exponent (and
  // from 65504 up to infinity, 0x7c00, at most); a subnormal that rounds up
  // to 2^10 becomes the smallest normal the same way.
  const std::uint64_t magnitude = exponent >= -14 ? (static_cast<std::uint64_t>(exponent + 14) << 10) + q : q;
  return static_cast<std::uint16_t>(sign | magnitude);
}

std::optional<OneHotEncoder> OneHotEncoder::make(ElementType type, double unknown) {
  const auto one = element(type, 1.0);
  const auto zero = element(type, 0.0);
  const auto other = element(type, unknown);
  if (!one || !zero || !other) return std::nullopt;
  const std::size_t size = element_size(type);
  const std::size_t width = 4 * size;
  // Five distinct rows: one per base, and the one of every other byte.
  unsigned char rows[5][32];
  for (std::size_t row = 0; row < 5; ++row) {
    for (std::size_t channel = 0; channel < 4; ++channel) {
      const Element& e = row == 4 ? *other : channel == row ? *one : *zero;
      std::memcpy(&rows[row][channel * size], e.bytes, size);
    }
  }
  std::vector<unsigned char> table(256 * width);
  for (unsigned byte = 0; byte < 256; ++byte) {
    const int hot = channel_of(byte);
    std::memcpy(&table[byte * width], rows[hot < 0 ? 4 : hot], width);
  }
  return OneHotEncoder(width, std::move(table));
}

void OneHotEncoder::encode(const unsigned char* src, std::size_t n, unsigned char* dst, bool streaming) const noexcept {
  const unsigned char* table = table_.data();
#if GELVO_STREAMING_STORES
  if (streaming) {
    switch (width_) {
      case 4: return stream_rows<4>(table, src, n, dst);
      case 8: return stream_rows<8>(table, src, n, dst);
      case 16: return stream_rows<16>(table, src, n, dst);
      default: return stream_rows<32>(table, src, n, dst);
    }
  }
#else
  (void)streaming;
#endif
  switch (width_) {
    case 4: return encode_rows<4>(table, src, n, dst);
    case 8: return encode_rows<8>(table, src, n, dst);
    case 16: return encode_rows<16>(table, src, n, dst);
    default: return encode_rows<32>(table, src, n, dst);
  }
}

}  // namespace gelvo
