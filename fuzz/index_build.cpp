// The index build: scan_fasta over a file holding the input must agree with
// a line-by-line model of the records, and the .fai text of its records
// must load back to the last record of every name.
//
// An input whose first byte is 0x01 is placed after a filler record that
// ends just short of the scanner's 256 KiB read size (the second byte sets
// how far short), so lines, CR runs and UTF-8 sequences straddle the seam
// between two reads.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "faidx/index.h"
#include "support.h"

namespace {

using gelvo::IndexEntry;
using gelvo::IndexRecord;
using gelvo::kScanChunk;

std::string_view filler(std::size_t length) {
  static const std::string text = [] {
    std::string t = ">filler\n";
    while (t.size() < kScanChunk) t += (t.size() % 61 == 60) ? '\n' : 'A';
    return t;
  }();
  return std::string_view(text).substr(0, length);
}

FUZZ_MODEL std::vector<IndexRecord> model_scan(std::string_view text) {
  std::vector<IndexRecord> records;
  std::string name;
  IndexEntry entry;
  std::size_t lines = 0;
  auto close = [&] {
    if (!name.empty()) records.emplace_back(name, entry);
    name.clear();
  };
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t nl = text.find('\n', pos);
    const bool had_lf = nl != std::string_view::npos;
    const std::string_view line = text.substr(pos, (had_lf ? nl : text.size()) - pos);
    const std::size_t next = had_lf ? nl + 1 : text.size();
    if (!line.empty() && line[0] == '>') {
      close();
      const std::string_view header = line.substr(1);
      const auto [begin, end] = fuzz::first_word(header);
      name.assign(header.substr(begin, end - begin));
      entry = IndexEntry{next, 0, 0, 0};
      lines = 0;
    } else {
      std::size_t crs = 0;
      while (crs < line.size() && line[line.size() - 1 - crs] == '\r') ++crs;
      entry.rlen += line.size() - crs;
      if (lines++ == 0) {
        entry.lenc = line.size() - crs;
        entry.lenb = line.size() + (had_lf ? 1 : 0);
      }
    }
    pos = next;
  }
  close();
  return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::MemFile file("fasta");
  std::string text;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  if (size >= 2 && data[0] == 0x01) {
    text = filler(kScanChunk - data[1]);
    input.remove_prefix(2);
  }
  text.append(input);
  file.write(text);

  auto scanned = gelvo::scan_fasta(file.path());
  // The filler is ASCII, so validity is the input's own.
  const bool valid = fuzz::model_utf8(input);
  if (!scanned) {
    FUZZ_CHECK(!valid);
    FUZZ_CHECK(scanned.error().kind() == gelvo::ErrorKind::IO);
    FUZZ_CHECK(scanned.error().payload() == gelvo::kInvalidUtf8);
    return 0;
  }
  FUZZ_CHECK(valid);
  const std::vector<IndexRecord>& records = *scanned;
  FUZZ_CHECK(records == model_scan(text));

  auto loaded = gelvo::parse_index(gelvo::format_index(records));
  FUZZ_CHECK(loaded.ok());
  // Names in order of first appearance, each with its last record.
  std::vector<IndexRecord> expected;
  for (const IndexRecord& record : records) {
    bool seen = false;
    for (IndexRecord& e : expected) {
      if (e.first == record.first) {
        e.second = record.second;
        seen = true;
      }
    }
    if (!seen) expected.push_back(record);
  }
  FUZZ_CHECK(loaded->records() == expected);
  for (const IndexRecord& e : expected) {
    const IndexEntry* found = loaded->find(e.first);
    FUZZ_CHECK(found != nullptr && *found == e.second);
  }
  return 0;
}
