#include "faidx/io.h"

#include <cerrno>

namespace gelvo {

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

Result<std::string> read_all(int fd) {
  std::string out;
  char buffer[64 * 1024];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FaidxError::from_errno(errno);
    }
    if (n == 0) return out;
    out.append(buffer, static_cast<std::size_t>(n));
  }
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
