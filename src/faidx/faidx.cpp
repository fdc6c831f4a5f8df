#include "faidx/faidx.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <new>

#include "faidx/fault_guard.h"
#include "faidx/io.h"

namespace gelvo {

namespace {

// Message text from pieces: strings and unsigned numbers.
struct Piece {
  Piece(std::string_view text) : text(text) {}
  Piece(const char* text) : text(text) {}
  Piece(std::size_t number) : digits(std::to_string(number)), text(digits) {}
  std::string digits;
  std::string_view text;
};

std::string concat(std::initializer_list<Piece> pieces) {
  std::string out;
  for (const Piece& piece : pieces) out.append(piece.text);
  return out;
}

std::string out_of_bounds(std::string_view name, std::size_t start, std::size_t end, std::size_t length) {
  return concat({"coordinates ", start, "-", end, " are out of bounds for sequence '", name, "' of length ", length});
}

constexpr const char* kZeroCoordinate = "coordinates cannot be 0 (1-based indexing)";

std::string start_after_end(std::size_t start, std::size_t end) {
  return concat({"start coordinate ", start, " is greater than end coordinate ", end});
}

void warn(std::string_view text) { write_stderr(concat({"WARNING: ", text, "\n"})); }

FetchPlan region(const IndexEntry* entry, std::size_t s, std::size_t e) {
  FetchPlan plan;
  plan.entry = entry;
  plan.s = s;
  plan.e = e;
  return plan;
}

FetchPlan empty_result(std::size_t start, std::size_t end) {
  FetchPlan plan;
  plan.empty_start = start;
  plan.empty_end = end;
  return plan;
}

// Regular files and block devices can be read at any offset; a FIFO, socket
// or character device cannot, and a FIFO would block every read.
bool seekable(int fd, int* error) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    *error = errno;
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = EISDIR;
    return false;
  }
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    *error = ESPIPE;
    return false;
  }
  return true;
}

}  // namespace

Result<std::unique_ptr<Faidx>> Faidx::open(std::string filename, std::optional<std::string> indexname,
                                           FaidxOptions options, bool rebuild, bool build_index) {
  std::unique_ptr<Faidx> faidx(new Faidx());
  faidx->index_path_ = indexname ? std::move(*indexname) : filename + ".fai";
  faidx->filename_ = std::move(filename);
  faidx->options_ = std::move(options);
  const std::string& path = faidx->filename_;

  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return FaidxError(ErrorKind::FastaNotFound, path);

  const int flags = (faidx->options_.mutable_file ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK;
  UniqueFd fd(::open(path.c_str(), flags));
  if (!fd) return FaidxError::from_errno(errno);
  int error = 0;
  if (!seekable(fd.get(), &error)) return FaidxError::from_errno(error);

  if (!faidx->options_.mutable_file) {
    struct stat opened;
    if (::fstat(fd.get(), &opened) == 0 && S_ISREG(opened.st_mode) &&
        static_cast<std::uint64_t>(opened.st_size) <= static_cast<std::uint64_t>(PTRDIFF_MAX)) {
      const auto size = static_cast<std::size_t>(opened.st_size);
      // An empty file cannot be mapped with length 0; map one byte and
      // record length 0 so nothing is ever read from it.
      const std::size_t length = size == 0 ? 1 : size;
      void* data = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd.get(), 0);
      if (data != MAP_FAILED) {
        install_fault_handler();
        faidx->mapping_ = Mapping{static_cast<const unsigned char*>(data), size};
        faidx->mapped_length_ = length;
        faidx->mapped_ = true;
        fd.reset();
      }
    }
  }
  faidx->fd_ = fd.release();

  auto index = acquire_index(faidx->filename_, faidx->index_path_, rebuild, build_index);
  if (!index) return std::move(index).error();
  faidx->index_ = std::move(*index);
  return faidx;
}

Faidx::~Faidx() {
  if (mapped_) ::munmap(const_cast<unsigned char*>(mapping_.data), mapped_length_);
  if (fd_ >= 0) ::close(fd_);
}

