#include "faidx/bgzf_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

namespace {

// Both indexes from one read of the whole file: the inflated text goes to
// the .fai scan, the member list makes the block index.
Result<NameIndex> build_both(BgzfFile& file, const std::string& fai_path, const std::string& gzi_path,
                             bool write_blocks) {
  FastaIndexBuild build;
  auto blocks = walk_members(file, [&](const unsigned char* p, std::size_t n, std::uint64_t) {
    return build.feed(reinterpret_cast<const char*>(p), n);
  });
  if (!blocks) return std::move(blocks).error();
  // Before the records: text that is not UTF-8 stops the walk early, and
  // its partial block list must not be written.
  auto records = build.finish();
  if (!records) return std::move(records).error();
  if (write_blocks) {
    Status written = write_gzi(gzi_path, *blocks);
    if (!written) return std::move(written).error();
  }
  Status written = write_index(fai_path, *records);
  if (!written) return std::move(written).error();
  file.set_block_index(std::move(*blocks));
  return NameIndex::from_records(std::move(*records));
}

}  // namespace

Result<NameIndex> acquire_bgzf_indexes(BgzfFile& file, const std::string& fai_path, bool rebuild, bool build_index) {
  const std::string gzi_path = gzi_path_of(file);
  const bool build_blocks = index_needs_build(file.path(), gzi_path, rebuild, build_index);
  if (index_needs_build(file.path(), fai_path, rebuild, build_index)) {
    return build_both(file, fai_path, gzi_path, build_blocks);
  }
  auto names = load_index(fai_path);
  if (!names) return names;
  auto blocks = build_blocks ? build_gzi(file, gzi_path) : load_gzi(gzi_path, file);
  if (!blocks) return std::move(blocks).error();
  file.set_block_index(std::move(*blocks));
  return names;
}

Status write_gzi(const std::string& gzi_path, const bgzf::BlockIndex& index) {
  return write_index_file(gzi_path, [&](int fd) { return write_all(fd, bgzf::format_gzi(index)); });
}

}  // namespace gelvo
