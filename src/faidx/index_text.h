// Text rules shared by the FASTA scan and the .fai loader: UTF-8 validity,
// Unicode White_Space, and the name of a header line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace gelvo {

// Name of a FASTA header line (the text after '>', terminator included):
// the first word after stripping Unicode White_Space. Empty when none.
std::string_view header_name(std::string_view header_text) noexcept;

// Text without Unicode White_Space at either end; text must be valid UTF-8.
std::string_view trim_whitespace(std::string_view text) noexcept;

// True when bytes are valid UTF-8.
bool valid_utf8(std::string_view bytes) noexcept;

// Streaming UTF-8 validation: state carries over between chunks, so a
// character may straddle two reads.
class Utf8Validator {
 public:
  bool feed(const unsigned char* p, std::size_t n) noexcept {
    std::size_t i = 0;
    while (i < n) {
      if (need_ == 0) {
        while (i + 32 <= n) {
          std::uint64_t w[4];
          std::memcpy(w, p + i, 32);
          if ((w[0] | w[1] | w[2] | w[3]) & 0x8080808080808080ULL) break;
          i += 32;
        }
        if (i >= n) break;
        const unsigned char c = p[i++];
        if (c < 0x80) continue;
        if (c < 0xC2) return false;
        if (c < 0xE0) {
          expect(1, 0x80, 0xBF);
        } else if (c < 0xF0) {
          expect(2, c == 0xE0 ? 0xA0 : 0x80, c == 0xED ? 0x9F : 0xBF);
        } else if (c < 0xF5) {
          expect(3, c == 0xF0 ? 0x90 : 0x80, c == 0xF4 ? 0x8F : 0xBF);
        } else {
          return false;
        }
      } else {
        const unsigned char c = p[i++];
        if (c < lo_ || c > hi_) return false;
        lo_ = 0x80;
        hi_ = 0xBF;
        --need_;
      }
    }
    return true;
  }
  bool complete() const noexcept { return need_ == 0; }

 private:
  void expect(int need, unsigned char lo, unsigned char hi) noexcept {
    need_ = need;
    lo_ = lo;
    hi_ = hi;
  }
  int need_ = 0;
  unsigned char lo_ = 0x80;
  unsigned char hi_ = 0xBF;
};

}  // namespace gelvo
