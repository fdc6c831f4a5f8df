// Reading a whole BGZF file in order: the block list of a new .gzi, and the
// inflated text the .fai build scans.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "faidx/bgzf_file.h"
#include "faidx/fault_guard.h"
#include "faidx/io.h"
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

// The compressed file as a walk reads it: mapped when it can be, so that the
// workers inflate straight out of the page cache (under the fault guard: a
// file truncated meanwhile reads as a truncated block), else copied out in
// chunks with pread.
class Compressed {
 public:
  Compressed(const BgzfFile& file, bool map = true) : file_(file) {
    const std::uint64_t size = file.compressed_size();
    if (!map || size == 0 || size > static_cast<std::uint64_t>(PTRDIFF_MAX)) return;
    void* data = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, file.fd(), 0);
    if (data == MAP_FAILED) return;
    ::madvise(data, static_cast<std::size_t>(size), MADV_SEQUENTIAL);
    install_fault_handler();
    data_ = static_cast<const unsigned char*>(data);
  }
  ~Compressed() {
    if (data_ != nullptr)
      ::munmap(const_cast<unsigned char*>(data_), static_cast<std::size_t>(file_.compressed_size()));
  }
  Compressed(const Compressed&) = delete;
  Compressed& operator=(const Compressed&) = delete;

  const BgzfFile& file() const noexcept { return file_; }
  // The mapped bytes, or null.
  const unsigned char* mapped() const noexcept { return data_; }

 private:
  const BgzfFile& file_;
  const unsigned char* data_ = nullptr;
};

// A run of whole members of the file, and what they inflate to.
class Chunk {
 public:
  // Takes the bytes from offset on and lists the whole members found, up to
  // the bounds. Returns the bytes they take. A member that cannot be parsed,
  // or that the file's end cuts, ends the list: fault() then tells where.
  Result<std::size_t> read(const Compressed& source, std::uint64_t offset, bool inflating) {
    const BgzfFile& file = source.file();
    base_ = offset;
    listed_.clear();
    fault_.reset();
    auto got = take(source, offset);
    if (!got) return std::move(got).error();
    // The file's end, or (read short) where it ends now.
    const bool at_end = offset + *got >= file.compressed_size() || (!source.mapped() && *got < kChunkBytes);
    // Called only short of the size the file had when opened.
    if (*got == 0) fault_ = bgzf::corrupt(file.path(), offset, "truncated block");
    std::size_t at = 0;
    std::size_t out = 0;
    while (at < *got) {
      // The chunk's end may cut the next member: it is read again from here.
      if (!at_end && *got - at < bgzf::kMaxBlock) break;
      const unsigned char* p = bytes_ + at;
      const std::size_t available = *got - at;
      Result<bgzf::Member, bgzf::Fault> member = bgzf::Fault{"truncated block"};
      std::uint32_t inflated = 0;
      auto look = [&] {
        member = bgzf::parse_member(p, available);
        if (member && member->size <= available) inflated = bgzf::inflated_size(p, *member);
      };
      if (!run_guarded(look)) member = bgzf::Fault{"truncated block"};
      if (!member || member->size > available) {
        fault_ = bgzf::corrupt(file.path(), offset + at, member ? "truncated block" : member.error().what);
        break;
      }
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
      Result<std::size_t, bgzf::Fault> n = bgzf::Fault{"truncated block"};
      auto run = [&] { n = bgzf::inflate_member(bytes_ + m.at, m.member, out_.get() + m.out, bgzf::kMaxBlock); };
      if (!run_guarded(run)) n = bgzf::Fault{"truncated block"};
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
  // Points bytes_ at up to kChunkBytes of the file from offset on: into the
  // mapping, or into a copy read with pread. Returns how many there are.
  Result<std::size_t> take(const Compressed& source, std::uint64_t offset) {
    const std::uint64_t size = source.file().compressed_size();
    if (source.mapped() != nullptr) {
      bytes_ = source.mapped() + offset;
      return static_cast<std::size_t>(std::min<std::uint64_t>(kChunkBytes, size - offset));
    }
    if (!copy_) copy_.reset(new unsigned char[kChunkBytes]);
    bytes_ = copy_.get();
    // No further than the size at opening, also when the file grew since.
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkBytes, size - offset));
    return pread_full(source.file().fd(), copy_.get(), want, offset);
  }

  const unsigned char* bytes_ = nullptr;
  std::unique_ptr<unsigned char[]> copy_;
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
Result<bgzf::BlockIndex> walk_headers(const Compressed& source, std::uint64_t from, std::uint64_t stop_after) {
  const BgzfFile& file = source.file();
  bgzf::BlockIndexBuilder builder;
  Chunk chunk;
  for (std::uint64_t pos = from; pos < file.compressed_size();) {
    auto used = chunk.read(source, pos, false);
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
  const Compressed source(file);
  if (!sink) return walk_headers(source, 0, std::numeric_limits<std::uint64_t>::max());
  WorkerPool& pool = WorkerPool::instance();
  bgzf::BlockIndexBuilder builder;
  std::optional<FaidxError> failure;
  // Three chunks in turn: while the workers inflate one, this thread hands
  // the text of the one before to the sink and then lists the members of the
  // one after, so that neither holds up the inflating. A chunk that lists
  // nothing and found no fault is the end.
  Chunk chunks[3];
  std::uint64_t pos = 0;
  auto read = [&](Chunk& chunk) -> Status {
    if (pos >= file.compressed_size()) {
      chunk.clear();
      return Ok{};
    }
    auto used = chunk.read(source, pos, true);
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
  // A few members at most: read, not mapped.
  const Compressed source(file, false);
  auto tail = walk_headers(source, from, bgzf::kMaxBlock);
  if (!tail) return std::move(tail).error();
  return tail->uncompressed_size();
}

}  // namespace gelvo
