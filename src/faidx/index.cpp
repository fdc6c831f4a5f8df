#include "faidx/index.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "faidx/index_text.h"
#include "faidx/io.h"

namespace gelvo {

// ---------------------------------------------------------------- RecordList

namespace {

// Asks for huge pages under the 2 MiB-aligned part of a large table that a
// lookup reads at random. On a virtual machine most of a random miss into
// a table of 4 KiB pages is the page walk: with huge pages, a lookup among
// 2,000,000 names takes about two thirds of the time. Called before the
// table is written, so its pages are huge from the first touch; the kernel
// may decline (transparent huge pages off), which costs nothing.
void advise_huge_pages(const void* data, std::size_t bytes) noexcept {
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  if (bytes < 2 * kHuge) return;
  const auto at = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (at + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t end = (at + bytes) & ~(kHuge - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace

void RecordList::reserve(std::size_t records, std::size_t name_bytes) {
  names_.reserve(name_bytes);
  items_.reserve(records);
  advise_huge_pages(names_.data(), names_.capacity());
  advise_huge_pages(items_.data(), items_.capacity() * sizeof(Item));
}

void RecordList::push_back(std::string_view name, const IndexEntry& entry) {
  names_.append(name);
  items_.push_back(Item{entry, names_.size()});
}

// ---------------------------------------------------------------- NameIndex

namespace {

inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
  const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

// A multiply-mix hash over 8-byte words: names are short, so the cost is a
// few multiplications, and every input bit reaches the high bits that pick
// the slot and the low bits that make the tag. The tail is read as whole
// (overlapping) words, not copied byte by byte: a copy of variable length
// stalls the loads that follow and made inserts several times slower.
std::uint64_t hash_name(std::string_view name) noexcept {
  const char* p = name.data();
  std::size_t n = name.size();
  std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ n;
  std::uint64_t tail = 0;
  if (n >= 8) {
    for (; n > 8; p += 8, n -= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      h = mix(h ^ w, 0xBF58476D1CE4E5B9ULL);
    }
    std::memcpy(&tail, p + n - 8, 8);
  } else if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    tail = a | (std::uint64_t{b} << 32);
  } else if (n > 0) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    tail = u[0] | (std::uint64_t{u[n / 2]} << 8) | (std::uint64_t{u[n - 1]} << 16);
  }
  return mix(mix(h ^ tail, 0x94D049BB133111EBULL), 0xD6E8FEB86659FD93ULL);
}

constexpr std::size_t kMaxRecords = std::numeric_limits<std::uint32_t>::max() - 1;

// Slots for a capacity: a load factor of at most 2/3 keeps probe runs short
// at 6 bytes per record.
std::size_t slot_count(std::size_t capacity) noexcept { return std::max<std::size_t>(8, capacity + capacity / 2 + 1); }

// The home slot of a hash among n slots (no power of two needed).
inline std::size_t home(std::uint64_t hash, std::size_t n) noexcept {
  return static_cast<std::size_t>((static_cast<unsigned __int128>(hash) * n) >> 64);
}

}  // namespace

std::uint32_t NameIndex::tag_of(std::uint64_t hash) const noexcept {
  return static_cast<std::uint32_t>(hash) & ~position_mask();
}

std::uint32_t NameIndex::position_mask() const noexcept {
  return index_bits_ >= 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << index_bits_) - 1;
}

void NameIndex::reset_slots(std::size_t capacity) {
  if (capacity > kMaxRecords) throw std::bad_alloc();
  capacity_ = capacity;
  index_bits_ = static_cast<unsigned>(std::bit_width(capacity));
  std::vector<std::uint32_t> slots;
  slots.reserve(slot_count(capacity));
  advise_huge_pages(slots.data(), slots.capacity() * sizeof(std::uint32_t));
  slots.assign(slot_count(capacity), 0);
  slots_ = std::move(slots);
}

void NameIndex::rebuild_slots(std::size_t capacity) {
  reset_slots(capacity);
  const std::size_t n = slots_.size();
  // The names are distinct already: each goes to the first empty slot.
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const std::uint64_t hash = hash_name(records_.name(i));
    std::size_t pos = home(hash, n);
    while (slots_[pos] != 0) pos = pos + 1 == n ? 0 : pos + 1;
    slots_[pos] = tag_of(hash) | static_cast<std::uint32_t>(i + 1);
  }
}

void NameIndex::reserve(std::size_t n, std::size_t name_bytes) {
  records_.reserve(n, name_bytes);
  if (n > capacity_ || slots_.empty()) rebuild_slots(std::max(n, capacity_));
}

void NameIndex::shrink_to_fit() {
  // Room reserved in the record vectors and never written is address space,
  // not resident memory, and copying them would cost more than it saves;
  // the slots were all written, so an oversized table is made anew.
  if (capacity_ > records_.size() + records_.size() / 4 + 16) rebuild_slots(records_.size());
}

std::size_t NameIndex::probe(std::string_view name, std::uint64_t hash) const noexcept {
  const std::size_t n = slots_.size();
  const std::uint32_t tag = tag_of(hash);
  const std::uint32_t positions = position_mask();
  std::size_t pos = home(hash, n);
  while (const std::uint32_t at = slots_[pos]) {
    if ((at & ~positions) == tag && records_.name((at & positions) - 1) == name) return pos;
    pos = pos + 1 == n ? 0 : pos + 1;
  }
  return pos;
}

void NameIndex::prefetch(std::uint64_t hash) const noexcept {
  if (!slots_.empty()) __builtin_prefetch(&slots_[home(hash, slots_.size())]);
}

void NameIndex::insert_or_assign(std::string_view name, const IndexEntry& entry) {
  if (slots_.empty() || records_.size() >= capacity_) {
    if (records_.size() >= kMaxRecords) throw std::bad_alloc();
    rebuild_slots(std::max<std::size_t>(16, std::min(kMaxRecords, 2 * capacity_)));
  }
  const std::uint64_t hash = hash_name(name);
  const std::size_t pos = probe(name, hash);
  if (const std::uint32_t at = slots_[pos]) {
    records_.entry((at & position_mask()) - 1) = entry;
    return;
  }
  records_.push_back(name, entry);
  slots_[pos] = tag_of(hash) | static_cast<std::uint32_t>(records_.size());
}

const IndexEntry* NameIndex::find(std::string_view name) const noexcept {
  if (slots_.empty()) return nullptr;
  const std::uint32_t at = slots_[probe(name, hash_name(name))];
  return at == 0 ? nullptr : &records_.entry((at & position_mask()) - 1);
}

NameIndex NameIndex::from_records(RecordList records) {
  NameIndex index;
  index.records_ = std::move(records);
  // The common case, all names distinct, adopts the list as it is; a repeat
  // found while filling the slots starts over with folding inserts.
  index.reset_slots(index.records_.size());
  if (index.place_distinct()) return index;
  RecordList all = std::move(index.records_);
  NameIndex folded;
  folded.reserve(all.size(), all.names_.size());
  for (std::size_t i = 0; i < all.size(); ++i) folded.insert_or_assign(all.name(i), all.entry(i));
  folded.shrink_to_fit();
  return folded;
}

bool NameIndex::place_distinct() noexcept {
  // Names are hashed kAhead records ahead of their insert and their home
  // slot fetched meanwhile: the inserts overlap their cache misses instead
  // of waiting on each in turn, a few times faster on a large table.
  constexpr std::size_t kAhead = 16;
  std::uint64_t ahead[kAhead];
  const std::size_t n = records_.size();
  for (std::size_t i = 0; i < std::min(n, kAhead); ++i) {
    ahead[i] = hash_name(records_.name(i));
    prefetch(ahead[i]);
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t hash = ahead[i % kAhead];
    if (i + kAhead < n) {
      ahead[i % kAhead] = hash_name(records_.name(i + kAhead));
      prefetch(ahead[i % kAhead]);
    }
    const std::size_t pos = probe(records_.name(i), hash);
    if (slots_[pos] != 0) return false;
    slots_[pos] = tag_of(hash) | static_cast<std::uint32_t>(i + 1);
  }
  return true;
}

// ---------------------------------------------------------------- .fai text

void append_index_lines(const RecordList& records, std::size_t* next, std::string& out, std::size_t limit) {
  char numbers[4 * 21 + 1];
  for (std::size_t& i = *next; i < records.size() && out.size() < limit; ++i) {
    const IndexEntry& e = records.entry(i);
    char* p = numbers;
    for (const std::uint64_t value : {std::uint64_t{e.rlen}, e.offset, std::uint64_t{e.lenc}, std::uint64_t{e.lenb}}) {
      *p++ = '\t';
      p = std::to_chars(p, p + 20, value).ptr;
    }
    *p++ = '\n';
    out.append(records.name(i));
    out.append(numbers, static_cast<std::size_t>(p - numbers));
  }
}

std::string format_index(const RecordList& records) {
  std::string out;
  std::size_t next = 0;
  append_index_lines(records, &next, out, std::string::npos);
  return out;
}

// ---------------------------------------------------------------- .fai load

namespace {

template <class T>
bool parse_unsigned(std::string_view field, T* out) noexcept {
  if (!field.empty() && field.front() == '+') field.remove_prefix(1);
  if (field.empty()) return false;
  T value = 0;
  for (char c : field) {
    const auto digit = static_cast<unsigned char>(c - '0');
    if (digit > 9) return false;
    if (__builtin_mul_overflow(value, T{10}, &value) || __builtin_add_overflow(value, T{digit}, &value)) return false;
  }
  *out = value;
  return true;
}

struct IndexLine {
  std::string_view name;
  IndexEntry entry;
};

bool ascii_whitespace(char c) noexcept { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// One number of a well-formed index line: digits (after an optional '+')
// up to a TAB, or up to the end of the line for the last field. The
// position after that TAB, or null for anything else.
template <class T>
const char* next_number(const char* p, const char* end, bool last, T* out) noexcept {
  if (p < end && *p == '+') ++p;
  const char* const digits = p;
  T value = 0;
  for (; p < end; ++p) {
    const auto digit = static_cast<unsigned char>(*p - '0');
    if (digit > 9) break;
    if (__builtin_mul_overflow(value, T{10}, &value) || __builtin_add_overflow(value, T{digit}, &value)) return nullptr;
  }
  if (p == digits || (last ? p != end : p == end || *p != '\t')) return nullptr;
  *out = value;
  return p + 1;
}

// The line read in one pass when it is a well-formed index line: the fields
// are found while their numbers are read, instead of a search per field.
bool parse_well_formed(std::string_view line, IndexLine* out) noexcept {
  const char* const end = line.data() + line.size();
  const auto* tab = static_cast<const char*>(std::memchr(line.data(), '\t', line.size()));
  if (tab == nullptr) return false;
  IndexEntry e;
  const char* p = tab + 1;
  if (!(p = next_number(p, end, false, &e.rlen)) || !(p = next_number(p, end, false, &e.offset)) ||
      !(p = next_number(p, end, false, &e.lenc)) || !next_number(p, end, true, &e.lenb)) {
    return false;
  }
  out->name = line.substr(0, static_cast<std::size_t>(tab - line.data()));
  out->entry = e;
  return true;
}

// One .fai line without its LF: 1 for an index line (in *out), 0 for a line
// that is skipped, -1 for a bad number (named in *bad).
int parse_index_line(std::string_view line, IndexLine* out, const char** bad) noexcept {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) return 0;
  // An index line starts with a name and ends with a digit: only other text
  // needs the Unicode trim.
  const auto first = static_cast<unsigned char>(line.front());
  const auto last = static_cast<unsigned char>(line.back());
  if (first >= 0x80 || last >= 0x80 || ascii_whitespace(line.front()) || ascii_whitespace(line.back())) {
    line = trim_whitespace(line);
  }
  if (parse_well_formed(line, out)) return 1;
  // Anything else is split into fields first: a line without exactly five
  // is skipped whatever its numbers.
  std::string_view fields[5];
  std::size_t count = 0;
  const char* p = line.data();
  const char* const end = p + line.size();
  for (;;) {
    if (count == 5) return 0;  // a sixth field: not an index line
    const auto* tab = static_cast<const char*>(std::memchr(p, '\t', static_cast<std::size_t>(end - p)));
    const char* field_end = tab ? tab : end;
    fields[count++] = std::string_view(p, static_cast<std::size_t>(field_end - p));
    if (tab == nullptr) break;
    p = tab + 1;
  }
  if (count != 5) return 0;
  IndexEntry& e = out->entry;
  if (!parse_unsigned(fields[1], &e.rlen)) {
    *bad = "Invalid rlen";
  } else if (!parse_unsigned(fields[2], &e.offset)) {
    *bad = "Invalid offset";
  } else if (!parse_unsigned(fields[3], &e.lenc)) {
    *bad = "Invalid lenc";
  } else if (!parse_unsigned(fields[4], &e.lenb)) {
    *bad = "Invalid lenb";
  }
  if (*bad != nullptr) return -1;
  out->name = fields[0];
  return 1;
}

// The end of the lines that are valid UTF-8 before the first that is not
// (text.size() when all are). A LF never sits inside a character, so the
// text is valid exactly when each of its lines is.
std::size_t valid_prefix(std::string_view text) noexcept {
  if (valid_utf8(text)) return text.size();
  std::size_t begin = 0;
  for (;;) {
    const std::size_t nl = text.find('\n', begin);
    const std::size_t end = nl == std::string_view::npos ? text.size() : nl;
    if (!valid_utf8(text.substr(begin, end - begin))) return begin;
    begin = end + 1;
  }
}

// Fills a NameIndex from .fai text given in pieces of whole lines. Lines are
// checked in order, so an earlier bad number wins over later text that is
// not UTF-8.
class IndexParser {
 public:
  explicit IndexParser(std::size_t expected_lines, std::size_t expected_bytes) {
    records_.reserve(expected_lines, expected_bytes);
  }

