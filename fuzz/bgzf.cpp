// The BGZF reader on arbitrary compressed bytes and arbitrary .gzi files:
// the walk that lists (and inflates) every member, the unit reader, the
// .gzi loader, and extraction through the block cache, which must give
// exactly what extraction from the inflated text gives, or an IOError;
// never other bytes.
//
// Input layout (missing bytes read as zero):
//   u8  flags: bit 0: a .gzi follows (else the block index comes from the
//       walk of the file itself)
//   u16 length of the .gzi (little endian), then its bytes (bit 0 only)
//   u8  queries, n % 8; per query (little endian): u16 offset, u16 rlen,
//       u8 lenc, u8 lenb, u16 start, u16 count
//   the rest: the compressed file
#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "faidx/bgzf.h"
#include "faidx/bgzf_file.h"
#include "faidx/bgzf_index.h"
#include "support.h"

namespace {

using gelvo::BgzfFile;
using gelvo::IndexEntry;
namespace bgzf = gelvo::bgzf;

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
  std::string_view take(std::size_t n) {
    const std::size_t k = pos_ < size_ ? std::min(n, size_ - pos_) : 0;
    std::string_view out(reinterpret_cast<const char*>(data_ + std::min(pos_, size_)), k);
    pos_ += k;
    return out;
  }
  std::string_view rest() { return take(size_); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

struct Query {
  IndexEntry entry;
  std::size_t s;
  std::size_t count;
};

void check_corrupt(const gelvo::FaidxError& error) {
  FUZZ_CHECK(error.kind() == gelvo::ErrorKind::IO);
  FUZZ_CHECK(error.payload().find("compressed offset") != std::string::npos);
}

// The file opened fresh, so that every index starts with an empty cache.
std::unique_ptr<BgzfFile> open_file(const fuzz::MemFile& file, std::size_t size) {
  gelvo::UniqueFd fd(::open(file.path().c_str(), O_RDONLY | O_CLOEXEC));
  FUZZ_CHECK(fd);
  return std::make_unique<BgzfFile>(std::move(fd), file.path(), size);
}

// Extraction through the file against extraction from the inflated text
// (the uncompressed file's own fetch). `text` is null when the index is not
// known to place the text truly: then only the IOError rule and the bounds
// hold.
void check_queries(const BgzfFile& file, const std::vector<Query>& queries, const std::string* text) {
  for (const Query& q : queries) {
    const auto b = gelvo::base_offset(q.entry, q.s);
    const std::uint64_t size = file.size();
    const std::size_t room = b && *b < size ? std::min<std::uint64_t>(q.count, size - *b) : 0;
    std::unique_ptr<char[]> got(new char[room + 1]);
    bool plain = false;
    auto n = file.extract(q.entry, q.s, room, got.get(), &plain);
    if (!n) {
      check_corrupt(n.error());
      FUZZ_CHECK(text == nullptr);
      continue;
    }
    FUZZ_CHECK(*n <= room);
    for (std::size_t i = 0; plain && i < *n; ++i) {
      FUZZ_CHECK(got[i] != 0 && static_cast<unsigned char>(got[i]) < 0x80);
    }
    if (text == nullptr) continue;
    const gelvo::Mapping mapping{reinterpret_cast<const unsigned char*>(text->data()), text->size()};
    std::unique_ptr<char[]> want(new char[room + 1]);
    const std::size_t m = gelvo::extract_sequence_from_mmap(mapping, q.entry, q.s, room, want.get());
    FUZZ_CHECK(*n == m);
    FUZZ_CHECK(std::string_view(got.get(), *n) == std::string_view(want.get(), m));
  }
}

// What a file with a known text must satisfy: every unit inflates to its
// slice, and the .gzi of the index loads back to the same index.
void check_units(BgzfFile& file, const bgzf::BlockIndex& index, const std::string& text) {
  file.set_block_index(index);
  FUZZ_CHECK(index.uncompressed_size() == text.size());
  auto block = std::make_unique<gelvo::InflatedBlock>();
  for (std::size_t u = 0; u < index.units(); ++u) {
    auto status = file.inflate_unit(u, *block);
    FUZZ_CHECK(status.ok());
    const std::string_view inflated(reinterpret_cast<const char*>(block->data), block->size);
    FUZZ_CHECK(inflated == std::string_view(text).substr(index.ubegin(u), index.uend(u) - index.ubegin(u)));
  }
  static fuzz::MemFile gzi("gzi");
  gzi.write(bgzf::format_gzi(index));
  auto loaded = gelvo::load_gzi(gzi.path(), file);
  FUZZ_CHECK(loaded.ok() && *loaded == index);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  const std::uint8_t flags = in.byte();
  std::optional<std::string_view> gzi;
  if (flags & 1) {
    const std::size_t length = in.u16();
    gzi = in.take(length);
  }
  std::vector<Query> queries(in.byte() % 8);
  for (Query& q : queries) {
    q.entry.offset = in.u16();
    q.entry.rlen = in.u16();
    q.entry.lenc = in.byte();
    q.entry.lenb = in.byte();
    q.s = in.u16();
    q.count = in.u16();
  }
  const std::string_view compressed = in.rest();
  static fuzz::MemFile file("bgzf");
  file.write(compressed);

  // The walk that inflates, and the one that reads headers only, agree on
  // the blocks wherever the inflating one succeeds.
  auto reader = open_file(file, compressed.size());
  std::string text;
  auto walked = gelvo::walk_members(*reader, [&](const unsigned char* p, std::size_t n, std::uint64_t offset) {
    FUZZ_CHECK(offset == text.size());
    text.append(reinterpret_cast<const char*>(p), n);
    return true;
  });
  auto headers = gelvo::walk_members(*reader, nullptr);
  if (walked) {
    FUZZ_CHECK(headers.ok() && *headers == *walked);
    check_units(*reader, *walked, text);
  } else {
    check_corrupt(walked.error());
    if (!headers) check_corrupt(headers.error());
  }

  if (!gzi) {
    if (!walked) return 0;
    auto fresh = open_file(file, compressed.size());
    fresh->set_block_index(*walked);
    check_queries(*fresh, queries, &text);
    check_queries(*fresh, queries, &text);  // now from the cache
    return 0;
  }
  static fuzz::MemFile gzi_file("gzi-input");
  gzi_file.write(*gzi);
  auto fresh = open_file(file, compressed.size());
  auto loaded = gelvo::load_gzi(gzi_file.path(), *fresh);
  if (!loaded) {
    FUZZ_CHECK(loaded.error().kind() == gelvo::ErrorKind::IO);
    return 0;
  }
  // The loader checks what it can without reading the blocks: entries
  // inside the file, increasing, at most a block apart; reading checks that
  // each unit's members fill its range and inflate to its length. An index
  // that passes all that and still differs from the file's own (offsets
  // shifted consistently) is trusted, as htslib trusts it.
  const bool true_index = walked && *loaded == *walked;
  fresh->set_block_index(*loaded);
  check_queries(*fresh, queries, true_index ? &text : nullptr);
  return 0;
}
