// The FASTA index: its records, the .fai file, and the in-memory map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors/error.h"

namespace gelvo {

// One sequence's geometry in the FASTA file.
struct IndexEntry {
  std::uint64_t offset = 0;  // byte offset of the first residue
  std::size_t rlen = 0;      // residues of the record
  std::size_t lenc = 0;      // residues of its first sequence line
  std::size_t lenb = 0;      // bytes of its first sequence line, terminator included

  bool operator==(const IndexEntry&) const = default;
};

using IndexRecord = std::pair<std::string, IndexEntry>;

// Map from sequence name (bytes, case-sensitive) to IndexEntry: one entry per
// distinct name, enumerated in the order names were first inserted. Filled
// during construction of a Faidx and only read afterwards, so lookups from
// several threads need no lock.
class NameIndex {
 public:
  void reserve(std::size_t n);
  // Inserts, or replaces the value under an existing name (keeping its place).
  void insert_or_assign(std::string name, const IndexEntry& entry);
  // Null when the name is absent. Pointers stay valid while the index lives
  // and is not modified.
  const IndexEntry* find(std::string_view name) const noexcept;

  std::size_t size() const noexcept { return records_.size(); }
  bool empty() const noexcept { return records_.empty(); }
  const std::vector<IndexRecord>& records() const noexcept { return records_; }

 private:
  void rehash(std::size_t slots);
  std::size_t probe(std::string_view name, std::size_t hash) const noexcept;

  std::vector<IndexRecord> records_;
  std::vector<std::size_t> hashes_;
  std::vector<std::uint32_t> slots_;  // index into records_ + 1; 0 is empty
};

// The scanner reads the file in pieces of this size, small enough to stay
// in L2 between its two passes (UTF-8 check, then lines).
inline constexpr std::size_t kScanChunk = 256 * 1024;

// Scans a FASTA file and lists its records in file order (names may repeat).
// Fails with IOError when the file cannot be read or is not valid UTF-8.
// Memory use is bounded by the number of records, not by line length.
Result<std::vector<IndexRecord>> scan_fasta(const std::string& fasta_path);

// The .fai text of the records: "name\trlen\toffset\tlenc\tlenb\n" per record.
std::string format_index(const std::vector<IndexRecord>& records);

// Writes the records to index_path atomically: the text goes to a temporary
// file in the same directory which then replaces index_path, so readers see
// the old index or the complete new one, never a torn file. On failure the
// temporary file is removed and an existing index is left untouched. Only a
// regular file is replaced: anything else at index_path is an IOError.
Status write_index(const std::string& index_path, const std::vector<IndexRecord>& records);

// Parses .fai text. Lines without exactly five TAB-separated fields are
// skipped; a bad number fails with FastaIndexingError "Invalid <field>".
Result<NameIndex> parse_index(std::string_view text);

// Reads and parses index_path. IndexNotFoundError when it cannot be opened,
// IOError when it is not a regular file, on a read error or on text that is
// not UTF-8.
Result<NameIndex> load_index(const std::string& index_path);

// Whether the index must be built: it is missing (and build_index), or older
// than the FASTA file (and both rebuild and build_index).
bool index_needs_build(const std::string& fasta_path, const std::string& index_path, bool rebuild, bool build_index);

// The decision, the build when needed, and the load.
Result<NameIndex> acquire_index(const std::string& fasta_path, const std::string& index_path, bool rebuild,
                                bool build_index);

// Name of a FASTA header line (the text after '>', terminator included):
// the first word after stripping Unicode White_Space. Empty when none.
std::string_view header_name(std::string_view header_text) noexcept;

// True when bytes are valid UTF-8.
bool valid_utf8(std::string_view bytes) noexcept;

}  // namespace gelvo
