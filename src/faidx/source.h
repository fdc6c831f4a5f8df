// Where the bytes of a FASTA file come from. Extraction reads through one
// small interface; the coordinate rules and the batch never see which
// source it is. Three sources exist: the file mapped into memory, the file
// read through a descriptor with positioned reads, and a BGZF-compressed
// file (faidx/bgzf_file.h), whose offsets count uncompressed bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "errors/error.h"
#include "faidx/index.h"

namespace gelvo {

// A read-only view of bytes in memory.
struct Mapping {
  const unsigned char* data = nullptr;
  std::size_t size = 0;
};

// Bytes of one open file. A source is read concurrently by worker threads:
// every method is safe to call from several threads at once.
class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // Bytes a fetch can read: the mapped length, or the file's current size
  // (0 when it cannot be known).
  virtual std::uint64_t size() const noexcept = 0;

  // Copies up to count bases of entry from base s (1-based) on into dst,
  // skipping CR and LF, and returns how many it wrote. *plain tells whether
  // every byte written lies in 1..127.
  virtual Result<std::size_t> extract(const IndexEntry& entry, std::size_t s, std::size_t count, char* dst,
                                      bool* plain) const = 0;

  // A hint that the first bytes of that region will be read soon. Never
  // faults and never fails.
  virtual void prefetch(const IndexEntry&, std::size_t, std::size_t) const noexcept {}

  // Readies the source for extract() calls that follow on any thread: a
  // mapped file makes sure its fault handler is the one installed (code
  // that ran since, such as faulthandler.enable(), may have replaced it).
  // Called once per call from Python, not per region: it costs a system
  // call.
  virtual void prepare() const noexcept {}

  // prepare() for a call that reads one region. A source whose prepare()
  // is a system call does it at most once per clock tick (a few
  // milliseconds) here, as a system call per fetch would make random
  // fetches half as fast again.
  virtual void refresh() const noexcept { prepare(); }

  // Whether the file is mapped into memory (for tests and tools).
  virtual bool is_mapped() const noexcept = 0;

  // Whether many regions are best read in the order of their file offsets
  // rather than in request order: a compressed file inflates a whole block
  // for any byte of it, so regions that share a block should be read
  // together.
  virtual bool prefers_offset_order() const noexcept { return false; }
};

// Opens path for fetches: mapped read-only when it is a regular file and
// `writable` is not asked for (or the mapping fails), else through a
// descriptor opened for reading, and writing when `writable`. A directory,
// FIFO, socket or character device is an IOError (EISDIR, ESPIPE). A file
// whose content is BGZF opens as a BgzfFile without its block index
// (acquire_bgzf_indexes gives it one); other gzip data is an IOError that
// says to recompress it with bgzip.
Result<std::unique_ptr<ByteSource>> open_source(const std::string& path, bool writable);

// Extraction primitives, exposed for tests and fuzzing.
// Byte position of base s (1-based) of entry, or nullopt when it overflows.
std::optional<std::uint64_t> base_offset(const IndexEntry& entry, std::size_t s) noexcept;
// Bytes that can hold count bases of entry and their line terminators from
// the first base on; saturates for hostile geometry. A fetch reads no
// further than this past its first base. entry.lenc must not be 0.
std::uint64_t scan_span(const IndexEntry& entry, std::size_t count) noexcept;
// Copies the bytes of [p, end) that are neither CR nor LF to dst until count
// bytes are written, and returns how many it wrote; *consumed gets the input
// bytes read, *plain whether every byte written lies in 1..127 (it may say
// false for a plain text, never true for another).
std::size_t copy_skipping_line_ends(const unsigned char* p, const unsigned char* end, char* dst, std::size_t count,
                                    std::size_t* consumed, bool* plain) noexcept;
// Copies up to count non-CR/LF bytes starting at base s from the mapping.
// *plain (when given) tells whether every byte written lies in 1..127.
std::size_t extract_sequence_from_mmap(const Mapping& mapping, const IndexEntry& entry, std::size_t s,
                                       std::size_t count, char* dst, bool* plain = nullptr) noexcept;
// Asks the processor to start loading the first bytes (up to 512) that
// extract_sequence_from_mmap would read for the same arguments. Never faults.
void prefetch_from_mmap(const Mapping& mapping, const IndexEntry& entry, std::size_t s, std::size_t count) noexcept;
// Copies up to count non-CR/LF bytes starting at base s through pread.
Result<std::size_t> extract_sequence_from_file_optimized(int fd, const IndexEntry& entry, std::size_t s,
                                                         std::size_t count, char* dst, bool* plain = nullptr);

}  // namespace gelvo
