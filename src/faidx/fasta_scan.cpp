// The index build: one pass over the FASTA file that measures every line and
// keeps only the records.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "faidx/index.h"
#include "faidx/index_text.h"
#include "faidx/io.h"

namespace gelvo {

namespace {

// Where a record's line layout stands. Fetches place residue k of a record
// at offset + (k / lenc) * lenb + k % lenc, which holds only when every
// sequence line but the last has the first line's residues and bytes and
// nothing follows the last but blank lines.
class LineLayout {
 public:
  void reset() noexcept { *this = LineLayout(); }

  // One sequence line of `residues` residues and `bytes` bytes, a missing
  // final LF counted as present (as samtools counts it). Returns false when
  // the line breaks the layout.
  bool accept(std::size_t residues, std::size_t bytes) noexcept {
    if (lines_++ == 0) {
      residues_ = residues;
      bytes_ = bytes;
      ended_ = residues == 0;
      return true;
    }
    // Blank lines (nothing but a line end) may only follow the last
    // sequence line: they end the record and are not measured.
    if (residues == 0) {
      ended_ = true;
      return true;
    }
    if (ended_ || residues > residues_ || bytes > bytes_) return false;
    ended_ = residues < residues_ || bytes < bytes_;
    return true;
  }

 private:
  std::size_t lines_ = 0;
  std::size_t residues_ = 0;
  std::size_t bytes_ = 0;
  bool ended_ = false;  // a shorter or blank line was the last sequence line
};

// Line-by-line state of the index build. Sequence lines are only measured,
// never stored, so memory does not grow with line length.
class FastaScanner {
 public:
  // Consumes the next chunk of the file; `base` is the file offset of p[0].
  // Returns false once the file is refused (error() tells why).
  bool feed(const char* p, std::size_t n, std::uint64_t base) {
    const char* const start = p;
    const char* const end = p + n;
    // Most files hold no CR at all: their lines skip the CR bookkeeping.
    const bool has_cr = std::memchr(p, '\r', n) != nullptr;
    while (p < end) {
      if (at_line_start_) {
        at_line_start_ = false;
        header_line_ = *p == '>';
        line_bytes_ = 0;
        if (header_line_) {
          header_.clear();
          ++p;
          continue;
        }
      }
      const auto* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
      const char* seg_end = nl ? nl : end;
      if (header_line_) {
        if (nl != nullptr && header_.empty()) {
          // The whole header is in this chunk: no copy.
          start_record(std::string_view(p, static_cast<std::size_t>(seg_end - p)), base + (nl + 1 - start));
          p = nl + 1;
          at_line_start_ = true;
          ++line_number_;
          continue;
        }
        header_.append(p, seg_end);
      } else if (has_cr) {
        measure_with_cr(p, seg_end);
      } else {
        measure(p, seg_end);
      }
      if (nl == nullptr) break;
      p = nl + 1;
      if (!end_line(true, base + static_cast<std::uint64_t>(p - start))) return false;
      at_line_start_ = true;
      ++line_number_;
    }
    return true;
  }

  // The records, after the last chunk; false when the file is refused.
  bool finish(std::uint64_t file_size) {
    if (!at_line_start_ && !end_line(false, file_size)) return false;
    close_record();
    return true;
  }

  RecordList& records() noexcept { return records_; }
  FaidxError& error() noexcept { return *error_; }

 private:
  void measure(const char* p, const char* seg_end) noexcept {
    const auto len = static_cast<std::size_t>(seg_end - p);
    // CRs of an earlier chunk followed by more bytes were inside the line.
    if (len != 0 && trailing_cr_ != 0) {
      inner_cr_ = true;
      trailing_cr_ = 0;
    }
    line_bytes_ += len;
  }

  void measure_with_cr(const char* p, const char* seg_end) noexcept {
    const auto len = static_cast<std::size_t>(seg_end - p);
    std::size_t crs = 0;
    while (crs < len && seg_end[-1 - static_cast<std::ptrdiff_t>(crs)] == '\r') ++crs;
    if (crs == len) {
      trailing_cr_ += crs;
    } else {
      if (trailing_cr_ != 0 || std::memchr(p, '\r', len - crs) != nullptr) inner_cr_ = true;
      trailing_cr_ = crs;
    }
    line_bytes_ += len;
  }

