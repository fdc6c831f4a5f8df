// One-hot encoding of residues: four channels per byte, A, C, G and T (either
// case), for the numeric arrays sequence models take as input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace gelvo {

// The element types of an encoded array. Bool and UInt8 are one byte (0 or
// 1 for bool), Float16 is IEEE binary16, Float32 and Float64 the usual ones,
// all in the byte order of the machine.
enum class ElementType { Bool, UInt8, Float16, Float32, Float64 };

std::size_t element_size(ElementType type) noexcept;

// The binary16 bit pattern of value, rounded to nearest, ties to even, as a
// conversion of the double itself (not through float, which can round
// twice). Values beyond the largest binary16 become infinities; NaN stays a
// quiet NaN of the same sign.
std::uint16_t to_binary16(double value) noexcept;

class OneHotEncoder {
 public:
  // The encoder writing 1 in the channel of A, C, G or T and `unknown` in
  // all four channels of any other byte. Nothing when the type cannot hold
  // `unknown`: not 0 or 1 for Bool, not an integer in 0..255 for UInt8, a
  // finite value that rounds to an infinity for the floats.
  static std::optional<OneHotEncoder> make(ElementType type, double unknown);

  // Bytes one position takes: four elements.
  std::size_t width() const noexcept { return width_; }

  // Writes n positions (n * width() bytes) to dst from the bytes src[0, n),
  // front to back, each byte read before its position is written. So src
  // may lie inside dst's span as long as it starts at dst + n * (width() - 1)
  // or later: the bytes can be staged at the tail of their own output.
  // `streaming` writes around the cache where the processor can (for
  // outputs much larger than the cache); the writes are complete for other
  // threads once encode returns.
  void encode(const unsigned char* src, std::size_t n, unsigned char* dst, bool streaming = false) const noexcept;

 private:
  OneHotEncoder(std::size_t width, std::vector<unsigned char> table) : width_(width), table_(std::move(table)) {}

  std::size_t width_;
  std::vector<unsigned char> table_;  // 256 rows of width_ bytes, by byte value
};

}  // namespace gelvo
