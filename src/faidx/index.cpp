#include "faidx/index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <type_traits>

#include "faidx/io.h"

namespace gelvo {

// ---------------------------------------------------------------- NameIndex

namespace {

std::size_t hash_name(std::string_view name) noexcept { return std::hash<std::string_view>{}(name); }

}  // namespace

void NameIndex::reserve(std::size_t n) {
  records_.reserve(n);
  hashes_.reserve(n);
  std::size_t slots = 16;
  while (slots < 2 * n) slots *= 2;
  if (slots > slots_.size()) rehash(slots);
}

void NameIndex::rehash(std::size_t slots) {
  slots_.assign(slots, 0);
  const std::size_t mask = slots - 1;
  for (std::size_t i = 0; i < records_.size(); ++i) {
    std::size_t pos = hashes_[i] & mask;
    while (slots_[pos] != 0) pos = (pos + 1) & mask;
    slots_[pos] = static_cast<std::uint32_t>(i + 1);
  }
}

// The slot holding name, or the empty slot where it would go.
std::size_t NameIndex::probe(std::string_view name, std::size_t hash) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t pos = hash & mask;
  while (std::uint32_t at = slots_[pos]) {
    std::size_t i = at - 1;
    if (hashes_[i] == hash && records_[i].first == name) return pos;
    pos = (pos + 1) & mask;
  }
  return pos;
}

void NameIndex::insert_or_assign(std::string name, const IndexEntry& entry) {
  if (records_.size() >= std::numeric_limits<std::uint32_t>::max() - 1) throw std::bad_alloc();
  if (2 * (records_.size() + 1) > slots_.size()) rehash(std::max<std::size_t>(16, slots_.size() * 2));
  const std::size_t hash = hash_name(name);
  const std::size_t pos = probe(name, hash);
  if (slots_[pos] != 0) {
    records_[slots_[pos] - 1].second = entry;
    return;
  }
  records_.emplace_back(std::move(name), entry);
  hashes_.push_back(hash);
  slots_[pos] = static_cast<std::uint32_t>(records_.size());
}

const IndexEntry* NameIndex::find(std::string_view name) const noexcept {
  if (slots_.empty()) return nullptr;
  const std::size_t pos = probe(name, hash_name(name));
  return slots_[pos] ? &records_[slots_[pos] - 1].second : nullptr;
}

// ---------------------------------------------------------------- text rules

namespace {

// Byte length of the Unicode White_Space character starting at p, or 0.
std::size_t whitespace_length(const unsigned char* p, std::size_t n) noexcept {
  const unsigned char c = p[0];
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c < 0xC2 || n < 2) return 0;
  if (c == 0xC2) return (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
  if (n < 3) return 0;
  if (c == 0xE1) return (p[1] == 0x9A && p[2] == 0x80) ? 3 : 0;
  if (c == 0xE3) return (p[1] == 0x80 && p[2] == 0x80) ? 3 : 0;
  if (c == 0xE2) {
    if (p[1] == 0x80) {
      const unsigned char d = p[2];
      return (d <= 0x8A && d >= 0x80) || d == 0xA8 || d == 0xA9 || d == 0xAF ? 3 : 0;
    }
    return (p[1] == 0x81 && p[2] == 0x9F) ? 3 : 0;
  }
  return 0;
}

// Whitespace ends at character boundaries; text is valid UTF-8, so testing
// at every byte never matches inside a multi-byte character.
std::size_t whitespace_at(std::string_view text, std::size_t i) noexcept {
  return whitespace_length(reinterpret_cast<const unsigned char*>(text.data()) + i, text.size() - i);
}

// Position of the first character at or after i that is not whitespace.
std::size_t skip_whitespace(std::string_view text, std::size_t i) noexcept {
  while (i < text.size()) {
    const std::size_t w = whitespace_at(text, i);
    if (w == 0) break;
    i += w;
  }
  return i;
}

std::string_view trim_whitespace(std::string_view text) noexcept {
  const std::size_t begin = skip_whitespace(text, 0);
  // Scan forward to find the last non-whitespace character's end.
  std::size_t end = begin;
  for (std::size_t i = begin; i < text.size();) {
    std::size_t w = whitespace_at(text, i);
    if (w == 0) {
      end = ++i;
    } else {
      i += w;
    }
  }
  return text.substr(begin, end - begin);
}

}  // namespace

