// Small POSIX helpers of the engine: an owned descriptor, whole reads and
// writes that retry on EINTR and short transfers.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "errors/error.h"

namespace gelvo {

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  int release() noexcept { return std::exchange(fd_, -1); }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  explicit operator bool() const noexcept { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// OK for a regular file; otherwise the IOError of a file that cannot be read
// or replaced as one (EISDIR for a directory, ESPIPE for anything else).
Status regular_file(const struct stat& st);

// Writes all of text; a write that accepts nothing fails with
// "failed to write whole buffer".
Status write_all(int fd, std::string_view text);
// Reads from fd to its end. size_hint, the expected size (st_size of a
// regular file), lets the bytes land in one buffer without regrowing it.
Result<std::string> read_all(int fd, std::size_t size_hint = 0);
// Reads up to n bytes at offset (positioned, so the descriptor's offset is
// left alone); fewer only at the end of the file.
Result<std::size_t> pread_full(int fd, unsigned char* p, std::size_t n, std::uint64_t offset);
// Writes one whole line to standard error with a single write where possible.
void write_stderr(std::string_view line) noexcept;

}  // namespace gelvo
