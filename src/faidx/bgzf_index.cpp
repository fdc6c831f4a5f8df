#include "faidx/bgzf_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "faidx/io.h"

namespace gelvo {

namespace {

std::string gzi_path_of(const BgzfFile& file) { return file.path() + ".gzi"; }

// The block list by a walk of the member headers, written when asked.
Result<bgzf::BlockIndex> build_gzi(const BgzfFile& file, const std::string& gzi_path) {
  auto blocks = walk_members(file, nullptr);
  if (!blocks) return blocks;
  Status written = write_gzi(gzi_path, *blocks);
  if (!written) return std::move(written).error();
  return blocks;
}

}  // namespace

Result<bgzf::BlockIndex> load_gzi(const std::string& gzi_path, const BgzfFile& file) {
  UniqueFd fd(::open(gzi_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return FaidxError(ErrorKind::IndexNotFound, gzi_path);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return FaidxError::from_errno(errno);
  if (!S_ISREG(st.st_mode)) return FaidxError::from_errno(S_ISDIR(st.st_mode) ? EISDIR : ESPIPE);
  auto bytes = read_all(fd.get());
  if (!bytes) return std::move(bytes).error();
  auto index = bgzf::read_gzi(*bytes, file.compressed_size(), gzi_path);
  if (!index) return index;
  const std::uint64_t last = index->cbegin(index->units() - 1);
  auto tail = tail_size(file, last);
  if (!tail) return std::move(tail).error();
  if (*tail > bgzf::kMaxBlock) {
    return FaidxError::io(gzi_path + ": lists no block after compressed offset " + std::to_string(last) +
                          " although more than a block of data follows it");
  }
  index->set_last_unit_size(*tail);
  return index;
}

Result<NameIndex> acquire_bgzf_indexes(BgzfFile& file, const std::string& fai_path, bool rebuild, bool build_index) {
  const std::string gzi_path = gzi_path_of(file);
  const bool build_fai = index_needs_build(file.path(), fai_path, rebuild, build_index);
  const bool build_blocks = index_needs_build(file.path(), gzi_path, rebuild, build_index);
  if (build_fai) {
    return FaidxError(ErrorKind::FastaIndexing, "building the .fai of a BGZF file comes with the chunked scanner");
  }
  auto names = load_index(fai_path);
  if (!names) return names;
  auto blocks = build_blocks ? build_gzi(file, gzi_path) : load_gzi(gzi_path, file);
  if (!blocks) return std::move(blocks).error();
  file.set_block_index(std::move(*blocks));
  return names;
}

Status write_gzi(const std::string& gzi_path, const bgzf::BlockIndex& index) {
  const std::string bytes = bgzf::format_gzi(index);
  std::random_device entropy;
  const std::string temp = gzi_path + ".tmp" + std::to_string(entropy());
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!fd) return FaidxError::from_errno(errno);
  Status written = write_all(fd.get(), bytes);
  if (written && ::close(fd.release()) != 0) written = FaidxError::from_errno(errno);
  if (written && ::rename(temp.c_str(), gzi_path.c_str()) != 0) written = FaidxError::from_errno(errno);
  if (!written) ::unlink(temp.c_str());
  return written;
}

}  // namespace gelvo
