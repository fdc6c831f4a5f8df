// The FASTA index: its records, the .fai file, and the in-memory map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
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

// Named entries in order. The names live end to end in one buffer, so a
// record costs its name's bytes plus 40 bytes, not a string object each.
class RecordList {
 public:
  // Room for records whose names total name_bytes, so that filling it does
  // not copy. Overestimates cost address space, not resident memory.
  void reserve(std::size_t records, std::size_t name_bytes);
  void push_back(std::string_view name, const IndexEntry& entry);

  std::size_t size() const noexcept { return items_.size(); }
  bool empty() const noexcept { return items_.empty(); }
  // Views stay valid until the list is modified.
  std::string_view name(std::size_t i) const noexcept {
    const std::size_t begin = i == 0 ? 0 : items_[i - 1].name_end;
    return std::string_view(names_).substr(begin, items_[i].name_end - begin);
  }
  const IndexEntry& entry(std::size_t i) const noexcept { return items_[i].entry; }
  IndexEntry& entry(std::size_t i) noexcept { return items_[i].entry; }
  // Bytes of all names together.
  std::size_t name_bytes() const noexcept { return names_.size(); }

  bool operator==(const RecordList&) const = default;

 private:
  friend class NameIndex;
  std::string names_;
  // A record's entry and where its name ends share a cache line: a lookup
  // that finds the name has the entry at hand.
  struct Item {
    IndexEntry entry;
    std::size_t name_end;  // in names_; the name begins where the previous one ends
    bool operator==(const Item&) const = default;
  };
  std::vector<Item> items_;
};

// Map from sequence name (bytes, case-sensitive) to IndexEntry: one entry per
// distinct name, enumerated (size, name(i), entry(i)) in the order names were
// first inserted. Filled during construction of a Faidx and only read
// afterwards, so lookups from several threads need no lock.
//
// An open-addressing table of 32-bit slots over a RecordList: a slot holds
// the record's position and, in the bits the position does not need, a tag
// of the name's hash, so a probe compares names only when the tags agree.
// No hash is stored per record; growing recomputes them from the names.
class NameIndex {
 public:
  // Builds the map of records in file order: a later record of a name
  // replaces the value of the earlier one, which keeps its place.
  static NameIndex from_records(RecordList records);

  // Room for n names in total, names of name_bytes in total.
  void reserve(std::size_t n, std::size_t name_bytes = 0);
  // Inserts, or replaces the value under an existing name (keeping its place).
  void insert_or_assign(std::string_view name, const IndexEntry& entry);
  // Null when the name is absent. Pointers stay valid while the index lives
  // and is not modified.
  const IndexEntry* find(std::string_view name) const noexcept;
  // Sizes the slots to the names held when reserve() overestimated them.
  void shrink_to_fit();

  std::size_t size() const noexcept { return records_.size(); }
  bool empty() const noexcept { return records_.empty(); }
  std::string_view name(std::size_t i) const noexcept { return records_.name(i); }
  const IndexEntry& entry(std::size_t i) const noexcept { return records_.entry(i); }

 private:
  // Fills empty slots with the records; false, with the slots half filled,
  // at the first name that repeats an earlier one.
  bool place_distinct() noexcept;
  // Fetches the home slot of a hash into the cache ahead of its probe.
  void prefetch(std::uint64_t hash) const noexcept;
  // Empty slots sized for capacity records.
  void reset_slots(std::size_t capacity);
  // reset_slots, then the records (distinct names) placed again.
  void rebuild_slots(std::size_t capacity);
  // The slot holding name, or the empty slot where it would go.
  std::size_t probe(std::string_view name, std::uint64_t hash) const noexcept;
  std::uint32_t tag_of(std::uint64_t hash) const noexcept;
  std::uint32_t position_mask() const noexcept;

  RecordList records_;
  std::vector<std::uint32_t> slots_;  // (tag << index_bits_) | (position + 1); 0 is empty
  std::size_t capacity_ = 0;          // records the slots are sized for
  unsigned index_bits_ = 0;           // bits of a slot that hold position + 1
};

// The scanner reads the file in pieces of this size, small enough to stay
// in L2 between its two passes (UTF-8 check, then lines).
inline constexpr std::size_t kScanChunk = 256 * 1024;

// Scans a FASTA file and lists its records in file order (names may repeat).
// Fails with IOError when the file cannot be read or is not valid UTF-8, and
// with FastaIndexingError (naming the sequence and the 1-based line) when a
// record's line layout breaks the arithmetic of the index: a sequence line
// longer than the record's first, a sequence line after a shorter or blank
// one, or a carriage return inside a sequence line.
// Memory use is bounded by the number of records, not by line length.
Result<RecordList> scan_fasta(const std::string& fasta_path);

// The same scan over text that arrives in pieces, in order (the inflated
// blocks of a compressed file): feed() every piece, then finish(), which
// gives what scan_fasta gives for a file holding the text.
class FastaIndexBuild {
 public:
  FastaIndexBuild();
  ~FastaIndexBuild();
  FastaIndexBuild(const FastaIndexBuild&) = delete;
  FastaIndexBuild& operator=(const FastaIndexBuild&) = delete;

  // Consumes the next piece. Returns false once the text is known not to
  // be UTF-8: whatever follows cannot change the outcome.
  bool feed(const char* p, std::size_t n);
  Result<RecordList> finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The .fai text of the records: "name\trlen\toffset\tlenc\tlenb\n" per record.
std::string format_index(const RecordList& records);
// The same text in pieces: appends the lines of records *next, *next + 1, ...
// to out until it holds at least `limit` bytes or the records end, and
// advances *next past them.
void append_index_lines(const RecordList& records, std::size_t* next, std::string& out, std::size_t limit);

// Writes the records to index_path atomically: the text goes to a temporary
// file in the directory of the file a write to index_path lands in (the
// target of a symbolic link, followed even when it dangles), which then
// replaces it, so readers see the old index or the complete new one, never a
// torn file. The replacement keeps the old file's permission bits and, where
// the process may set them, its owner and group. Fails with the IOError of
// opening an existing index for writing when the process may not write it.
// When the directory takes no new file but the old index is writable, it is
// rewritten in place instead. On failure the temporary file is removed and
// the old index is left untouched. Only a regular file is replaced: anything
// else at index_path is an IOError.
Status write_index(const std::string& index_path, const RecordList& records);

// Writes the bytes body(fd) writes to the descriptor it is given to
// index_path, by the rules of write_index (a temporary file and a rename,
// the old file's attributes kept, symbolic links followed). body may be
// called once; its error is the write's.
using FileBody = std::function<Status(int fd)>;
Status write_index_file(const std::string& index_path, const FileBody& body);

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

}  // namespace gelvo
