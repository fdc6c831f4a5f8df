// Writing index files (.fai, .gzi): through a temporary file and a rename,
// so that concurrent builders and readers never see a torn index, while
// keeping what an in-place rewrite would have kept.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <random>
#include <string>
#include <utility>

#include "faidx/index.h"
#include "faidx/io.h"

namespace gelvo {

namespace {

constexpr int kMaxLinks = 40;  // as the kernel's own limit on a path lookup

// The file a write to path lands in: symbolic links are followed, the last
// one even when its target does not exist yet (a write creates it).
Result<std::string> write_target(std::string path) {
  for (int hops = 0; hops < kMaxLinks; ++hops) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string link(PATH_MAX, '\0');
    const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
    if (n < 0) return FaidxError::from_errno(errno);
    if (n == 0 || static_cast<std::size_t>(n) == link.size()) return FaidxError::from_errno(ENAMETOOLONG);
    link.resize(static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    if (link.front() == '/' || slash == std::string::npos) {
      path = std::move(link);
    } else {
      path = path.substr(0, slash + 1) + link;
    }
  }
  return FaidxError::from_errno(ELOOP);
}

struct Temporary {
  UniqueFd fd;
  std::string path;
};

// Creates a new file beside target with a name nobody else uses. On failure
// *errnum is the reason.
Result<Temporary> create_temporary(const std::string& target, int* errnum) {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device entropy;
  std::minstd_rand rng(entropy() ^ static_cast<unsigned>(::getpid()));
  *errnum = EEXIST;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = target + ".tmp";
    for (int i = 0; i < 6; ++i) name += kAlphabet[rng() % (sizeof kAlphabet - 1)];
    // 0666 before the umask, like any newly created index.
    UniqueFd fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd) return Temporary{std::move(fd), std::move(name)};
    if (errno != EEXIST) {
      *errnum = errno;
      break;
    }
  }
  return FaidxError::from_errno(*errnum);
}

// Gives the new file the old one's owner, group and permission bits. Owner
// and group are kept where the process may set them (root; or a group the
// user belongs to); the permission bits always.
Status keep_attributes(int fd, const struct stat& old) {
  struct stat now;
  if (::fstat(fd, &now) != 0) return FaidxError::from_errno(errno);
  // chown before chmod: a change of owner clears the set-ID bits.
  if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && ::fchown(fd, old.st_uid, old.st_gid) != 0 &&
      now.st_gid != old.st_gid) {
    (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
  }
  if (::fchmod(fd, old.st_mode & 07777) != 0) return FaidxError::from_errno(errno);
  return Ok{};
}

// The .fai text goes out in pieces: no copy of the whole index in memory.
Status write_records(int fd, const RecordList& records) {
  constexpr std::size_t kPiece = 1 << 20;
  std::string piece;
  piece.reserve(kPiece + 4096);
  for (std::size_t next = 0; next < records.size();) {
    piece.clear();
    append_index_lines(records, &next, piece, kPiece);
    Status written = write_all(fd, piece);
    if (!written) return written;
  }
  return Ok{};
}

Status close_checked(UniqueFd& fd) {
  if (::close(fd.release()) != 0) return FaidxError::from_errno(errno);
  return Ok{};
}

// The old index rewritten through its own descriptor: readers may see it
// torn, which is why this is only the fallback of a directory that takes no
// new file.
Status rewrite_in_place(UniqueFd& old, const FileBody& body) {
  if (::ftruncate(old.get(), 0) != 0) return FaidxError::from_errno(errno);
  Status written = body(old.get());
  if (!written) return written;
  return close_checked(old);
}

Status replace(const std::string& target, const struct stat* old, const FileBody& body, Temporary& temp) {
  if (old != nullptr) {
    Status kept = keep_attributes(temp.fd.get(), *old);
    if (!kept) return kept;
  }
  Status written = body(temp.fd.get());
  if (!written) return written;
  Status closed = close_checked(temp.fd);
  if (!closed) return closed;
  if (::rename(temp.path.c_str(), target.c_str()) != 0) return FaidxError::from_errno(errno);
  return Ok{};
}

}  // namespace

Status write_index_file(const std::string& index_path, const FileBody& body) {
  auto target = write_target(index_path);
  if (!target) return std::move(target).error();
  // An existing index must be a regular file the process may write: what a
  // plain rewrite would require, although the rename would not.
  struct stat old;
  const bool exists = ::stat(target->c_str(), &old) == 0;
  UniqueFd old_fd;
  if (exists) {
    Status replaceable = regular_file(old);
    if (!replaceable) return replaceable;
    old_fd.reset(::open(target->c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK));
    if (!old_fd) return FaidxError::from_errno(errno);
  }
  int errnum = 0;
  auto temp = create_temporary(*target, &errnum);
  if (!temp) {
    if (old_fd && (errnum == EACCES || errnum == EPERM)) return rewrite_in_place(old_fd, body);
    return std::move(temp).error();
  }
  Status replaced = replace(*target, exists ? &old : nullptr, body, *temp);
  if (!replaced) ::unlink(temp->path.c_str());
  return replaced;
}

Status write_index(const std::string& index_path, const RecordList& records) {
  return write_index_file(index_path, [&](int fd) { return write_records(fd, records); });
}

}  // namespace gelvo