std::string_view header_name(std::string_view header_text) noexcept {
  const std::size_t begin = skip_whitespace(header_text, 0);
  std::size_t i = begin;
  while (i < header_text.size() && whitespace_at(header_text, i) == 0) ++i;
  return header_text.substr(begin, i - begin);
}

namespace {

// Streaming UTF-8 validation: state carries over between chunks.
class Utf8Validator {
 public:
  bool feed(const unsigned char* p, std::size_t n) noexcept {
    std::size_t i = 0;
    while (i < n) {
      if (need_ == 0) {
        while (i + 16 <= n) {
          std::uint64_t a, b;
          std::memcpy(&a, p + i, 8);
          std::memcpy(&b, p + i + 8, 8);
          if ((a | b) & 0x8080808080808080ULL) break;
          i += 16;
        }
        if (i >= n) break;
        const unsigned char c = p[i++];
        if (c < 0x80) continue;
        if (c < 0xC2) return false;
        if (c < 0xE0) {
          expect(1, 0x80, 0xBF);
        } else if (c < 0xF0) {
          expect(2, c == 0xE0 ? 0xA0 : 0x80, c == 0xED ? 0x9F : 0xBF);
        } else if (c < 0xF5) {
          expect(3, c == 0xF0 ? 0x90 : 0x80, c == 0xF4 ? 0x8F : 0xBF);
        } else {
          return false;
        }
      } else {
        const unsigned char c = p[i++];
        if (c < lo_ || c > hi_) return false;
        lo_ = 0x80;
        hi_ = 0xBF;
        --need_;
      }
    }
    return true;
  }
  bool complete() const noexcept { return need_ == 0; }

 private:
  void expect(int need, unsigned char lo, unsigned char hi) noexcept {
    need_ = need;
    lo_ = lo;
    hi_ = hi;
  }
  int need_ = 0;
  unsigned char lo_ = 0x80;
  unsigned char hi_ = 0xBF;
};

}  // namespace

bool valid_utf8(std::string_view bytes) noexcept {
  Utf8Validator v;
  return v.feed(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) && v.complete();
}

// ---------------------------------------------------------------- FASTA scan

namespace {

// Line-by-line state of the index build. Sequence lines are only measured,
// never stored, so memory does not grow with line length.
class FastaScanner {
 public:
  // Consumes the next chunk of the file; `base` is the file offset of p[0].
  void feed(const char* p, std::size_t n, std::uint64_t base) {
    const char* const start = p;
    const char* const end = p + n;
    while (p < end) {
      if (at_line_start_) {
        at_line_start_ = false;
        header_line_ = *p == '>';
        if (header_line_) {
          header_.clear();
          ++p;
        } else {
          line_bytes_ = 0;
          trailing_cr_ = 0;
        }
        continue;
      }
      const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
      const char* seg_end = nl ? nl : end;
      if (header_line_) {
        header_.append(p, seg_end);
      } else {
        measure(p, seg_end);
      }
      if (nl == nullptr) break;
      p = nl + 1;
      end_line(true, base + static_cast<std::uint64_t>(p - start));
      at_line_start_ = true;
    }
  }

  std::vector<IndexRecord> finish(std::uint64_t file_size) {
    if (!at_line_start_) end_line(false, file_size);
    close_record();
    return std::move(records_);
  }

 private:
  void measure(const char* p, const char* seg_end) {
    const std::size_t len = static_cast<std::size_t>(seg_end - p);
    std::size_t crs = 0;
    while (crs < len && seg_end[-1 - static_cast<std::ptrdiff_t>(crs)] == '\r') ++crs;
    trailing_cr_ = crs == len ? trailing_cr_ + crs : crs;
    line_bytes_ += len;
  }

  void end_line(bool had_lf, std::uint64_t position) {
    if (header_line_) {
      close_record();
      name_.assign(header_name(header_));
      current_ = IndexEntry{position, 0, 0, 0};
      lines_ = 0;
      return;
    }
    const std::size_t residues = line_bytes_ - trailing_cr_;
    current_.rlen += residues;
    if (lines_ == 0) {
      current_.lenc = residues;
      current_.lenb = line_bytes_ + (had_lf ? 1 : 0);
    }
    ++lines_;
  }

