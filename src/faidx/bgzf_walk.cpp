// Reading a whole BGZF file in order: the block list of a new .gzi, and the
// inflated text the .fai build scans.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "faidx/bgzf_file.h"
#include "faidx/pool.h"

namespace gelvo {

namespace {

// Compressed bytes read at once, and the most inflated bytes held for them:
// a chunk is a few dozen blocks, enough to keep the workers busy, little
// enough to bound the memory of a build.
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;
constexpr std::size_t kChunkInflated = std::size_t{4} << 20;

struct Listed {
  std::size_t at;  // offset in the chunk's bytes
  bgzf::Member member;
  std::uint32_t inflated;
  std::size_t out;  // offset in the chunk's output
};

// A run of whole members read from the file, and what they inflate to.
class Chunk {
 public:
  Chunk() : bytes_(new unsigned char[kChunkBytes]) {}

  // Reads from offset on and lists the whole members found, up to the
  // bounds. Returns the bytes they take. A member that cannot be parsed,
  // or that the file's end cuts, ends the list: fault() then tells where.
  Result<std::size_t> read(const BgzfFile& file, std::uint64_t offset, bool inflating) {
    base_ = offset;
    listed_.clear();
    fault_.reset();
    auto got = pread_at(file.fd(), offset);
    if (!got) return std::move(got).error();
    const bool at_end = *got < kChunkBytes;
    // Called only short of the size the file had when opened.
    if (*got == 0) fault_ = bgzf::corrupt(file.path(), offset, "truncated block");
    std::size_t at = 0;
    std::size_t out = 0;
    while (at < *got) {
      // The chunk's end may cut the next member: it is read again from here.
      if (!at_end && *got - at < bgzf::kMaxBlock) break;
      auto member = bgzf::parse_member(bytes_.get() + at, *got - at);
      if (!member || member->size > *got - at) {
        fault_ = bgzf::corrupt(file.path(), offset + at, member ? "truncated block" : member.error().what);
        break;
      }
      const std::uint32_t inflated = bgzf::inflated_size(bytes_.get() + at, *member);
      if (inflating && out + std::min<std::size_t>(inflated, bgzf::kMaxBlock) > kChunkInflated) break;
      listed_.push_back({at, *member, inflated, out});
      out += std::min<std::size_t>(inflated, bgzf::kMaxBlock);
      at += member->size;
    }
    if (inflating && out > out_capacity_) {
      out_.reset(new unsigned char[out]);
      out_capacity_ = out;
    }
    faults_.assign(listed_.size(), std::nullopt);
    return at;
  }

  // Inflates members [begin, end) of the list; run by the workers.
  void inflate(const BgzfFile& file, std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) {
      const Listed& m = listed_[k];
      auto n = bgzf::inflate_member(bytes_.get() + m.at, m.member, out_.get() + m.out, bgzf::kMaxBlock);
      if (!n) faults_[k] = bgzf::corrupt(file.path(), base_ + m.at, n.error().what);
    }
  }

  // Lists nothing: the end of the file.
  void clear() noexcept {
    listed_.clear();
    fault_.reset();
  }

  std::size_t members() const noexcept { return listed_.size(); }
  const Listed& member(std::size_t k) const noexcept { return listed_[k]; }
  std::uint64_t offset_of(std::size_t k) const noexcept { return base_ + listed_[k].at; }
  const unsigned char* text(std::size_t k) const noexcept { return out_.get() + listed_[k].out; }
  const std::optional<FaidxError>& inflate_fault(std::size_t k) const noexcept { return faults_[k]; }
  const std::optional<FaidxError>& fault() const noexcept { return fault_; }

 private:
  Result<std::size_t> pread_at(int fd, std::uint64_t offset) {
    std::size_t got = 0;
    while (got < kChunkBytes) {
      const ssize_t r = ::pread(fd, bytes_.get() + got, kChunkBytes - got, static_cast<off_t>(offset + got));
      if (r < 0) {
        if (errno == EINTR) continue;
        return FaidxError::from_errno(errno);
      }
      if (r == 0) break;
      got += static_cast<std::size_t>(r);
    }
    return got;
  }