  bool end_line(bool had_lf, std::uint64_t position) {
    if (header_line_) {
      start_record(header_, position);
      return true;
    }
    const std::size_t residues = line_bytes_ - trailing_cr_;
    const bool inner_cr = inner_cr_;
    inner_cr_ = false;
    trailing_cr_ = 0;
    if (!in_record_) return true;  // before the first header: dropped unread
    // Extraction skips a CR that the count above takes for a residue.
    if (inner_cr) return refuse("Carriage return inside a line of sequence '");
    if (!layout_.accept(residues, line_bytes_ + 1)) return refuse("Different line length in sequence '");
    current_.rlen += residues;
    if (first_line_) {
      first_line_ = false;
      current_.lenc = residues;
      current_.lenb = line_bytes_ + (had_lf ? 1 : 0);
    }
    return true;
  }

  bool refuse(const char* what) {
    std::string text(what);
    text += name_;
    text += "' at line ";
    text += std::to_string(line_number_);
    error_.emplace(ErrorKind::FastaIndexing, std::move(text));
    return false;
  }

  void start_record(std::string_view header, std::uint64_t position) {
    close_record();
    name_.assign(header_name(header));
    current_ = IndexEntry{position, 0, 0, 0};
    first_line_ = true;
    in_record_ = true;
    layout_.reset();
  }

  // Lines before the first header, and headers without a name, belong to a
  // record with an empty name, which is dropped.
  void close_record() {
    if (!name_.empty()) records_.push_back(name_, current_);
    name_.clear();
  }

  RecordList records_;
  std::optional<FaidxError> error_;
  std::string name_;
  IndexEntry current_;
  LineLayout layout_;
  bool first_line_ = false;
  bool in_record_ = false;
  std::string header_;
  std::size_t line_number_ = 1;
  bool at_line_start_ = true;
  bool header_line_ = false;
  std::size_t line_bytes_ = 0;   // bytes of the line so far, LF excluded
  std::size_t trailing_cr_ = 0;  // CRs at the end of the line so far
  bool inner_cr_ = false;        // a CR followed by another byte of the line
};

}  // namespace

struct FastaIndexBuild::State {
  FastaScanner scanner;
  Utf8Validator utf8;
  std::uint64_t consumed = 0;
  bool not_utf8 = false;
  // A file that is not UTF-8 is an IOError whatever else is wrong with it,
  // so a refused layout stops the scan but not the validation.
  bool refused = false;
};

FastaIndexBuild::FastaIndexBuild() : state_(std::make_unique<State>()) {}
FastaIndexBuild::~FastaIndexBuild() = default;

bool FastaIndexBuild::feed(const char* p, std::size_t n) {
  State& s = *state_;
  if (s.not_utf8) return false;
  if (!s.utf8.feed(reinterpret_cast<const unsigned char*>(p), n)) {
    s.not_utf8 = true;
    return false;
  }
  if (!s.refused) s.refused = !s.scanner.feed(p, n, s.consumed);
  s.consumed += n;
  return true;
}

Result<RecordList> FastaIndexBuild::finish() {
  State& s = *state_;
  if (s.not_utf8 || !s.utf8.complete()) return FaidxError::io(kInvalidUtf8);
  if (s.refused || !s.scanner.finish(s.consumed)) return std::move(s.scanner.error());
  return std::move(s.scanner.records());
}

Result<RecordList> scan_fasta(const std::string& fasta_path) {
  // O_NONBLOCK keeps a FIFO from blocking the open; the read then fails or
  // ends at once instead of hanging.
  UniqueFd fd(::open(fasta_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return FaidxError::from_errno(errno);
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

  std::unique_ptr<char[]> buffer(new char[kScanChunk]);
  FastaIndexBuild build;
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer.get(), kScanChunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FaidxError::from_errno(errno);
    }
    if (n == 0) break;
    if (!build.feed(buffer.get(), static_cast<std::size_t>(n))) break;
  }
  return build.finish();
}

}  // namespace gelvo
