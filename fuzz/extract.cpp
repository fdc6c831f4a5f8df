// Extraction with arbitrary index entries and coordinates: no read outside
// the file's bytes (they sit in a heap block of exactly their size, so
// AddressSanitizer sees any stray read), no write past the destination,
// never more bytes than asked for, and only bytes the file holds from the
// first base on, in order, without line terminators.
//
// Input layout (missing bytes read as zero):
//   u8  options: bit 0 strict_bounds, 1 sequence_always_upper,
//       2 default_seq "N", 3 one_based_attributes off, 4 as_raw,
//       5 honest: the entries are those the index build gives for the file
//   u8  entries, 1 + (n % 3); per entry four u64 (little endian):
//       offset, rlen, lenc, lenb; entry i is named "e<i>"
//   u8  queries, n % 8; per query: u8 entry (a value past the last entry
//       names a missing sequence), u64 start, u64 end
//   the rest: the bytes of the FASTA file
//
// Where an entry describes its record truly (every line but the last holds
// lenc bases in lenb bytes), fetches must also give exactly the bases asked
// for.
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "faidx/faidx.h"
#include "faidx/index.h"
#include "support.h"

namespace {

using gelvo::Faidx;
using gelvo::FetchPlan;
using gelvo::IndexEntry;
using gelvo::Mapping;

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint64_t u64() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(byte()) << (8 * i);
    return v;
  }
  std::string_view rest() const {
    return pos_ < size_ ? std::string_view(reinterpret_cast<const char*>(data_ + pos_), size_ - pos_)
                        : std::string_view();
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

struct Query {
  std::string name;
  std::uint64_t start, end;
};

// Lenient fetches warn on standard error; millions of lines would drown the
// fuzzer's output. Sanitizer reports keep the real standard error.
class QuietStderr {
 public:
  QuietStderr() {
    static const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    static const int saved = [] {
      const int fd = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
      __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
      return fd;
    }();
    saved_ = saved;
    ::dup2(null_fd, 2);
  }
  ~QuietStderr() { ::dup2(saved_, 2); }

 private:
  int saved_;
};

// Runs f with its warnings silenced; checks run outside, where their
// messages can be seen.
template <class F>
auto quietly(F f) {
  QuietStderr quiet;
  return f();
}

// What any extraction of entry from base s may give: a prefix of the file's
// bytes from that base's position on, line terminators dropped.
void check_extracted(std::string_view file, const IndexEntry& entry, std::uint64_t s, std::string_view got) {
  if (got.empty()) return;
  const auto b = gelvo::base_offset(entry, s);
  FUZZ_CHECK(b && *b < file.size());
  std::size_t i = 0;
  for (std::size_t pos = *b; pos < file.size() && i < got.size(); ++pos) {
    if (file[pos] == '\n' || file[pos] == '\r') continue;
    FUZZ_CHECK(got[i] == file[pos]);
    ++i;
  }
  FUZZ_CHECK(i == got.size());
}

void check_base_offset(const IndexEntry& entry, std::uint64_t s) {
  const auto b = gelvo::base_offset(entry, s);
  if (entry.lenc == 0 || s == 0) {
    FUZZ_CHECK(!b);
    return;
  }
  const unsigned __int128 p = s - 1;
  const unsigned __int128 exact = entry.offset + (p / entry.lenc) * entry.lenb + p % entry.lenc;
  // Never wraps in 128 bits: at most (2^64 - 1)^2 + 2 (2^64 - 1) = 2^128 - 1.
  // The engine must give it exactly when it fits 64 bits and refuse otherwise.
  FUZZ_CHECK(b ? *b == exact : exact > UINT64_MAX);
}

// The primitives on the heap copy and on the descriptor, sized the way the
// engine sizes them: at most count, at most what the file holds from the
// first base on.
void check_primitives(std::string_view file, const Mapping& heap, int fd, const IndexEntry& entry, std::uint64_t s,
                      std::uint64_t count) {
  check_base_offset(entry, s);
  const auto b = gelvo::base_offset(entry, s);
  const std::size_t room = b && *b < file.size() ? std::min<std::uint64_t>(count, file.size() - *b) : 0;
  std::unique_ptr<char[]> dst(new char[room]);
  const std::size_t got = gelvo::extract_sequence_from_mmap(heap, entry, s, room, dst.get());
  FUZZ_CHECK(got <= room);
  check_extracted(file, entry, s, std::string_view(dst.get(), got));

  std::unique_ptr<char[]> dst2(new char[room]);
  auto read = gelvo::extract_sequence_from_file_optimized(fd, entry, s, room, dst2.get());
  if (read) {
    FUZZ_CHECK(*read <= room);
    check_extracted(file, entry, s, std::string_view(dst2.get(), *read));
  } else {
    FUZZ_CHECK(read.error().kind() == gelvo::ErrorKind::IO);
  }
}

void check_plan(const FetchPlan& plan, bool entire) {
  if (plan.is_empty()) return;
  const gelvo::Region& r = plan.region;
  if (entire) {
    FUZZ_CHECK(r.s == 1 && r.e == plan.entry->rlen);
    return;
  }
  FUZZ_CHECK(1 <= r.s && r.s <= r.e && r.e <= plan.entry->rlen);
}

// A plan carried out on the Faidx's own source: its mapping, or its
// descriptor (the heap copy is checked through the primitives).
void check_extract(const Faidx& faidx, std::string_view file, const FetchPlan& plan) {
  if (plan.is_empty()) return;
  const std::size_t bound = faidx.extract_bound(plan);
  FUZZ_CHECK(bound <= plan.count() && bound <= file.size());
  std::unique_ptr<char[]> dst(new char[bound]);
  auto got = faidx.extract(plan, dst.get(), bound);
  if (!got) {
    // Only a seek the descriptor refuses can fail.
    FUZZ_CHECK(!faidx.source().is_mapped() && got.error().kind() == gelvo::ErrorKind::IO);
    return;
  }
  FUZZ_CHECK(*got <= bound);
  check_extracted(file, *plan.entry, plan.region.s, std::string_view(dst.get(), *got));
}

// The bases of the record at entry when its lines follow the entry's
// geometry, else nullopt.
FUZZ_MODEL std::optional<std::string> regular_record(std::string_view file, const IndexEntry& entry) {
  if (entry.lenc == 0 || entry.offset > file.size()) return std::nullopt;
  std::string bases;
  bool short_line_seen = false;
  for (std::size_t pos = entry.offset; pos < file.size() && file[pos] != '>';) {
    const std::size_t nl = file.find('\n', pos);
    const std::size_t next = nl == std::string_view::npos ? file.size() : nl + 1;
    const std::string_view line = file.substr(pos, next - pos);
    std::string_view content = line.substr(0, line.find_first_of("\r\n"));
    if (line.find_first_not_of("\r\n", content.size()) != std::string_view::npos) return std::nullopt;
    if (short_line_seen || content.size() > entry.lenc) return std::nullopt;
    short_line_seen = content.size() < entry.lenc || line.size() != entry.lenb;
    bases.append(content);
    pos = next;
  }
  if (bases.size() != entry.rlen) return std::nullopt;
  return bases;
}

void check_value(const Faidx& faidx, const gelvo::Sequence& value, const FetchPlan& plan, bool filled,
                 const std::optional<std::string>& bases) {
  const auto& options = faidx.options();
  if (plan.is_empty()) {
    FUZZ_CHECK(value.seq.empty());
    FUZZ_CHECK(value.start == plan.region.empty_start && value.end == plan.region.empty_end);
    return;
  }
  FUZZ_CHECK(value.seq.size() <= plan.count());
  if (filled && options.default_seq) FUZZ_CHECK(value.seq.size() == plan.count());
  if (options.sequence_always_upper) {
    FUZZ_CHECK(std::none_of(value.seq.begin(), value.seq.end(), [](char c) { return c >= 'a' && c <= 'z'; }));
  }
  const gelvo::Span span = faidx.result_span(plan);
  FUZZ_CHECK(value.start == span.start && value.end == span.end);
  if (bases) {
    std::string expected = bases->substr(plan.region.s - 1, plan.count());
    faidx.apply_case(expected.data(), expected.size());
    FUZZ_CHECK(value.seq == expected);
  }
}

// Whole fetches build the text; with default_seq it is filled to the
// region's length, so only modest regions are materialized.
constexpr std::uint64_t kFillLimit = 1 << 16;

void check_faidx(const Faidx& faidx, std::string_view file, const std::vector<Query>& queries) {
  const bool fills = faidx.options().default_seq.has_value();
  for (const Query& q : queries) {
    const IndexEntry* entry = faidx.index().find(q.name);
    const auto bases = entry ? regular_record(file, *entry) : std::nullopt;
    auto silent = faidx.plan(q.name, q.start, q.end, gelvo::Rules::Silent);
    if (silent) {
      check_plan(*silent, false);
      check_extract(faidx, file, *silent);
      if (!fills || silent->is_empty() || silent->count() <= kFillLimit) {
        auto value = faidx.fetch_single_optimized(q.name, q.start, q.end);
        if (value) check_value(faidx, *value, *silent, true, bases);
      }
    } else {
      const auto kind = silent.error().kind();
      FUZZ_CHECK(kind == gelvo::ErrorKind::Fetch || kind == gelvo::ErrorKind::Region);
    }
    auto plan = quietly([&] { return faidx.plan(q.name, q.start, q.end, gelvo::Rules::Checked); });
    if (plan) {
      check_plan(*plan, false);
      check_extract(faidx, file, *plan);
      if (!fills || plan->is_empty() || plan->count() <= kFillLimit) {
        auto value = quietly([&] { return faidx.fetch(q.name, q.start, q.end); });
        if (value) check_value(faidx, *value, *plan, true, bases);
      }
    }
    auto entire = faidx.plan_entire(q.name);
    if (entire) {
      check_plan(*entire, true);
      check_extract(faidx, file, *entire);
      auto value = faidx.fetch_entire_sequence(q.name);
      if (value) check_value(faidx, *value, *entire, false, bases);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::MemFile fasta("fasta");
  static fuzz::MemFile fai("fai");
  Reader in(data, size);
  const std::uint8_t flags = in.byte();
  gelvo::FaidxOptions options;
  options.strict_bounds = flags & 1;
  options.sequence_always_upper = flags & 2;
  if (flags & 4) options.default_seq = "N";
  options.one_based_attributes = !(flags & 8);
  options.as_raw = flags & 16;

  std::vector<std::pair<std::string, IndexEntry>> records(1 + in.byte() % 3);
  for (std::size_t i = 0; i < records.size(); ++i) {
    records[i].first = "e" + std::to_string(i);
    IndexEntry& e = records[i].second;
    e.offset = in.u64();
    e.rlen = in.u64();
    e.lenc = in.u64();
    e.lenb = in.u64();
  }
  std::vector<Query> queries(in.byte() % 8);
  std::vector<const IndexEntry*> entry_of;
  for (Query& q : queries) {
    const std::uint8_t which = in.byte();
    q.name = which < records.size() ? records[which].first : "missing";
    q.start = in.u64();
    q.end = in.u64();
    entry_of.push_back(which < records.size() ? &records[which].second : nullptr);
  }
  const std::string_view file = in.rest();
  fasta.write(file);
  if (flags & 32) {
    auto scanned = gelvo::scan_fasta(fasta.path());
    if (scanned && !scanned->empty()) {
      for (std::size_t i = 0; i < records.size(); ++i) records[i].second = scanned->entry(i % scanned->size());
    }
  }
  gelvo::RecordList listed;
  for (const auto& [name, entry] : records) listed.push_back(name, entry);
  fai.write(gelvo::format_index(listed));

  std::unique_ptr<unsigned char[]> bytes(new unsigned char[file.size()]);
  if (!file.empty()) std::memcpy(bytes.get(), file.data(), file.size());
  const Mapping heap{bytes.get(), file.size()};
  const int fd = ::open(fasta.path().c_str(), O_RDONLY | O_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  for (std::size_t i = 0; i < queries.size(); ++i) {
    if (entry_of[i] == nullptr) continue;
    const std::uint64_t s = queries[i].start;
    const std::uint64_t count = queries[i].end >= s ? queries[i].end - s + 1 : 0;
    check_primitives(file, heap, fd, *entry_of[i], s, count);
  }
  ::close(fd);

  for (bool mutable_file : {false, true}) {
    options.mutable_file = mutable_file;
    options.indexname = fai.path();
    options.rebuild = false;
    options.build_index = false;
    auto opened = Faidx::open(fasta.path(), options);
    FUZZ_CHECK(opened.ok());
    const Faidx& faidx = **opened;
    FUZZ_CHECK(faidx.index().size() == records.size());
    FUZZ_CHECK(faidx.source().is_mapped() == !mutable_file);
    check_faidx(faidx, file, queries);
  }
  return 0;
}
