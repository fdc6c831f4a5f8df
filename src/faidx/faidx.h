// Faidx: the index-and-fetch engine over one FASTA file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "errors/error.h"
#include "faidx/index.h"
#include "sequence/sequence.h"

namespace gelvo {

// Construction options a Faidx stores. read_long_names, split_char,
// duplicate_action and read_ahead are accepted and kept but change nothing.
struct FaidxOptions {
  bool as_raw = false;
  bool strict_bounds = false;
  bool sequence_always_upper = false;
  bool one_based_attributes = true;
  std::optional<std::string> default_seq;
  bool mutable_file = false;
  bool read_long_names = false;
  std::optional<std::string> split_char;
  std::string duplicate_action = "stop";
  std::optional<std::size_t> read_ahead;
};

// A read-only view of the mapped FASTA file.
struct Mapping {
  const unsigned char* data = nullptr;
  std::size_t size = 0;
};

// A strict coordinate violation of the region fetch; raised as IndexError.
struct BoundsError {
  std::string message;
};
using FetchFailure = std::variant<FaidxError, BoundsError>;

// The outcome of lookup and coordinate rules for one fetch.
struct FetchPlan {
  // Null when the coordinate rules produced an empty result: it is returned
  // as is, with empty_start and empty_end, untouched by any option.
  const IndexEntry* entry = nullptr;
  std::size_t s = 0;  // first base, 1-based
  std::size_t e = 0;  // last base, inclusive
  std::size_t empty_start = 0;
  std::size_t empty_end = 0;

  bool is_empty() const noexcept { return entry == nullptr; }
  std::size_t count() const noexcept { return e - s + 1; }
};

class Faidx {
 public:
  // Opens filename (mapping it unless mutable_file is set or mapping fails)
  // and acquires its index at indexname, or filename + ".fai".
  static Result<std::unique_ptr<Faidx>> open(std::string filename, std::optional<std::string> indexname,
                                             FaidxOptions options, bool rebuild, bool build_index);
  ~Faidx();
  Faidx(const Faidx&) = delete;
  Faidx& operator=(const Faidx&) = delete;

  const std::string& filename() const noexcept { return filename_; }
  const std::string& index_path() const noexcept { return index_path_; }
  const NameIndex& index() const noexcept { return index_; }
  const FaidxOptions& options() const noexcept { return options_; }
  // The mapped file, or null when fetches read through the descriptor.
  const Mapping* mapping() const noexcept { return mapped_ ? &mapping_ : nullptr; }

  // The entry of a name, or the FetchError "Sequence '<name>' not found".
  Result<const IndexEntry*> find_entry(std::string_view name) const;

  // Lookup and the coordinate rules of the region fetch. Lenient problems
  // write their warning line to standard error.
  Result<FetchPlan, FetchFailure> plan_fetch(std::string_view name, std::size_t start, std::size_t end) const;
  // The silent rules used on worker threads (clamping, RegionError).
  Result<FetchPlan> plan_fetch_silent(std::string_view name, std::size_t start, std::size_t end) const;
  // The whole record, no coordinate rules.
  Result<FetchPlan> plan_entire(std::string_view name) const;

  // An upper bound of the bytes extract() can produce: at most count() and
  // at most what the file holds from the first base on.
  std::size_t extract_bound(const FetchPlan& plan, const Mapping* mapping) const noexcept;
  // The same for a source of known size (see source_size()).
  static std::size_t extract_bound(const FetchPlan& plan, std::uint64_t source_size) noexcept;
  // Bytes of the source a fetch reads: the mapped length, or the file's
  // current size through the descriptor (0 when it cannot be known).
  std::uint64_t source_size(const Mapping* mapping) const noexcept;
  // Copies the plan's bases, skipping CR and LF, into dst, which has room
  // for capacity bytes (normally extract_bound()), from mapping when given,
  // else through the descriptor. Returns the number of bytes written;
  // *plain (when given) tells whether they all lie in 1..127.
  Result<std::size_t> extract(const FetchPlan& plan, const Mapping* mapping, char* dst, std::size_t capacity,
                              bool* plain = nullptr) const;

  // Cuts or fills (default_seq) text to the plan's count and upper-cases it
  // as the options say. Whole-record fetches pass fill = false.
  void finish_text(const FetchPlan& plan, std::string& text, bool fill) const;
  // Upper-cases in place when sequence_always_upper is set.
  void apply_case(char* text, std::size_t n) const noexcept;
  // The result coordinates of a non-empty plan under the options.
  std::optional<std::size_t> result_start(const FetchPlan& plan) const noexcept;
  std::optional<std::size_t> result_end(const FetchPlan& plan) const noexcept;

  // Whole fetches producing engine values.
  Result<Sequence, FetchFailure> fetch(std::string_view name, std::size_t start, std::size_t end) const;
  Result<Sequence> fetch_single_optimized(std::string_view name, std::size_t start, std::size_t end,
                                          const Mapping* mapping) const;
  Result<Sequence> fetch_entire_sequence(std::string_view name) const;

 private:
  Faidx() = default;
  // Whether the file is now shorter than when it was mapped.
  bool file_shrank() const noexcept;
  // Extraction through a fresh descriptor, after the mapping failed us.
  Result<std::size_t> reread(const FetchPlan& plan, char* dst, std::size_t want, bool* plain) const;
  Result<Sequence> materialize(std::string_view name, const FetchPlan& plan, const Mapping* mapping, bool fill) const;

  std::string filename_;
  std::string index_path_;
  Mapping mapping_;
  bool mapped_ = false;
  std::size_t mapped_length_ = 0;  // bytes actually mapped (at least 1)
  int fd_ = -1;
  NameIndex index_;
  FaidxOptions options_;
};

// Extraction primitives, exposed for tests and fuzzing.
// Byte position of base s (1-based) of entry, or nullopt when it overflows.
std::optional<std::uint64_t> base_offset(const IndexEntry& entry, std::size_t s) noexcept;
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
