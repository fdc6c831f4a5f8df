#include "faidx/bgzf_file.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <limits>
#include <vector>

#include "faidx/io.h"
#include "faidx/pool.h"

namespace gelvo {

namespace {

// The compressed bytes of one unit, read by the thread that inflates it.
unsigned char* thread_buffer() {
  thread_local std::unique_ptr<unsigned char[]> buffer;
  if (!buffer) buffer.reset(new unsigned char[bgzf::kMaxBlock]);
  return buffer.get();
}

// The block a thread read last, so that the fetches of one neighbourhood
// (the lines of a record, the sorted regions of a batch) take it without
// the cache's lock. Files are told apart by a number never reused, not by
// address: a file opened where a closed one was must not see its block.
struct LastBlock {
  std::uint64_t file = 0;
  std::size_t unit = 0;
  BlockRef block;
};

thread_local LastBlock tl_last;

std::uint64_t new_file_id() noexcept {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

BgzfFile::BgzfFile(UniqueFd fd, std::string path, std::uint64_t compressed_size)
    : fd_(std::move(fd)), path_(std::move(path)), compressed_size_(compressed_size), id_(new_file_id()) {}

Result<BlockRef> BgzfFile::block(std::size_t unit) const {
  if (tl_last.file == id_ && tl_last.unit == unit) return tl_last.block;
  auto got = cache_.get(unit, [&](InflatedBlock& out) { return inflate_unit(unit, out); });
  if (got) tl_last = LastBlock{id_, unit, *got};
  return got;
}

Status BgzfFile::inflate_unit(std::size_t unit, InflatedBlock& out) const {
  unsigned char* const buffer = thread_buffer();
  const std::uint64_t end = index_.cend(unit);
  std::uint64_t pos = index_.cbegin(unit);
  std::size_t produced = 0;
  while (pos < end) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(end - pos, bgzf::kMaxBlock));
    auto got = pread_full(fd_.get(), buffer, want, pos);
    if (!got) return std::move(got).error();
    // The file shrank under us.
    if (*got == 0) return bgzf::corrupt(path_, pos, "truncated block");
    std::size_t at = 0;
    while (at < *got) {
      const std::uint64_t here = pos + at;
      auto member = bgzf::parse_member(buffer + at, *got - at);
      if (!member) return bgzf::corrupt(path_, here, *got < want ? "truncated block" : member.error().what);
      if (member->size > end - here) {
        return bgzf::corrupt(path_, here, end == compressed_size_ ? "truncated block" : "block crosses a .gzi entry");
      }
      if (member->size > *got - at) {
        if (at == 0) return bgzf::corrupt(path_, here, "truncated block");
        break;  // read again from this member on
      }
      auto n = bgzf::inflate_member(buffer + at, *member, out.data + produced, bgzf::kMaxBlock - produced);
      if (!n) return bgzf::corrupt(path_, here, n.error().what);
      produced += *n;
      at += member->size;
    }
    pos += at;
  }
  if (produced != index_.uend(unit) - index_.ubegin(unit)) {
    return bgzf::corrupt(path_, index_.cbegin(unit), "block inflates to another length than the .gzi gives");
  }
  out.size = produced;
  return Ok{};
}

// Copies the text of consecutive units as the plain copy does: bytes of
// [pos, limit) that are not CR or LF, until count are written.
class BgzfFile::Copier {
 public:
  Copier(char* dst, std::size_t count, std::uint64_t pos, std::uint64_t limit)
      : dst_(dst), count_(count), pos_(pos), limit_(limit) {}

  bool done() const noexcept { return got_ == count_ || pos_ >= limit_; }
  std::size_t got() const noexcept { return got_; }
  bool plain() const noexcept { return plain_; }

  // The text of the unit whose first byte lies at uncompressed offset begin.
  void take(std::uint64_t begin, const unsigned char* data, std::size_t size) noexcept {
    const std::uint64_t from = std::max(pos_, begin) - begin;
    const std::uint64_t to = std::min<std::uint64_t>(limit_, begin + size) - begin;
    if (done() || from >= to) return;
    std::size_t consumed;
    bool plain;
    got_ += copy_skipping_line_ends(data + from, data + to, dst_ + got_, count_ - got_, &consumed, &plain);
    plain_ = plain_ && plain;
    pos_ = begin + from + consumed;
  }

