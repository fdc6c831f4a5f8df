#include "faidx/index_text.h"

namespace gelvo {

namespace {

// Byte length of the Unicode White_Space character starting at p, or 0.
std::size_t whitespace_length(const unsigned char* p, std::size_t n) noexcept {
  const unsigned char c = p[0];
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c < 0xC2 || n < 2) return 0;
  if (c == 0xC2) return (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
  if (n < 3) return 0;
  if (c == 0xE1) return (p[1] == 0x9A && p[2] == 0x80) ? 3 : 0;
  if (c == 0xE3) return (p[1] == 0x80 && p[2] == 0x80) ? 3 : 0;
  if (c == 0xE2) {
    if (p[1] == 0x80) {
      const unsigned char d = p[2];
      return (d <= 0x8A && d >= 0x80) || d == 0xA8 || d == 0xA9 || d == 0xAF ? 3 : 0;
    }
    return (p[1] == 0x81 && p[2] == 0x9F) ? 3 : 0;
  }
  return 0;
}

// Whitespace ends at character boundaries; text is valid UTF-8, so testing
// at every byte never matches inside a multi-byte character.
std::size_t whitespace_at(std::string_view text, std::size_t i) noexcept {
  return whitespace_length(reinterpret_cast<const unsigned char*>(text.data()) + i, text.size() - i);
}

// Position of the first character at or after i that is not whitespace.
std::size_t skip_whitespace(std::string_view text, std::size_t i) noexcept {
  while (i < text.size()) {
    const std::size_t w = whitespace_at(text, i);
    if (w == 0) break;
    i += w;
  }
  return i;
}

}  // namespace

std::string_view trim_whitespace(std::string_view text) noexcept {
  const std::size_t begin = skip_whitespace(text, 0);
  // Scan forward to find the last non-whitespace character's end.
  std::size_t end = begin;
  for (std::size_t i = begin; i < text.size();) {
    std::size_t w = whitespace_at(text, i);
    if (w == 0) {
      end = ++i;
    } else {
      i += w;
    }
  }
  return text.substr(begin, end - begin);
}

namespace {

bool ascii_whitespace(unsigned char c) noexcept { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

}  // namespace

std::string_view header_name(std::string_view header_text) noexcept {
  // Headers are nearly always ASCII: their name ends at the first ASCII
  // white space. Any other byte sends the header down the Unicode path.
  const auto* p = reinterpret_cast<const unsigned char*>(header_text.data());
  const std::size_t n = header_text.size();
  std::size_t i = 0;
  while (i < n && ascii_whitespace(p[i])) ++i;
  const std::size_t first = i;
  for (; i < n && p[i] < 0x80; ++i) {
    if (ascii_whitespace(p[i])) return header_text.substr(first, i - first);
  }
  if (i == n) return header_text.substr(first);
  const std::size_t begin = skip_whitespace(header_text, 0);
  std::size_t end = begin;
  while (end < n && whitespace_at(header_text, end) == 0) ++end;
  return header_text.substr(begin, end - begin);
}

bool valid_utf8(std::string_view bytes) noexcept {
  Utf8Validator v;
  return v.feed(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) && v.complete();
}

}  // namespace gelvo
