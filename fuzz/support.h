// Shared pieces of the fuzz harnesses: files the engine can open by path,
// and small reference models written for clarity rather than speed.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

// The reference models are not what is being explored: left out of the
// coverage feedback, they neither slow the search nor steer it.
#define FUZZ_MODEL __attribute__((no_sanitize("coverage"), noinline))

// Reports a broken invariant and aborts, so libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                                \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

// An in-memory file reachable by path (/proc/self/fd/N), rewritten for every
// input: no disk traffic and nothing left behind when the fuzzer stops.
class MemFile {
 public:
  explicit MemFile(const char* label) : fd_(::memfd_create(label, MFD_CLOEXEC)) {
    if (fd_ < 0) std::abort();
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  void write(std::string_view bytes) {
    if (::ftruncate(fd_, 0) != 0) std::abort();
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      if (n <= 0) std::abort();
      done += static_cast<std::size_t>(n);
    }
  }
  const std::string& path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

// UTF-8 as RFC 3629 defines it: shortest forms only, no surrogates, at most
// U+10FFFF. Decodes the code point at p[i] into *cp and returns its length,
// or 0 when the bytes there are not valid.
FUZZ_MODEL inline std::size_t decode_utf8(const unsigned char* p, std::size_t n, std::size_t i, std::uint32_t* cp) {
  const unsigned char c = p[i];
  std::size_t len;
  std::uint32_t v;
  if (c < 0x80) {
    *cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    len = 2, v = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, v = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, v = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > n) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((p[i + k] & 0xC0) != 0x80) return 0;
    v = (v << 6) | (p[i + k] & 0x3F);
  }
  static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (v < kMin[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return len;
}

FUZZ_MODEL inline bool model_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::uint32_t cp;
  for (std::size_t i = 0; i < text.size();) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    const std::size_t len = decode_utf8(p, text.size(), i, &cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

// The Unicode White_Space property.
FUZZ_MODEL inline bool white_space(std::uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// Splits valid UTF-8 text into its leading white space, the first run of
// other characters, and the rest. Returns {begin, end} of that run.
FUZZ_MODEL inline std::pair<std::size_t, std::size_t> first_word(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t i = 0;
  std::uint32_t cp;
  std::size_t begin = text.size();
  while (i < text.size()) {
    const std::size_t len = decode_utf8(p, text.size(), i, &cp);
    if (len == 0) std::abort();  // callers pass valid text only
    if (white_space(cp)) {
      if (begin != text.size()) return {begin, i};
    } else if (begin == text.size()) {
      begin = i;
    }
    i += len;
  }
  return {begin, text.size()};
}

// Valid UTF-8 text without white space at either end.
FUZZ_MODEL inline std::string_view model_trim(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t begin = text.size();
  std::size_t end = 0;
  std::uint32_t cp;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t len = decode_utf8(p, text.size(), i, &cp);
    if (len == 0) std::abort();
    if (!white_space(cp)) {
      if (begin == text.size()) begin = i;
      end = i + len;
    }
    i += len;
  }
  return begin == text.size() ? std::string_view() : text.substr(begin, end - begin);
}

}  // namespace fuzz
