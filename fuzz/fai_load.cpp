// The .fai loader on arbitrary text, against a model of its rules: lines
// split at LF, one trailing CR dropped, white space trimmed, five TAB
// separated fields or the line is skipped, unsigned decimal numbers with an
// optional '+', the first bad number or the first line that is not UTF-8
// failing the load, and a later line replacing the entry of an earlier name.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "faidx/index.h"
#include "support.h"

namespace {

using gelvo::IndexEntry;
using IndexRecord = std::pair<std::string, IndexEntry>;

FUZZ_MODEL std::optional<std::uint64_t> model_number(std::string_view field) {
  if (!field.empty() && field[0] == '+') field.remove_prefix(1);
  if (field.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

struct ModelLoad {
  std::vector<IndexRecord> records;
  std::string error;  // empty when the load succeeds
};

FUZZ_MODEL ModelLoad model_parse(std::string_view text) {
  ModelLoad out;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (!fuzz::model_utf8(line)) {
      out.error = gelvo::kInvalidUtf8;
      return out;
    }
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = fuzz::model_trim(line);
    std::vector<std::string_view> fields;
    for (std::size_t begin = 0;;) {
      const std::size_t tab = line.find('\t', begin);
      fields.push_back(line.substr(begin, tab == std::string_view::npos ? std::string_view::npos : tab - begin));
      if (tab == std::string_view::npos) break;
      begin = tab + 1;
    }
    if (fields.size() != 5) continue;
    static constexpr const char* kNames[] = {"rlen", "offset", "lenc", "lenb"};
    std::uint64_t numbers[4];
    for (int k = 0; k < 4; ++k) {
      auto n = model_number(fields[k + 1]);
      if (!n) {
        out.error = std::string("Invalid ") + kNames[k];
        return out;
      }
      numbers[k] = *n;
    }
    const IndexEntry entry{numbers[1], numbers[0], numbers[2], numbers[3]};
    bool replaced = false;
    for (IndexRecord& r : out.records) {
      if (r.first == fields[0]) {
        r.second = entry;
        replaced = true;
      }
    }
    if (!replaced) out.records.emplace_back(std::string(fields[0]), entry);
  }
  return out;
}

std::vector<IndexRecord> listed(const gelvo::NameIndex& index) {
  std::vector<IndexRecord> out;
  for (std::size_t i = 0; i < index.size(); ++i) out.emplace_back(index.name(i), index.entry(i));
  return out;
}

gelvo::RecordList as_list(const std::vector<IndexRecord>& records) {
  gelvo::RecordList out;
  for (const IndexRecord& r : records) out.push_back(r.first, r.second);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = gelvo::parse_index(text);
  const ModelLoad model = model_parse(text);
  if (!parsed) {
    FUZZ_CHECK(!model.error.empty());
    FUZZ_CHECK(parsed.error().payload() == model.error);
    const auto kind = model.error == gelvo::kInvalidUtf8 ? gelvo::ErrorKind::IO : gelvo::ErrorKind::FastaIndexing;
    FUZZ_CHECK(parsed.error().kind() == kind);
    return 0;
  }
  FUZZ_CHECK(model.error.empty());
  FUZZ_CHECK(listed(*parsed) == model.records);
  for (const IndexRecord& r : model.records) {
    const IndexEntry* found = parsed->find(r.first);
    FUZZ_CHECK(found != nullptr && *found == r.second);
  }
  // What the loader accepted, written back out, loads to the same index.
  auto again = gelvo::parse_index(gelvo::format_index(as_list(model.records)));
  FUZZ_CHECK(again.ok() && listed(*again) == model.records);
  return 0;
}