  // Whole lines, the last LF optional only at the end of the text. The
  // records are listed first and mapped at the end: a pass that only
  // appends runs at the speed of the text, and the map is then filled in a
  // loop that overlaps its cache misses.
  Status feed(std::string_view lines) {
    const std::size_t valid = valid_prefix(lines);
    std::string_view rest = lines.substr(0, valid);
    const char* bad = nullptr;
    IndexLine line;
    while (!rest.empty()) {
      const std::size_t nl = rest.find('\n');
      const std::string_view text = rest.substr(0, nl);
      rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
      const int outcome = parse_index_line(text, &line, &bad);
      if (outcome < 0) return FaidxError(ErrorKind::FastaIndexing, bad);
      if (outcome > 0) records_.push_back(line.name, line.entry);
    }
    if (valid != lines.size()) return FaidxError::io(kInvalidUtf8);
    return Ok{};
  }

  // The whole text is about `total` bytes, of which `seen` were fed so far.
  void expect(std::size_t seen, std::size_t total) {
    if (seen == 0 || total <= seen) return;
    const double scale = static_cast<double>(total) / static_cast<double>(seen);
    records_.reserve(static_cast<std::size_t>(static_cast<double>(records_.size()) * scale * 1.02) + 16, total);
  }

  NameIndex finish() { return NameIndex::from_records(std::move(records_)); }

