#include "faidx/source.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "faidx/bgzf.h"
#include "faidx/bgzf_file.h"
#include "faidx/fault_guard.h"
#include "faidx/io.h"

namespace gelvo {

namespace {

// Regular files and block devices can be read at any offset; a FIFO, socket
// or character device cannot, and a FIFO would block every read.
bool seekable(int fd, int* error) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    *error = errno;
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = EISDIR;
    return false;
  }
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    *error = ESPIPE;
    return false;
  }
  return true;
}

class DescriptorFile final : public ByteSource {
 public:
  explicit DescriptorFile(UniqueFd fd) : fd_(std::move(fd)) {}

  std::uint64_t size() const noexcept override {
    struct stat st;
    if (!fd_ || ::fstat(fd_.get(), &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
  }

  Result<std::size_t> extract(const IndexEntry& entry, std::size_t s, std::size_t count, char* dst,
                              bool* plain) const override {
    if (!fd_) return FaidxError::io(kNoFileHandle);
    return extract_sequence_from_file_optimized(fd_.get(), entry, s, count, dst, plain);
  }

  bool is_mapped() const noexcept override { return false; }

 private:
  UniqueFd fd_;
};

// The file mapped into memory, and the descriptor it was opened through:
// when the mapping fails us (the file shrank under it), the bases are read
// again through that descriptor, never by opening the path again, which may
// name another file by now (a relative path after chdir, a replaced file).
class MappedFile final : public ByteSource {
 public:
  MappedFile(UniqueFd fd, Mapping mapping, std::size_t mapped_length)
      : fd_(std::move(fd)), mapping_(mapping), mapped_length_(mapped_length) {}
  ~MappedFile() override { ::munmap(const_cast<unsigned char*>(mapping_.data), mapped_length_); }

  std::uint64_t size() const noexcept override { return mapping_.size; }

  Result<std::size_t> extract(const IndexEntry& entry, std::size_t s, std::size_t count, char* dst,
                              bool* plain) const override {
    std::size_t got = 0;
    const bool completed = guarded_extract_from_mmap(mapping_, entry, s, count, dst, &got, plain);
    // NUL bytes are what the unbacked rest of a page reads as when the file
    // was truncated under the mapping; a fault is what the pages past it
    // give. Either way, read what the file holds now.
    if (completed && (*plain || std::memchr(dst, 0, got) == nullptr || !shrank())) return got;
    return extract_sequence_from_file_optimized(fd_.get(), entry, s, count, dst, plain);
  }

  void prefetch(const IndexEntry& entry, std::size_t s, std::size_t count) const noexcept override {
    prefetch_from_mmap(mapping_, entry, s, count);
  }

  void prepare() const noexcept override { install_fault_handler(); }

  void refresh() const noexcept override { refresh_fault_handler(); }

  bool is_mapped() const noexcept override { return true; }

 private:
  // Whether the file is now shorter than when it was mapped.
  bool shrank() const noexcept {
    struct stat st;
    return ::fstat(fd_.get(), &st) != 0 || static_cast<std::uint64_t>(st.st_size) < mapping_.size;
  }

  UniqueFd fd_;
  Mapping mapping_;
  std::size_t mapped_length_;  // bytes actually mapped (at least 1)
};

// The mapped file, or null when it cannot be mapped (fd is then kept).
std::unique_ptr<ByteSource> map_file(UniqueFd& fd) {
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uint64_t>(st.st_size) > static_cast<std::uint64_t>(PTRDIFF_MAX)) {
    return nullptr;
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  // An empty file cannot be mapped with length 0; map one byte and record
  // length 0 so nothing is ever read from it.
  const std::size_t length = size == 0 ? 1 : size;
  void* data = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (data == MAP_FAILED) return nullptr;
  install_fault_handler();
  return std::make_unique<MappedFile>(std::move(fd), Mapping{static_cast<const unsigned char*>(data), size}, length);
}

// What the content of the file is, by its first bytes.
Result<bgzf::Compression> sniff(int fd) {
  unsigned char head[4096];
  std::size_t got = 0;
  while (got < sizeof head) {
    const ssize_t n = ::pread(fd, head + got, sizeof head - got, static_cast<off_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return FaidxError::from_errno(errno);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return bgzf::detect(head, got);
}

}  // namespace

Result<std::unique_ptr<ByteSource>> open_source(const std::string& path, bool writable) {
  const int flags = (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK;
  UniqueFd fd(::open(path.c_str(), flags));
  if (!fd) return FaidxError::from_errno(errno);
  int error = 0;
  if (!seekable(fd.get(), &error)) return FaidxError::from_errno(error);
  auto compression = sniff(fd.get());
  if (!compression) return std::move(compression).error();
  if (*compression == bgzf::Compression::Gzip) {
    return FaidxError::io(path + " is compressed with gzip, not BGZF: recompress it with bgzip");
  }
  if (*compression == bgzf::Compression::Bgzf) {
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return FaidxError::from_errno(errno);
    return std::unique_ptr<ByteSource>(
        std::make_unique<BgzfFile>(std::move(fd), path, static_cast<std::uint64_t>(st.st_size)));
  }
  if (!writable) {
    if (auto mapped = map_file(fd)) return mapped;
  }
  return std::unique_ptr<ByteSource>(std::make_unique<DescriptorFile>(std::move(fd)));
}

}  // namespace gelvo
