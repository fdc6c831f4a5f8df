// The index build: scan_fasta over a file holding the input must agree with
// a line-by-line model of the records and of the line layouts it refuses,
// and the .fai text of its records must load back to the last record of
// every name, as must the map made from the records directly. The streaming
// build, fed the same text in small pieces, must agree with scan_fasta.
//
// An input whose first byte is 0x01 is placed after a filler record that
// ends just short of the scanner's 256 KiB read size (the second byte sets
// how far short), so lines, CR runs and UTF-8 sequences straddle the seam
// between two reads.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "faidx/index.h"
#include "support.h"

namespace {

using gelvo::IndexEntry;
using IndexRecord = std::pair<std::string, IndexEntry>;
using gelvo::kScanChunk;

std::string_view filler(std::size_t length) {
  static const std::string text = [] {
    std::string t = ">filler\n";
    while (t.size() < kScanChunk) t += (t.size() % 61 == 60) ? '\n' : 'A';
    return t;
  }();
  return std::string_view(text).substr(0, length);
}

struct ModelLine {
  std::size_t number;    // 1-based line of the file
  std::size_t residues;  // bytes before its trailing CRs and LF
  std::size_t bytes;     // bytes with the LF, a missing LF counted as present
  bool inner_cr;         // a CR followed by another byte of the line
};

// The first line of a record that breaks the layout, with the reason, or
// {0, ""}. Written as the rule reads: every sequence line but the last
// non-blank one has the first line's residues and bytes, the last non-blank
// one none more, and no non-blank line follows a blank one.
FUZZ_MODEL std::pair<std::size_t, const char*> model_layout(const std::vector<ModelLine>& lines) {
  for (std::size_t j = 0; j < lines.size(); ++j) {
    const ModelLine& line = lines[j];
    if (line.inner_cr) return {line.number, "Carriage return inside a line of sequence '"};
    if (j == 0 || line.residues == 0) continue;
    bool after_last = lines[0].residues == 0;
    for (std::size_t i = 1; i < j; ++i) {
      if (lines[i].residues < lines[0].residues || lines[i].bytes < lines[0].bytes) after_last = true;
    }
    if (after_last || line.residues > lines[0].residues || line.bytes > lines[0].bytes) {
      return {line.number, "Different line length in sequence '"};
    }
  }
  return {0, ""};
}

struct ModelScan {
  std::vector<IndexRecord> records;
  std::string error;  // empty when the file is accepted
};

FUZZ_MODEL ModelScan model_scan(std::string_view text) {
  ModelScan out;
  std::string name;
  bool in_record = false;
  IndexEntry entry;
  std::vector<ModelLine> lines;
  auto close = [&]() -> bool {
    const auto [number, what] = model_layout(lines);
    if (number != 0) {
      out.error = std::string(what) + name + "' at line " + std::to_string(number);
      return false;
    }
    if (!name.empty()) out.records.emplace_back(name, entry);
    name.clear();
    lines.clear();
    return true;
  };
  std::size_t pos = 0;
  for (std::size_t number = 1; pos < text.size(); ++number) {
    const std::size_t nl = text.find('\n', pos);
    const bool had_lf = nl != std::string_view::npos;
    const std::string_view line = text.substr(pos, (had_lf ? nl : text.size()) - pos);
    const std::size_t next = had_lf ? nl + 1 : text.size();
    if (!line.empty() && line[0] == '>') {
      if (!close()) return out;
      const std::string_view header = line.substr(1);
      const auto [begin, end] = fuzz::first_word(header);
      name.assign(header.substr(begin, end - begin));
      entry = IndexEntry{next, 0, 0, 0};
      in_record = true;
    } else if (in_record) {
      std::size_t crs = 0;
      while (crs < line.size() && line[line.size() - 1 - crs] == '\r') ++crs;
      const std::string_view body = line.substr(0, line.size() - crs);
      const ModelLine measured{number, body.size(), line.size() + 1, body.find('\r') != std::string_view::npos};
      if (lines.empty()) {
        entry.lenc = measured.residues;
        entry.lenb = line.size() + (had_lf ? 1 : 0);
      }
      entry.rlen += measured.residues;
      lines.push_back(measured);
    }
    pos = next;
  }
  close();
  return out;
}

std::vector<IndexRecord> listed(const gelvo::RecordList& records) {
  std::vector<IndexRecord> out;
  for (std::size_t i = 0; i < records.size(); ++i) out.emplace_back(records.name(i), records.entry(i));
  return out;
}

std::vector<IndexRecord> listed(const gelvo::NameIndex& index) {
  std::vector<IndexRecord> out;
  for (std::size_t i = 0; i < index.size(); ++i) out.emplace_back(index.name(i), index.entry(i));
  return out;
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
  // The streaming form (the build of a compressed file, fed a block at a
  // time) gives the same outcome whatever the pieces: here of 1 to 64 bytes,
  // so that every seam lands everywhere.
  gelvo::FastaIndexBuild build;
  const std::size_t piece = 1 + (size > 2 ? data[size / 2] % 64 : 0);
  for (std::size_t at = 0; at < text.size() && build.feed(text.data() + at, std::min(piece, text.size() - at));) {
    at += piece;
  }
  auto streamed = build.finish();
  FUZZ_CHECK(streamed.ok() == scanned.ok());
  if (scanned) {
    FUZZ_CHECK(*streamed == *scanned);
  } else {
    FUZZ_CHECK(streamed.error().kind() == scanned.error().kind());
    FUZZ_CHECK(streamed.error().payload() == scanned.error().payload());
  }
  // The filler is ASCII, so validity is the input's own.
  const bool valid = fuzz::model_utf8(input);
  if (!valid) {
    FUZZ_CHECK(!scanned);
    FUZZ_CHECK(scanned.error().kind() == gelvo::ErrorKind::IO);
    FUZZ_CHECK(scanned.error().payload() == gelvo::kInvalidUtf8);
    return 0;
  }
  const ModelScan model = model_scan(text);
  if (!scanned) {
    FUZZ_CHECK(scanned.error().kind() == gelvo::ErrorKind::FastaIndexing);
    FUZZ_CHECK(scanned.error().payload() == model.error);
    return 0;
  }
  FUZZ_CHECK(model.error.empty());
  const std::vector<IndexRecord> records = listed(*scanned);
  FUZZ_CHECK(records == model.records);

  auto loaded = gelvo::parse_index(gelvo::format_index(*scanned));
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
  FUZZ_CHECK(listed(*loaded) == expected);
  const gelvo::NameIndex direct = gelvo::NameIndex::from_records(*scanned);
  FUZZ_CHECK(listed(direct) == expected);
  for (const IndexRecord& e : expected) {
    const IndexEntry* found = loaded->find(e.first);
    FUZZ_CHECK(found != nullptr && *found == e.second);
    found = direct.find(e.first);
    FUZZ_CHECK(found != nullptr && *found == e.second);
  }
  return 0;
}