 private:
  RecordList records_;
};

}  // namespace

Result<NameIndex> parse_index(std::string_view text) {
  // One record per line at most: sized once, no rehash while filling.
  const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
  IndexParser parser(lines, text.size());
  Status fed = parser.feed(text);
  if (!fed) return std::move(fed).error();
  return parser.finish();
}

namespace {

// Reads until buffer[0, capacity) is full or the file ends; the bytes read.
Result<std::size_t> read_some(int fd, char* buffer, std::size_t capacity) {
  std::size_t used = 0;
  while (used < capacity) {
    const ssize_t n = ::read(fd, buffer + used, capacity - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FaidxError::from_errno(errno);
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  return used;
}

}  // namespace

Result<NameIndex> load_index(const std::string& index_path) {
  UniqueFd fd(::open(index_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return FaidxError(ErrorKind::IndexNotFound, index_path);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return FaidxError::from_errno(errno);
  Status readable = regular_file(st);
  if (!readable) return std::move(readable).error();

  // The text goes through a reused buffer of whole lines, not into one
  // string of its own: only the map's memory is new.
  std::string buffer(std::size_t{1} << 20, '\0');
  std::size_t held = 0;  // bytes of a line begun in the previous piece
  std::unique_ptr<IndexParser> parser;
  for (;;) {
    if (held == buffer.size()) buffer.resize(2 * buffer.size());  // a line longer than the buffer
    auto got = read_some(fd.get(), buffer.data() + held, buffer.size() - held);
    if (!got) return std::move(got).error();
    const std::size_t size = held + *got;
    const bool at_end = size < buffer.size();
    const std::string_view text(buffer.data(), size);
    const bool first = !parser;
    if (first) {
      const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
      parser = std::make_unique<IndexParser>(lines, size);
    }
    const std::size_t cut = at_end ? size : text.rfind('\n') + 1;  // 0 when no LF: npos + 1
    Status fed = parser->feed(text.substr(0, cut));
    if (!fed) return std::move(fed).error();
    if (at_end) break;
    // The rest of the file sized from the records of its first piece, so
    // that a typical index fills its map without regrowing it.
    if (first) parser->expect(cut, static_cast<std::size_t>(st.st_size));
    held = size - cut;
    std::memmove(buffer.data(), buffer.data() + cut, held);
  }
  return parser->finish();
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
  if (!index_needs_build(fasta_path, index_path, rebuild, build_index)) return load_index(index_path);
  auto records = scan_fasta(fasta_path);
  if (!records) return std::move(records).error();
  Status written = write_index(index_path, *records);
  if (!written) return std::move(written).error();
  // The written text loads back to exactly these records (names hold no
  // white space, numbers are plain decimals), so the map is made from them
  // instead of from a second read of the file.
  return NameIndex::from_records(std::move(*records));
}

}  // namespace gelvo
