// BGZF, the blocked gzip of htslib and bgzip: gzip members of at most
// 64 KiB, each carrying its own length in a "BC" extra subfield, so that any
// member can be found and inflated alone. This file holds the format: member
// headers, inflating one member, and the block index (htslib's .gzi).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "errors/error.h"

namespace gelvo::bgzf {

// Bytes of a whole member at most, and of the data it inflates to.
inline constexpr std::size_t kMaxBlock = 65536;

// What the first bytes of a file say it is. Anything starting with the
// gzip magic is compressed; it is BGZF when its first member header carries
// the BC subfield.
enum class Compression { None, Bgzf, Gzip };
Compression detect(const unsigned char* p, std::size_t n) noexcept;

// Why bytes at some compressed offset are not what BGZF promises. Static
// text; corrupt() turns it into the IOError the caller reports.
struct Fault {
  const char* what;
};

// The IOError of bad data: "<path>: corrupt BGZF data at compressed offset
// <offset>: <what>".
FaidxError corrupt(std::string_view path, std::uint64_t offset, const char* what);

// A member as its header describes it.
struct Member {
  std::size_t size = 0;        // bytes of the whole member, header to ISIZE
  std::size_t data_begin = 0;  // where the deflate data starts in it
};

// Parses the member header at p, of which `available` bytes are at hand.
// Needs the fixed header, its extra field and any name, comment or header
// CRC that follow; the member itself may extend past `available`.
Result<Member, Fault> parse_member(const unsigned char* p, std::size_t available) noexcept;

// The ISIZE of a whole member in memory: the bytes it inflates to.
std::uint32_t inflated_size(const unsigned char* member, const Member& layout) noexcept;

// Inflates the whole member at p into out (room for `capacity` bytes) and
// checks its length and CRC32 against the trailer. Returns the bytes
// written. Uses a decompressor of the calling thread's own.
Result<std::size_t, Fault> inflate_member(const unsigned char* p, const Member& layout, unsigned char* out,
                                          std::size_t capacity) noexcept;

// The uncompressed bytes of a member: the .gzi pairs and the unit they start.
struct Entry {
  std::uint64_t coffset;
  std::uint64_t uoffset;
  bool operator==(const Entry&) const = default;
};

// Where the blocks of a file start, in htslib's sense: an implicit first
// block at (0, 0), then every member that holds data but the first such one.
// Members without data (the end-of-file marker, the marker inside files
// joined with cat) are not listed; they belong to the unit of the block
// before them. So a unit is the compressed range from one start to the next
// and inflates to at most kMaxBlock bytes.
class BlockIndex {
 public:
  BlockIndex() : starts_{{0, 0}} {}

  // Units and their ranges. The last unit ends at the file's end.
  std::size_t units() const noexcept { return starts_.size(); }
  std::uint64_t cbegin(std::size_t i) const noexcept { return starts_[i].coffset; }
  std::uint64_t cend(std::size_t i) const noexcept {
    return i + 1 < starts_.size() ? starts_[i + 1].coffset : compressed_size_;
  }
  std::uint64_t ubegin(std::size_t i) const noexcept { return starts_[i].uoffset; }
  std::uint64_t uend(std::size_t i) const noexcept {
    return i + 1 < starts_.size() ? starts_[i + 1].uoffset : uncompressed_size_;
  }
  std::uint64_t compressed_size() const noexcept { return compressed_size_; }
  std::uint64_t uncompressed_size() const noexcept { return uncompressed_size_; }

  // The unit holding uncompressed offset u (u < uncompressed_size()).
  std::size_t unit_of(std::uint64_t u) const noexcept;

  // Sets the uncompressed bytes of the last unit, which a .gzi does not
  // tell (read_gzi leaves it empty).
  void set_last_unit_size(std::uint64_t size) noexcept { uncompressed_size_ = starts_.back().uoffset + size; }

  // The entries a .gzi lists: every start but the implicit first.
  std::vector<Entry> entries() const { return {starts_.begin() + 1, starts_.end()}; }

  bool operator==(const BlockIndex&) const = default;

 private:
  friend class BlockIndexBuilder;
  friend Result<BlockIndex> read_gzi(std::string_view, std::uint64_t, std::string_view);
  std::vector<Entry> starts_;
  std::uint64_t compressed_size_ = 0;
  std::uint64_t uncompressed_size_ = 0;
};

// Builds a BlockIndex from the members of a file, in file order.
class BlockIndexBuilder {
 public:
  void add(std::uint64_t coffset, std::uint32_t inflated) {
    if (inflated == 0) return;
    if (seen_data_) index_.starts_.push_back({coffset, index_.uncompressed_size_});
    seen_data_ = true;
    index_.uncompressed_size_ += inflated;
  }
  std::uint64_t uncompressed_size() const noexcept { return index_.uncompressed_size_; }
  BlockIndex finish(std::uint64_t compressed_size) {
    index_.compressed_size_ = compressed_size;
    return std::move(index_);
  }

 private:
  BlockIndex index_;
  bool seen_data_ = false;
};

// The .gzi bytes of an index: a little-endian 64-bit count, then the
// compressed and uncompressed offset of each entry.
std::string format_gzi(const BlockIndex& index);

// Parses .gzi bytes for a compressed file of compressed_size bytes. The
// entries must increase strictly, lie inside the file and be at most a
// block apart uncompressed; anything else is an IOError naming gzi_path and
// the offset. The last unit is left empty: the caller learns its size from
// the file (set_last_unit_size).
Result<BlockIndex> read_gzi(std::string_view bytes, std::uint64_t compressed_size, std::string_view gzi_path);

}  // namespace gelvo::bgzf
