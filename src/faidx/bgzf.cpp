#include "faidx/bgzf.h"

#include <libdeflate.h>

#include <algorithm>
#include <new>

namespace gelvo::bgzf {

namespace {

constexpr unsigned char kFlagHeaderCrc = 2;
constexpr unsigned char kFlagExtra = 4;
constexpr unsigned char kFlagName = 8;
constexpr unsigned char kFlagComment = 16;
constexpr unsigned char kFlagReserved = 0xE0;
constexpr std::size_t kFixedHeader = 12;  // up to and including XLEN
constexpr std::size_t kTrailer = 8;       // CRC32 and ISIZE

std::uint32_t le16(const unsigned char* p) noexcept { return p[0] | (static_cast<std::uint32_t>(p[1]) << 8); }

std::uint32_t le32(const unsigned char* p) noexcept { return le16(p) | (le16(p + 2) << 16); }

std::uint64_t le64(const unsigned char* p) noexcept {
  return le32(p) | (static_cast<std::uint64_t>(le32(p + 4)) << 32);
}

void put_le64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

bool gzip_magic(const unsigned char* p, std::size_t n) noexcept { return n >= 2 && p[0] == 0x1F && p[1] == 0x8B; }

// The block size of the BC subfield of an extra field, or 0 when it has none.
// A subfield that runs past the field's end makes the field unreadable.
Result<std::size_t, Fault> bc_block_size(const unsigned char* extra, std::size_t length) noexcept {
  std::size_t found = 0;
  for (std::size_t at = 0; at < length;) {
    if (length - at < 4) return Fault{"bad extra field in member header"};
    const std::size_t sublength = le16(extra + at + 2);
    if (length - at - 4 < sublength) return Fault{"bad extra field in member header"};
    if (extra[at] == 'B' && extra[at + 1] == 'C' && sublength == 2) found = le16(extra + at + 4) + 1;
    at += 4 + sublength;
  }
  return found;
}

// Position after the NUL that ends the text starting at `at`, or 0.
std::size_t after_text(const unsigned char* p, std::size_t at, std::size_t available) noexcept {
  for (; at < available; ++at) {
    if (p[at] == 0) return at + 1;
  }
  return 0;
}

// One decompressor per thread, made on first use.
class Decompressor {
 public:
  ~Decompressor() {
    if (d_ != nullptr) libdeflate_free_decompressor(d_);
  }
  libdeflate_decompressor* get() {
    if (d_ == nullptr) d_ = libdeflate_alloc_decompressor();
    if (d_ == nullptr) throw std::bad_alloc();
    return d_;
  }