Result<const IndexEntry*> Faidx::find_entry(std::string_view name) const {
  const IndexEntry* entry = index_.find(name);
  if (entry == nullptr) return FaidxError(ErrorKind::Fetch, concat({"Sequence '", name, "' not found"}));
  return entry;
}

Result<FetchPlan, FetchFailure> Faidx::plan_fetch(std::string_view name, std::size_t start, std::size_t end) const {
  auto found = find_entry(name);
  if (!found) return FetchFailure(std::move(found).error());
  const IndexEntry* entry = *found;
  const std::size_t length = entry->rlen;
  const bool strict = options_.strict_bounds;
  if (start > length || end > length) {
    std::string text = out_of_bounds(name, start, end, length);
    if (strict) return FetchFailure(BoundsError{std::move(text)});
    warn(text);
    if (start > length) return empty_result(start, start);
  }
  if (strict) {
    if (start == 0 || end == 0) return FetchFailure(BoundsError{kZeroCoordinate});
    if (start > end) return FetchFailure(BoundsError{start_after_end(start, end)});
    return region(entry, start, end);
  }
  const std::size_t s = std::min(start, length);
  const std::size_t e = std::min(end, length);
  if (s == 0 || e == 0) {
    warn(kZeroCoordinate);
    return empty_result(s, e);
  }
  if (s > e) {
    warn(start_after_end(s, e));
    return empty_result(s, e);
  }
  return region(entry, s, e);
}

Result<FetchPlan> Faidx::plan_fetch_silent(std::string_view name, std::size_t start, std::size_t end) const {
  auto found = find_entry(name);
  if (!found) return std::move(found).error();
  const IndexEntry* entry = *found;
  const std::size_t length = entry->rlen;
  if (options_.strict_bounds) {
    if (1 <= start && start <= end && end <= length) return region(entry, start, end);
    return FaidxError(ErrorKind::Region,
                      concat({"Invalid region ", name, ":", start, "-", end, " (sequence length: ", length, ")"}));
  }
  // Clamping an empty record would ask for base 0; it has no bases to give.
  if (length == 0) return empty_result(0, 0);
  const std::size_t s = std::min(std::max<std::size_t>(start, 1), length);
  const std::size_t e = std::min(std::max<std::size_t>(end, 1), length);
  if (e < s) return empty_result(s, e);
  return region(entry, s, e);
}

Result<FetchPlan> Faidx::plan_entire(std::string_view name) const {
  auto found = find_entry(name);
  if (!found) return std::move(found).error();
  // count() = rlen, also for rlen 0 (e = 0, s = 1 wraps to 0).
  return region(*found, 1, (*found)->rlen);
}

