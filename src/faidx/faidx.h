// Faidx: the index-and-fetch engine over one FASTA file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors/error.h"
#include "faidx/index.h"
#include "faidx/source.h"
#include "sequence/coordinates.h"
#include "sequence/sequence.h"

namespace gelvo {

// Construction options a Faidx stores. read_long_names, split_char,
// duplicate_action and read_ahead are accepted and kept but change nothing.
struct FaidxOptions {
  std::optional<std::string> indexname;  // the index path; filename + ".fai" when absent
  bool as_raw = false;
  bool strict_bounds = false;
  bool sequence_always_upper = false;
  bool rebuild = true;
  bool build_index = true;
  bool one_based_attributes = true;
  std::optional<std::string> default_seq;
  bool mutable_file = false;
  std::optional<std::string> split_char;
  bool read_long_names = false;
  std::string duplicate_action = "stop";
  std::optional<std::size_t> read_ahead;

  CoordinateStyle style() const noexcept { return {as_raw, one_based_attributes}; }
};

// Which region rules a fetch applies (sequence/coordinates.h): the checked
// rules of a single fetch (warnings, or Bounds errors when strict), or the
// silent rules of worker threads.
enum class Rules { Checked, Silent };

// The outcome of lookup and region rules for one fetch.
struct FetchPlan {
  const IndexEntry* entry = nullptr;  // null when the region is empty
  Region region;

  bool is_empty() const noexcept { return region.empty; }
  std::size_t count() const noexcept { return region.count(); }
};

class Faidx {
 public:
  // Opens filename (mapping it unless mutable_file is set or mapping fails)
  // and acquires its index at options.indexname, or filename + ".fai".
  static Result<std::unique_ptr<Faidx>> open(std::string filename, FaidxOptions options);
  Faidx(const Faidx&) = delete;
  Faidx& operator=(const Faidx&) = delete;

  const std::string& filename() const noexcept { return filename_; }
  const std::string& index_path() const noexcept { return index_path_; }
  const NameIndex& index() const noexcept { return index_; }
  const FaidxOptions& options() const noexcept { return options_; }
  const ByteSource& source() const noexcept { return *source_; }

  // The entry of a name, or the FetchError "Sequence '<name>' not found".
  Result<const IndexEntry*> find_entry(std::string_view name) const;

  // Lookup and the region rules. The checked rules write their warning
  // lines to standard error.
  Result<FetchPlan> plan(std::string_view name, std::size_t start, std::size_t end, Rules rules) const;
  // The whole record, no rules.
  Result<FetchPlan> plan_entire(std::string_view name) const;

  // An upper bound of the bytes extract() can produce: at most count() and
  // at most what a source of source_size bytes holds from the first base on.
  static std::size_t extract_bound(const FetchPlan& plan, std::uint64_t source_size) noexcept;
  std::size_t extract_bound(const FetchPlan& plan) const noexcept { return extract_bound(plan, source_->size()); }
  // Copies the plan's bases, skipping CR and LF, into dst, which has room
  // for capacity bytes (normally extract_bound()). Returns the number of
  // bytes written; *plain (when given) tells whether they all lie in 1..127.
  // Readies the source first (ByteSource::refresh: a clock read, and a
  // system call once per clock tick).
  Result<std::size_t> extract(const FetchPlan& plan, char* dst, std::size_t capacity, bool* plain = nullptr) const;
  // The same without readying the source, for the many extractions that
  // follow one source().prepare() (a batch).
  Result<std::size_t> extract_prepared(const FetchPlan& plan, char* dst, std::size_t capacity,
                                       bool* plain = nullptr) const;

  // Cuts or fills (default_seq) text to the plan's count and upper-cases it
  // as the options say. Whole-record fetches pass fill = false.
  void finish_text(const FetchPlan& plan, std::string& text, bool fill) const;
  // Upper-cases in place when sequence_always_upper is set.
  void apply_case(char* text, std::size_t n) const noexcept;
  // The coordinates a result of the plan reports under the options.
  Span result_span(const FetchPlan& plan) const noexcept { return gelvo::result_span(plan.region, options_.style()); }

  // Whole fetches producing engine values.
  Result<Sequence> fetch(std::string_view name, std::size_t start, std::size_t end) const;
  // The silent single-region fetch of worker threads.
  Result<Sequence> fetch_single_optimized(std::string_view name, std::size_t start, std::size_t end) const;
  Result<Sequence> fetch_entire_sequence(std::string_view name) const;

  // The pieces fetched in order and joined; the result reports the first
  // piece's start and the last piece's end. With rc the joined text is
  // reverse complemented, the coordinates stay as fetched.
  Result<Sequence> fetch_spliced(std::string_view name, std::span<const std::pair<std::size_t, std::size_t>> pieces,
                                 bool rc) const;
  // A record slice with a step other than 1 (begin, stop and step resolved
  // as slice.indices() does). Nothing (no error) when the bases read do not
  // correspond one byte to one base (a file shorter than its index, a
  // multi-letter filler, non-ASCII bytes): the caller then slices the region
  // fetch of the whole record.
  Result<std::optional<Sequence>> fetch_stepped(std::string_view name, std::ptrdiff_t begin, std::ptrdiff_t stop,
                                                std::ptrdiff_t step) const;
  // Bases of the record without the N and n at either end.
  Result<std::size_t> unpadded_length(std::string_view name) const;
  // The record's chunks (lines of its first line's width), last first, each
  // reversed.
  Result<std::vector<Sequence>> reversed_chunks(std::string_view name) const;
  // How often each byte value occurs among the bases of the whole record,
  // as fetch_entire_sequence gives them; read a few MiB at a time.
  Result<std::array<std::uint64_t, 256>> composition(std::string_view name) const;

 private:
  Faidx() = default;
  Result<Sequence> materialize(std::string_view name, const FetchPlan& plan, bool fill) const;

  std::string filename_;
  std::string index_path_;
  std::unique_ptr<ByteSource> source_;
  NameIndex index_;
  FaidxOptions options_;
};

}  // namespace gelvo