 private:
  libdeflate_decompressor* d_ = nullptr;
};

thread_local Decompressor tl_decompressor;

}  // namespace

Compression detect(const unsigned char* p, std::size_t n) noexcept {
  if (!gzip_magic(p, n)) return Compression::None;
  if (n < kFixedHeader || !(p[3] & kFlagExtra)) return Compression::Gzip;
  const std::size_t xlen = le16(p + 10);
  if (n - kFixedHeader < xlen) return Compression::Gzip;
  auto size = bc_block_size(p + kFixedHeader, xlen);
  return size.ok() && *size != 0 ? Compression::Bgzf : Compression::Gzip;
}

FaidxError corrupt(std::string_view path, std::uint64_t offset, const char* what) {
  std::string text(path);
  text += ": corrupt BGZF data at compressed offset ";
  text += std::to_string(offset);
  text += ": ";
  text += what;
  return FaidxError::io(std::move(text));
}

Result<Member, Fault> parse_member(const unsigned char* p, std::size_t available) noexcept {
  if (available < kFixedHeader) return Fault{"truncated member header"};
  if (!gzip_magic(p, available)) return Fault{"no gzip member starts here"};
  if (p[2] != 8) return Fault{"unknown compression method"};
  const unsigned char flags = p[3];
  if (flags & kFlagReserved) return Fault{"reserved flags set in member header"};
  if (!(flags & kFlagExtra)) return Fault{"member header without the BC subfield"};
  const std::size_t xlen = le16(p + 10);
  if (available - kFixedHeader < xlen) return Fault{"truncated member header"};
  auto size = bc_block_size(p + kFixedHeader, xlen);
  if (!size) return size.error();
  if (*size == 0) return Fault{"member header without the BC subfield"};
  std::size_t at = kFixedHeader + xlen;
  for (unsigned char text_flag : {kFlagName, kFlagComment}) {
    if (!(flags & text_flag)) continue;
    at = after_text(p, at, available);
    if (at == 0) return Fault{"truncated member header"};
  }
  if (flags & kFlagHeaderCrc) at += 2;
  if (*size < at + kTrailer) return Fault{"block size smaller than its header"};
  return Member{*size, at};
}

std::uint32_t inflated_size(const unsigned char* member, const Member& layout) noexcept {
  return le32(member + layout.size - 4);
}

Result<std::size_t, Fault> inflate_member(const unsigned char* p, const Member& layout, unsigned char* out,
                                          std::size_t capacity) noexcept {
  const std::uint32_t expected_crc = le32(p + layout.size - kTrailer);
  const std::size_t isize = inflated_size(p, layout);
  if (isize > capacity) return Fault{"inflated length larger than a block"};
  libdeflate_decompressor* d;
  try {
    d = tl_decompressor.get();
  } catch (const std::bad_alloc&) {
    return Fault{"out of memory for a decompressor"};
  }
  // Without an actual-length result, libdeflate insists on exactly isize
  // bytes: fewer or more is a length mismatch.
  const auto status = libdeflate_deflate_decompress(d, p + layout.data_begin,
                                                    layout.size - kTrailer - layout.data_begin, out, isize, nullptr);
  if (status == LIBDEFLATE_BAD_DATA) return Fault{"deflate data does not inflate"};
  if (status != LIBDEFLATE_SUCCESS) return Fault{"inflated length differs from ISIZE"};
  if (libdeflate_crc32(0, out, isize) != expected_crc) return Fault{"CRC32 mismatch"};
  return isize;
}

std::size_t BlockIndex::unit_of(std::uint64_t u) const noexcept {
  auto after = std::upper_bound(starts_.begin(), starts_.end(), u,
                                [](std::uint64_t value, const Entry& e) { return value < e.uoffset; });
  return static_cast<std::size_t>(after - starts_.begin()) - 1;
}

std::string format_gzi(const BlockIndex& index) {
  std::string out;
  out.reserve(8 + 16 * (index.units() - 1));
  put_le64(out, index.units() - 1);
  for (std::size_t i = 1; i < index.units(); ++i) {
    put_le64(out, index.cbegin(i));
    put_le64(out, index.ubegin(i));
  }
  return out;
}

namespace {

FaidxError bad_gzi(std::string_view gzi_path, const std::string& why) {
  std::string text(gzi_path);
  text += ": ";
  text += why;
  return FaidxError::io(std::move(text));
}

}  // namespace

Result<BlockIndex> read_gzi(std::string_view bytes, std::uint64_t compressed_size, std::string_view gzi_path) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  if (bytes.size() < 8) return bad_gzi(gzi_path, "not a BGZF index: shorter than its entry count");
  const std::uint64_t count = le64(p);
  if ((bytes.size() - 8) % 16 != 0 || (bytes.size() - 8) / 16 != count) {
    return bad_gzi(gzi_path, "not a BGZF index: " + std::to_string(count) + " entries announced in " +
                                 std::to_string(bytes.size()) + " bytes");
  }
  BlockIndex index;
  index.starts_.reserve(static_cast<std::size_t>(count) + 1);
  for (std::uint64_t k = 0; k < count; ++k) {
    const Entry entry{le64(p + 8 + 16 * k), le64(p + 16 + 16 * k)};
    const Entry& before = index.starts_.back();
    const std::string where = "entry " + std::to_string(k) + " (compressed offset " + std::to_string(entry.coffset);
    if (entry.coffset >= compressed_size) {
      return bad_gzi(gzi_path,
                     where + ") points past the end of the file (" + std::to_string(compressed_size) + " bytes)");
    }
    if (entry.coffset <= before.coffset || entry.uoffset <= before.uoffset) {
      return bad_gzi(gzi_path, where + ") does not increase on the entry before it");
    }
    if (entry.uoffset - before.uoffset > kMaxBlock) {
      return bad_gzi(gzi_path, where + ") lies more than a block past the entry before it");
    }
    index.starts_.push_back(entry);
  }
  index.compressed_size_ = compressed_size;
  index.uncompressed_size_ = index.starts_.back().uoffset;
  return index;
}

}  // namespace gelvo::bgzf
