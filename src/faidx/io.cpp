#include "faidx/io.h"

#include <algorithm>
#include <cerrno>

namespace gelvo {

// The index is a regular file. Renaming over anything else would swap a
// device node or a FIFO named as the index for a plain file (as root, even
// /dev/null), and reading a character device such as /dev/zero never ends.
Status regular_file(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return Ok{};
  return FaidxError::from_errno(S_ISDIR(st.st_mode) ? EISDIR : ESPIPE);
}

Status write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return FaidxError::from_errno(errno);
    }
    if (n == 0) return FaidxError::io(kWriteZero);
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return Ok{};
}

Result<std::string> read_all(int fd, std::size_t size_hint) {
  std::string out;
  // One byte beyond the hint, so that reaching the end needs no regrowth.
  out.resize(std::max<std::size_t>(size_hint + 1, 64 * 1024));
  std::size_t used = 0;
  for (;;) {
    if (used == out.size()) out.resize(2 * out.size());
    ssize_t n = ::read(fd, out.data() + used, out.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FaidxError::from_errno(errno);
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  out.resize(used);
  return out;
}

Result<std::size_t> pread_full(int fd, unsigned char* p, std::size_t n, std::uint64_t offset) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd, p + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return FaidxError::from_errno(errno);
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return got;
}

void write_stderr(std::string_view line) noexcept {
  while (!line.empty()) {
    ssize_t n = ::write(2, line.data(), line.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    line.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace gelvo