  // Lines before the first header, and headers without a name, belong to a
  // record with an empty name, which is dropped.
  void close_record() {
    if (!name_.empty()) records_.emplace_back(std::move(name_), current_);
    name_.clear();
  }

  std::vector<IndexRecord> records_;
  std::string name_;
  IndexEntry current_;
  std::size_t lines_ = 0;
  std::string header_;
  bool at_line_start_ = true;
  bool header_line_ = false;
  std::size_t line_bytes_ = 0;
  std::size_t trailing_cr_ = 0;
};

}  // namespace

Result<std::vector<IndexRecord>> scan_fasta(const std::string& fasta_path) {
  // O_NONBLOCK keeps a FIFO from blocking the open; the read then fails or
  // ends at once instead of hanging.
  UniqueFd fd(::open(fasta_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return FaidxError::from_errno(errno);
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

  std::unique_ptr<char[]> buffer(new char[kScanChunk]);
  FastaScanner scanner;
  Utf8Validator utf8;
  std::uint64_t consumed = 0;
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer.get(), kScanChunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FaidxError::from_errno(errno);
    }
    if (n == 0) break;
    const auto len = static_cast<std::size_t>(n);
    if (!utf8.feed(reinterpret_cast<const unsigned char*>(buffer.get()), len)) return FaidxError::io(kInvalidUtf8);
    scanner.feed(buffer.get(), len, consumed);
    consumed += len;
  }
  if (!utf8.complete()) return FaidxError::io(kInvalidUtf8);
  return scanner.finish(consumed);
}

// ---------------------------------------------------------------- .fai text

namespace {

template <class T>
void append_number(std::string& out, T value) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  (void)ec;
  out.append(buf, end);
}

}  // namespace

std::string format_index(const std::vector<IndexRecord>& records) {
  std::string out;
  std::size_t size = 0;
  for (const auto& [name, entry] : records) size += name.size() + 5 * 21;
  out.reserve(size);
  for (const auto& [name, entry] : records) {
    out += name;
    out += '\t';
    append_number(out, entry.rlen);
    out += '\t';
    append_number(out, entry.offset);
    out += '\t';
    append_number(out, entry.lenc);
    out += '\t';
    append_number(out, entry.lenb);
    out += '\n';
  }
  return out;
}

namespace {

// The file a write to path lands in: a symbolic link is followed so that the
// replacement goes where a plain write would have gone.
std::string write_target(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = ::realpath(path.c_str(), nullptr)) {
      std::string target(real);
      std::free(real);
      return target;
    }
  }
  return path;
}

// Creates a new file beside target with a name nobody else uses.
Result<std::pair<UniqueFd, std::string>> create_temporary(const std::string& target) {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device entropy;
  std::minstd_rand rng(entropy() ^ static_cast<unsigned>(::getpid()));
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = target + ".tmp";
    for (int i = 0; i < 6; ++i) name += kAlphabet[rng() % (sizeof kAlphabet - 1)];
    // 0666 before the umask, like any newly created index.
    UniqueFd fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd) return std::pair<UniqueFd, std::string>(std::move(fd), std::move(name));
    if (errno != EEXIST) return FaidxError::from_errno(errno);
  }
  return FaidxError::from_errno(EEXIST);
}

// The index is a regular file. Renaming over anything else would swap a
// device node or a FIFO named as the index for a plain file (as root, even
// /dev/null), and reading a character device such as /dev/zero never ends.
Status regular_file(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return Ok{};
  return FaidxError::from_errno(S_ISDIR(st.st_mode) ? EISDIR : ESPIPE);
}

}  // namespace

Status write_index(const std::string& index_path, const std::vector<IndexRecord>& records) {
  const std::string text = format_index(records);
  const std::string target = write_target(index_path);
  struct stat existing;
  if (::stat(target.c_str(), &existing) == 0) {
    Status replaceable = regular_file(existing);
    if (!replaceable) return std::move(replaceable).error();
  }
  auto temporary = create_temporary(target);
  if (!temporary) return std::move(temporary).error();
  auto& [fd, temp_path] = *temporary;
  auto fail = [&](FaidxError error) -> Status {
    ::unlink(temp_path.c_str());
    return error;
  };
  Status written = write_all(fd.get(), text);
  if (!written) return fail(std::move(written).error());
  if (::close(fd.release()) != 0) return fail(FaidxError::from_errno(errno));
  if (::rename(temp_path.c_str(), target.c_str()) != 0) return fail(FaidxError::from_errno(errno));
  return Ok{};
}