 private:
  char* dst_;
  std::size_t count_;
  std::uint64_t pos_;
  std::uint64_t limit_;
  std::size_t got_ = 0;
  bool plain_ = true;
};

Result<std::size_t> BgzfFile::extract(const IndexEntry& entry, std::size_t s, std::size_t count, char* dst,
                                      bool* plain) const {
  *plain = true;
  if (count == 0 || entry.rlen == 0 || entry.lenc == 0) return std::size_t{0};
  const std::uint64_t size = index_.uncompressed_size();
  const auto b = base_offset(entry, s);
  if (!b || *b >= size) return std::size_t{0};
  const std::uint64_t span = scan_span(entry, count);
  const std::uint64_t limit = span > size - *b ? size : *b + span;
  const std::size_t first = index_.unit_of(*b);
  const std::size_t last = index_.unit_of(limit - 1);
  Copier copier(dst, count, *b, limit);
  // A span of many blocks is inflated on the worker pool, without the
  // cache: it would only push out the blocks of other fetches.
  constexpr std::size_t kWide = 8;
  if (last - first >= kWide) {
    auto got = extract_wide(first, last, copier);
    *plain = copier.plain();
    return got;
  }
  for (std::size_t unit = first; unit <= last && !copier.done(); ++unit) {
    auto got = block(unit);
    if (!got) return std::move(got).error();
    copier.take(index_.ubegin(unit), (*got)->data, (*got)->size);
  }
  *plain = copier.plain();
  return copier.got();
}

Result<std::size_t> BgzfFile::extract_wide(std::size_t first, std::size_t last, Copier& copier) const {
  // Two windows of blocks: the workers inflate one while this thread copies
  // out of the other.
  WorkerPool& pool = WorkerPool::instance();
  // Eight blocks per worker keep each busy between two copies; the cap
  // bounds the memory of a pool of many threads (2 x 4 MiB).
  const std::size_t window = std::min<std::size_t>(std::max<std::size_t>(pool.thread_count(), 1) * 8, 64);
  struct Window {
    std::unique_ptr<InflatedBlock[]> blocks;
    std::vector<std::optional<FaidxError>> errors;
    std::size_t first = 0;
    std::size_t count = 0;
  };
  Window windows[2];
  for (Window& w : windows) {
    w.blocks.reset(new InflatedBlock[window]);
    w.errors.resize(window);
  }
  auto inflate = [&](Window& w) {
    return [&](std::size_t begin, std::size_t end) {
      for (std::size_t k = begin; k < end; ++k) {
        Status status = inflate_unit(w.first + k, w.blocks[k]);
        w.errors[k] = status ? std::nullopt : std::optional<FaidxError>(std::move(status).error());
      }
    };
  };
  // Copies out of a window in order; the first error of a block the copy
  // reaches is the fetch's error, as a block-by-block read would meet it.
  std::optional<FaidxError> failure;
  auto copy = [&](const Window& w) {
    for (std::size_t k = 0; k < w.count && !failure && !copier.done(); ++k) {
      if (w.errors[k]) {
        failure = *w.errors[k];
        return;
      }
      copier.take(index_.ubegin(w.first + k), w.blocks[k].data, w.blocks[k].size);
    }
  };
  auto start = [&](Window& w, std::size_t from) {
    w.first = from;
    w.count = std::min(window, last + 1 - from);
  };
  start(windows[0], first);
  pool.parallel_for(windows[0].count, inflate(windows[0]));
  for (std::size_t next = first + windows[0].count, current = 0;; current ^= 1) {
    Window& done = windows[current];
    if (next > last || failure || copier.done()) {
      copy(done);
      break;
    }
    Window& ahead = windows[current ^ 1];
    start(ahead, next);
    next += ahead.count;
    pool.parallel_for(ahead.count, inflate(ahead), [&] { copy(done); });
  }
  if (failure) return std::move(*failure);
  return copier.got();
}

}  // namespace gelvo