std::uint64_t Faidx::source_size(const Mapping* mapping) const noexcept {
  if (mapping != nullptr) return mapping->size;
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

std::size_t Faidx::extract_bound(const FetchPlan& plan, std::uint64_t source_size) noexcept {
  const IndexEntry& entry = *plan.entry;
  const std::size_t count = plan.count();
  if (count == 0 || entry.rlen == 0 || entry.lenc == 0) return 0;
  const auto b = base_offset(entry, plan.s);
  if (!b || *b >= source_size) return 0;
  return static_cast<std::size_t>(std::min<std::uint64_t>(count, source_size - *b));
}

std::size_t Faidx::extract_bound(const FetchPlan& plan, const Mapping* mapping) const noexcept {
  return extract_bound(plan, source_size(mapping));
}

Result<std::size_t> Faidx::extract(const FetchPlan& plan, const Mapping* mapping, char* dst, std::size_t capacity,
                                   bool* plain) const {
  bool ignored;
  if (plain == nullptr) plain = &ignored;
  // Never more than capacity: the bases asked for may exceed what the
  // destination was sized for when the file ends early.
  const std::size_t want = std::min(plan.count(), capacity);
  if (mapping != nullptr) {
    std::size_t got = 0;
    const bool completed = guarded_extract_from_mmap(*mapping, *plan.entry, plan.s, want, dst, &got, plain);
    // NUL bytes are what the unbacked rest of a page reads as when the file
    // was truncated under the mapping; a fault is what the pages past it
    // give. Either way, read what the file holds now.
    if (completed && (*plain || std::memchr(dst, 0, got) == nullptr || !file_shrank())) return got;
    return reread(plan, dst, want, plain);
  }
  if (fd_ < 0) return FaidxError::io(kNoFileHandle);
  return extract_sequence_from_file_optimized(fd_, *plan.entry, plan.s, want, dst, plain);
}

bool Faidx::file_shrank() const noexcept {
  struct stat st;
  return ::stat(filename_.c_str(), &st) != 0 || static_cast<std::uint64_t>(st.st_size) < mapping_.size;
}

Result<std::size_t> Faidx::reread(const FetchPlan& plan, char* dst, std::size_t want, bool* plain) const {
  UniqueFd fd(::open(filename_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return FaidxError::from_errno(errno);
  return extract_sequence_from_file_optimized(fd.get(), *plan.entry, plan.s, want, dst, plain);
}

void Faidx::apply_case(char* text, std::size_t n) const noexcept {
  if (!options_.sequence_always_upper) return;
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    text[i] = static_cast<char>(c - (static_cast<unsigned char>(c - 'a') < 26 ? 32 : 0));
  }
}

void Faidx::finish_text(const FetchPlan& plan, std::string& text, bool fill) const {
  const std::size_t count = plan.count();
  if (text.size() > count) text.resize(count);
  if (fill && text.size() < count && options_.default_seq && !options_.default_seq->empty()) {
    const std::string& filler = *options_.default_seq;
    const std::size_t missing = count - text.size();
    std::size_t total;
    if (__builtin_mul_overflow(missing, filler.size(), &total) || __builtin_add_overflow(total, text.size(), &total) ||
        total > text.max_size()) {
      throw std::bad_alloc();
    }
    text.reserve(total);
    for (std::size_t i = 0; i < missing; ++i) text += filler;
  }
  apply_case(text.data(), text.size());
}

std::optional<std::size_t> Faidx::result_start(const FetchPlan& plan) const noexcept {
  if (plan.is_empty()) return plan.empty_start;
  if (options_.as_raw) return std::nullopt;
  return options_.one_based_attributes ? plan.s : plan.s - 1;
}

std::optional<std::size_t> Faidx::result_end(const FetchPlan& plan) const noexcept {
  if (plan.is_empty()) return plan.empty_end;
  if (options_.as_raw) return std::nullopt;
  return plan.e;
}

Result<Sequence> Faidx::materialize(std::string_view name, const FetchPlan& plan, const Mapping* mapping,
                                    bool fill) const {
  Sequence value;
  value.name.assign(name);
  if (!plan.is_empty()) {
    value.seq.resize(extract_bound(plan, mapping));
    auto got = extract(plan, mapping, value.seq.data(), value.seq.size());
    if (!got) return std::move(got).error();
    value.seq.resize(*got);
    finish_text(plan, value.seq, fill);
  }
  value.start = result_start(plan);
  value.end = result_end(plan);
  return value;
}

Result<Sequence, FetchFailure> Faidx::fetch(std::string_view name, std::size_t start, std::size_t end) const {
  auto plan = plan_fetch(name, start, end);
  if (!plan) return std::move(plan).error();
  auto value = materialize(name, *plan, mapping(), true);
  if (!value) return FetchFailure(std::move(value).error());
  return std::move(value).value();
}

Result<Sequence> Faidx::fetch_single_optimized(std::string_view name, std::size_t start, std::size_t end,
                                               const Mapping* mapping) const {
  auto plan = plan_fetch_silent(name, start, end);
  if (!plan) return std::move(plan).error();
  return materialize(name, *plan, mapping, true);
}

Result<Sequence> Faidx::fetch_entire_sequence(std::string_view name) const {
  auto plan = plan_entire(name);
  if (!plan) return std::move(plan).error();
  return materialize(name, *plan, mapping(), false);
}

}  // namespace gelvo