// ---------------------------------------------------------------- .fai load

namespace {

template <class T>
bool parse_unsigned(std::string_view field, T* out) noexcept {
  if (!field.empty() && field.front() == '+') field.remove_prefix(1);
  if (field.empty()) return false;
  for (char c : field) {
    if (c < '0' || c > '9') return false;
  }
  auto [ptr, ec] = std::from_chars(field.data(), field.data() + field.size(), *out);
  return ec == std::errc() && ptr == field.data() + field.size();
}

// One .fai line without its LF. Returns false with error set on a bad number.
bool parse_index_line(std::string_view line, NameIndex& index, std::optional<FaidxError>& error) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  line = trim_whitespace(line);
  std::string_view fields[5];
  std::size_t count = 0;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', begin);
    if (count == 5) return true;  // a sixth field: not an index line
    fields[count++] = line.substr(begin, tab == std::string_view::npos ? std::string_view::npos : tab - begin);
    if (tab == std::string_view::npos) break;
    begin = tab + 1;
  }
  if (count != 5) return true;
  IndexEntry entry;
  const char* bad = nullptr;
  if (!parse_unsigned(fields[1], &entry.rlen)) {
    bad = "Invalid rlen";
  } else if (!parse_unsigned(fields[2], &entry.offset)) {
    bad = "Invalid offset";
  } else if (!parse_unsigned(fields[3], &entry.lenc)) {
    bad = "Invalid lenc";
  } else if (!parse_unsigned(fields[4], &entry.lenb)) {
    bad = "Invalid lenb";
  }
  if (bad != nullptr) {
    error.emplace(ErrorKind::FastaIndexing, bad);
    return false;
  }
  index.insert_or_assign(std::string(fields[0]), entry);
  return true;
}

}  // namespace

Result<NameIndex> parse_index(std::string_view text) {
  NameIndex index;
  std::optional<FaidxError> error;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    const std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    // Lines are validated as they are read, so an earlier bad number wins
    // over later text that is not UTF-8.
    if (!valid_utf8(line)) return FaidxError::io(kInvalidUtf8);
    if (!parse_index_line(line, index, error)) return std::move(*error);
  }
  return index;
}

Result<NameIndex> load_index(const std::string& index_path) {
  UniqueFd fd(::open(index_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return FaidxError(ErrorKind::IndexNotFound, index_path);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return FaidxError::from_errno(errno);
  Status readable = regular_file(st);
  if (!readable) return std::move(readable).error();
  auto text = read_all(fd.get());
  if (!text) return std::move(text).error();
  return parse_index(*text);
}

// ---------------------------------------------------------------- decision

namespace {

bool modified_time(const std::string& path, struct timespec* out) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  *out = st.st_mtim;
  return true;
}

}  // namespace

bool index_needs_build(const std::string& fasta_path, const std::string& index_path, bool rebuild, bool build_index) {
  struct stat st;
  if (::stat(index_path.c_str(), &st) != 0) return build_index;
  struct timespec fasta_time, index_time;
  if (!modified_time(fasta_path, &fasta_time) || !modified_time(index_path, &index_time)) return false;
  const bool older = index_time.tv_sec < fasta_time.tv_sec ||
                     (index_time.tv_sec == fasta_time.tv_sec && index_time.tv_nsec < fasta_time.tv_nsec);
  return build_index && rebuild && older;
}

Result<NameIndex> acquire_index(const std::string& fasta_path, const std::string& index_path, bool rebuild,
                                bool build_index) {
  if (index_needs_build(fasta_path, index_path, rebuild, build_index)) {
    auto records = scan_fasta(fasta_path);
    if (!records) return std::move(records).error();
    Status written = write_index(index_path, *records);
    if (!written) return std::move(written).error();
  }
  return load_index(index_path);
}

}  // namespace gelvo
