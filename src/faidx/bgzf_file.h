// A BGZF-compressed FASTA file as a byte source: fetches see the
// uncompressed text, at the offsets a .fai of the compressed file gives.
//
// Fetches read the compressed bytes with pread, not through a mapping: a
// file that shrinks under us gives short reads, reported as truncated
// blocks, and no fault guard is needed. The walk of the whole file (the
// index build) maps it and reads under the fault guard instead, which
// spares copying hundreds of megabytes out of the page cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "errors/error.h"
#include "faidx/bgzf.h"
#include "faidx/block_cache.h"
#include "faidx/io.h"
#include "faidx/source.h"

namespace gelvo {

class BgzfFile final : public ByteSource {
 public:
  // Takes the open descriptor of the file at path (named in errors). The
  // block index comes later (set_block_index); until then the file reads as
  // empty.
  BgzfFile(UniqueFd fd, std::string path, std::uint64_t compressed_size);

  const std::string& path() const noexcept { return path_; }
  int fd() const noexcept { return fd_.get(); }
  std::uint64_t compressed_size() const noexcept { return compressed_size_; }
  const bgzf::BlockIndex& block_index() const noexcept { return index_; }
  void set_block_index(bgzf::BlockIndex index) noexcept { index_ = std::move(index); }

  std::uint64_t size() const noexcept override { return index_.uncompressed_size(); }
  Result<std::size_t> extract(const IndexEntry& entry, std::size_t s, std::size_t count, char* dst,
                              bool* plain) const override;
  bool is_mapped() const noexcept override { return false; }
  bool prefers_offset_order() const noexcept override { return true; }

  // Inflates unit i of the block index into out, checking that its members
  // fill exactly the range the index gives it.
  Status inflate_unit(std::size_t unit, InflatedBlock& out) const;

  // Blocks in the cache now (for tests).
  std::size_t cached_blocks() const { return cache_.size(); }

 private:
  class Copier;
  // The inflated block of a unit, through the cache.
  Result<BlockRef> block(std::size_t unit) const;
  Result<std::size_t> extract_wide(std::size_t first, std::size_t last, Copier& copier) const;

  UniqueFd fd_;
  std::string path_;
  std::uint64_t compressed_size_;
  bgzf::BlockIndex index_;
  mutable BlockCache cache_;
  std::uint64_t id_;  // tells this file's blocks apart in per-thread state
};

// Receives the inflated text of a file in order, a block at a time: the
// bytes and the uncompressed offset of the first. Returning false stops the
// walk.
using InflatedSink = std::function<bool(const unsigned char* p, std::size_t n, std::uint64_t offset)>;

// Walks every member of the file in order and lists the block starts. With
// a sink, also inflates every member (checking length and CRC, on the
// worker pool) and hands the text to it in order; without one, reads only
// the headers and trailers. Stops early, with the index so far, when the
// sink says so. Corrupt data, and a file that shrinks during the walk, is an
// IOError naming its compressed offset.
Result<bgzf::BlockIndex> walk_members(const BgzfFile& file, const InflatedSink& sink);

// The uncompressed bytes of the members from `from` to the end of the file,
// by their trailers: what the last unit of a block index read from a .gzi
// holds. More than a block, or a member that runs past the end, is an
// IOError.
Result<std::uint64_t> tail_size(const BgzfFile& file, std::uint64_t from);

}  // namespace gelvo