  std::unique_ptr<unsigned char[]> bytes_;
  std::unique_ptr<unsigned char[]> out_;
  std::size_t out_capacity_ = 0;
  std::uint64_t base_ = 0;
  std::vector<Listed> listed_;
  std::vector<std::optional<FaidxError>> faults_;
  std::optional<FaidxError> fault_;
};

// Hands the members of an inflated chunk to the builder and the sink in
// order. Returns false when the walk ends here: an error (in *failure) or a
// sink that refused.
bool deliver(const Chunk& chunk, bgzf::BlockIndexBuilder& builder, const InflatedSink& sink,
             std::optional<FaidxError>* failure) {
  for (std::size_t k = 0; k < chunk.members(); ++k) {
    if (chunk.inflate_fault(k)) {
      *failure = *chunk.inflate_fault(k);
      return false;
    }
    const std::uint64_t offset = builder.uncompressed_size();
    const Listed& m = chunk.member(k);
    builder.add(chunk.offset_of(k), m.inflated);
    if (m.inflated != 0 && !sink(chunk.text(k), m.inflated, offset)) return false;
  }
  if (chunk.fault()) {
    *failure = *chunk.fault();
    return false;
  }
  return true;
}

// The walk that reads headers and trailers only.
Result<bgzf::BlockIndex> walk_headers(const BgzfFile& file, std::uint64_t from, std::uint64_t stop_after) {
  bgzf::BlockIndexBuilder builder;
  Chunk chunk;
  for (std::uint64_t pos = from; pos < file.compressed_size();) {
    auto used = chunk.read(file, pos, false);
    if (!used) return std::move(used).error();
    for (std::size_t k = 0; k < chunk.members(); ++k) builder.add(chunk.offset_of(k), chunk.member(k).inflated);
    if (chunk.fault()) return *chunk.fault();
    pos += *used;
    if (builder.uncompressed_size() > stop_after) break;
  }
  return builder.finish(file.compressed_size());
}

}  // namespace

Result<bgzf::BlockIndex> walk_members(const BgzfFile& file, const InflatedSink& sink) {
  ::posix_fadvise(file.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
  if (!sink) return walk_headers(file, 0, std::numeric_limits<std::uint64_t>::max());
  WorkerPool& pool = WorkerPool::instance();
  bgzf::BlockIndexBuilder builder;
  std::optional<FaidxError> failure;
  // Three chunks in turn: while the workers inflate one, this thread hands
  // the text of the one before to the sink and then reads the one after, so
  // that neither the sink nor the reads (copies out of the page cache) hold
  // up the inflating. A chunk that lists nothing and found no fault is the
  // end.
  Chunk chunks[3];
  std::uint64_t pos = 0;
  auto read = [&](Chunk& chunk) -> Status {
    if (pos >= file.compressed_size()) {
      chunk.clear();
      return Ok{};
    }
    auto used = chunk.read(file, pos, true);
    if (!used) return std::move(used).error();
    pos += *used;
    return Ok{};
  };
  auto inflate = [&](Chunk& chunk) {
    return [&](std::size_t begin, std::size_t end) { chunk.inflate(file, begin, end); };
  };
  Status status = read(chunks[0]);
  if (!status) return std::move(status).error();
  pool.parallel_for(chunks[0].members(), inflate(chunks[0]), [&] { status = read(chunks[1]); });
  for (std::size_t round = 0; status; ++round) {
    Chunk& ready = chunks[round % 3];
    Chunk& ahead = chunks[(round + 1) % 3];
    Chunk& next = chunks[(round + 2) % 3];
    if (ready.members() == 0 && !ready.fault()) break;
    bool going = true;
    pool.parallel_for(ahead.members(), inflate(ahead), [&] {
      going = deliver(ready, builder, sink, &failure);
      if (going) status = read(next);
    });
    if (!going) break;
  }
  if (!status) return std::move(status).error();
  if (failure) return std::move(*failure);
  return builder.finish(file.compressed_size());
}

Result<std::uint64_t> tail_size(const BgzfFile& file, std::uint64_t from) {
  auto tail = walk_headers(file, from, bgzf::kMaxBlock);
  if (!tail) return std::move(tail).error();
  return tail->uncompressed_size();
}

}  // namespace gelvo
