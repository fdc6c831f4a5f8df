#include "faidx/faidx.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>

#include "faidx/bgzf_index.h"
#include "faidx/io.h"

namespace gelvo {

namespace {

void warn(std::string_view text) {
  std::string line = "WARNING: ";
  line += text;
  line += '\n';
  write_stderr(line);
}

FetchPlan planned(const IndexEntry* entry, const Region& region) {
  return FetchPlan{region.empty ? nullptr : entry, region};
}

}  // namespace

Result<std::unique_ptr<Faidx>> Faidx::open(std::string filename, FaidxOptions options) {
  std::unique_ptr<Faidx> faidx(new Faidx());
  faidx->index_path_ = options.indexname ? *options.indexname : filename + ".fai";
  faidx->filename_ = std::move(filename);
  faidx->options_ = std::move(options);
  const std::string& path = faidx->filename_;

  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return FaidxError(ErrorKind::FastaNotFound, path);
  auto source = open_source(path, faidx->options_.mutable_file);
  if (!source) return std::move(source).error();
  faidx->source_ = std::move(*source);

  const FaidxOptions& o = faidx->options_;
  auto* compressed = dynamic_cast<BgzfFile*>(faidx->source_.get());
  auto index = compressed ? acquire_bgzf_indexes(*compressed, faidx->index_path_, o.rebuild, o.build_index)
                          : acquire_index(path, faidx->index_path_, o.rebuild, o.build_index);
  if (!index) return std::move(index).error();
  faidx->index_ = std::move(*index);
  return faidx;
}

Result<const IndexEntry*> Faidx::find_entry(std::string_view name) const {
  const IndexEntry* entry = index_.find(name);
  if (entry == nullptr) {
    std::string text = "Sequence '";
    text += name;
    text += "' not found";
    return FaidxError(ErrorKind::Fetch, std::move(text));
  }
  return entry;
}

Result<FetchPlan> Faidx::plan(std::string_view name, std::size_t start, std::size_t end, Rules rules) const {
  auto found = find_entry(name);
  if (!found) return std::move(found).error();
  const IndexEntry* entry = *found;
  auto region = rules == Rules::Checked ? checked_region(name, entry->rlen, start, end, options_.strict_bounds, warn)
                                        : silent_region(name, entry->rlen, start, end, options_.strict_bounds);
  if (!region) return std::move(region).error();
  return planned(entry, *region);
}

Result<FetchPlan> Faidx::plan_entire(std::string_view name) const {
  auto found = find_entry(name);
  if (!found) return std::move(found).error();
  return planned(*found, whole_region((*found)->rlen));
}

std::size_t Faidx::extract_bound(const FetchPlan& plan, std::uint64_t source_size) noexcept {
  const IndexEntry& entry = *plan.entry;
  const std::size_t count = plan.count();
  if (count == 0 || entry.rlen == 0 || entry.lenc == 0) return 0;
  const auto b = base_offset(entry, plan.region.s);
  if (!b || *b >= source_size) return 0;
  return static_cast<std::size_t>(std::min<std::uint64_t>(count, source_size - *b));
}

Result<std::size_t> Faidx::extract(const FetchPlan& plan, char* dst, std::size_t capacity, bool* plain) const {
  source_->refresh();
  return extract_prepared(plan, dst, capacity, plain);
}

Result<std::size_t> Faidx::extract_prepared(const FetchPlan& plan, char* dst, std::size_t capacity, bool* plain) const {
  bool ignored;
  if (plain == nullptr) plain = &ignored;
  // Never more than capacity: the bases asked for may exceed what the
  // destination was sized for when the file ends early.
  return source_->extract(*plan.entry, plan.region.s, std::min(plan.count(), capacity), dst, plain);
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

Result<Sequence> Faidx::materialize(std::string_view name, const FetchPlan& plan, bool fill) const {
  Sequence value;
  value.name.assign(name);
  if (!plan.is_empty()) {
    value.seq.resize(extract_bound(plan));
    auto got = extract(plan, value.seq.data(), value.seq.size());
    if (!got) return std::move(got).error();
    value.seq.resize(*got);
    finish_text(plan, value.seq, fill);
  }
  const Span span = result_span(plan);
  value.start = span.start;
  value.end = span.end;
  return value;
}

Result<Sequence> Faidx::fetch(std::string_view name, std::size_t start, std::size_t end) const {
  auto planned = plan(name, start, end, Rules::Checked);
  if (!planned) return std::move(planned).error();
  return materialize(name, *planned, true);
}

Result<Sequence> Faidx::fetch_single_optimized(std::string_view name, std::size_t start, std::size_t end) const {
  auto planned = plan(name, start, end, Rules::Silent);
  if (!planned) return std::move(planned).error();
  return materialize(name, *planned, true);
}

Result<Sequence> Faidx::fetch_entire_sequence(std::string_view name) const {
  auto planned = plan_entire(name);
  if (!planned) return std::move(planned).error();
  return materialize(name, *planned, false);
}

Result<Sequence> Faidx::fetch_spliced(std::string_view name,
                                      std::span<const std::pair<std::size_t, std::size_t>> pieces, bool rc) const {
  Sequence joined;
  joined.name.assign(name);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    auto piece = fetch(name, pieces[i].first, pieces[i].second);
    if (!piece) return std::move(piece).error();
    joined.seq += piece->seq;
    if (i == 0) joined.start = piece->start;
    joined.end = piece->end;
  }
  // Reverse-complementing the pieces last to first is the same as doing it
  // to the joined text.
  if (rc) reverse_complement_in_place(joined.seq.data(), joined.seq.size());
  return joined;
}

Result<std::optional<Sequence>> Faidx::fetch_stepped(std::string_view name, std::ptrdiff_t begin, std::ptrdiff_t stop,
                                                     std::ptrdiff_t step) const {
  auto found = find_entry(name);
  if (!found) return std::move(found).error();
  const std::size_t length = (*found)->rlen;
  // An empty record meets the fetch's out-of-bounds rule, as the whole
  // fetch would.
  if (length == 0) return std::optional<Sequence>();
  const SteppedSlice slice = stepped_slice(length, begin, stop, step, options_.style());
  Sequence value{std::string(name), {}, slice.span.start, slice.span.end, false};
  if (slice.width == 0) return std::optional<Sequence>(std::move(value));
  auto covering = fetch(name, slice.low + 1, slice.low + slice.width);
  if (!covering) return std::move(covering).error();
  const std::string& text = covering->seq;
  const bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (text.size() != slice.width || !ascii) return std::optional<Sequence>();
  value.seq.resize(slice.selection.count);
  copy_selection(text, slice.selection, value.seq.data());
  return std::optional<Sequence>(std::move(value));
}

Result<std::size_t> Faidx::unpadded_length(std::string_view name) const {
  auto found = find_entry(name);
  if (!found) return std::move(found).error();
  auto fetched = fetch(name, 1, (*found)->rlen);
  if (!fetched) return std::move(fetched).error();
  const std::string_view seq = fetched->seq;
  auto is_n = [](char c) { return c == 'N' || c == 'n'; };
  const auto lead = static_cast<std::size_t>(std::find_if_not(seq.begin(), seq.end(), is_n) - seq.begin());
  if (lead == seq.size()) return std::size_t{0};
  const auto trail = static_cast<std::size_t>(std::find_if_not(seq.rbegin(), seq.rend(), is_n) - seq.rbegin());
  return seq.size() - lead - trail;
}

Result<std::vector<Sequence>> Faidx::reversed_chunks(std::string_view name) const {
  auto found = find_entry(name);
  if (!found) return std::move(found).error();
  const std::size_t length = (*found)->rlen;
  std::vector<Sequence> chunks;
  if (length == 0) return chunks;
  const std::size_t chunk = record_chunk((*found)->lenc, length);
  const std::size_t count = (length - 1) / chunk + 1;
  if (count > chunks.max_size()) throw std::bad_alloc();
  chunks.reserve(count);
  // Fetched front to back, handed out back to front.
  for (std::size_t position = 1;;) {
    const std::size_t last = chunk_last(position, chunk, length);
    auto fetched = fetch(name, position, last);
    if (!fetched) return std::move(fetched).error();
    chunks.push_back(reverse(*fetched));
    if (last == length) break;
    position = last + 1;
  }
  std::reverse(chunks.begin(), chunks.end());
  return chunks;
}

Result<std::array<std::uint64_t, 256>> Faidx::composition(std::string_view name) const {
  auto found = find_entry(name);
  if (!found) return std::move(found).error();
  const IndexEntry& entry = **found;
  std::array<std::uint64_t, 256> counts{};
  constexpr std::size_t kPiece = std::size_t{4} << 20;
  std::string buffer;
  source_->prepare();
  for (std::size_t s = 1; s <= entry.rlen;) {
    const std::size_t count = std::min(kPiece, entry.rlen - s + 1);
    const FetchPlan piece = planned(&entry, Region{false, s, s + count - 1, 0, 0});
    buffer.resize(extract_bound(piece));
    auto got = extract_prepared(piece, buffer.data(), buffer.size());
    if (!got) return std::move(got).error();
    apply_case(buffer.data(), *got);
    count_bytes(std::string_view(buffer.data(), *got), counts);
    // A file shorter than its index ends the record early.
    if (*got < count) break;
    s += count;
  }
  return counts;
}

}  // namespace gelvo
