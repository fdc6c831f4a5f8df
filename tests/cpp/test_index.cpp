// The name map where Python cannot steer it: growth past the widths at
// which a slot's tag bits shrink, names that differ only where the hash
// reads overlapping words, and repeated names folded in file order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "faidx/index.h"

namespace gelvo {
namespace {

// prefix + i, built by appending ("n" + std::to_string(i) trips a false
// -Wrestrict warning of g++ 12).
std::string numbered(const char* prefix, std::size_t i) {
  std::string s(prefix);
  s += std::to_string(i);
  return s;
}

IndexEntry entry_of(std::size_t i) { return IndexEntry{i * 7, i, i % 61, i % 61 + 1}; }

// Every name found with its own entry, and enumeration in insertion order.
void expect_all(const NameIndex& index, const std::vector<std::string>& names) {
  ASSERT_EQ(index.size(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    ASSERT_EQ(index.name(i), names[i]);
    const IndexEntry* found = index.find(names[i]);
    ASSERT_NE(found, nullptr) << names[i];
    ASSERT_EQ(*found, entry_of(i)) << names[i];
    ASSERT_EQ(found, &index.entry(i));
  }
}

TEST(NameIndex, GrowsWithoutReserveAcrossTagWidths) {
  // Without reserve the table doubles from 16: each doubling takes one more
  // bit for the position and one less for the tag, so the slots are redone.
  NameIndex index;
  std::vector<std::string> names;
  for (std::size_t i = 0; i < 70'000; ++i) {
    names.push_back(numbered("n", i));
    index.insert_or_assign(names.back(), entry_of(i));
    if ((i & (i + 1)) == 0) expect_all(index, names);  // just after each power of two
  }
  expect_all(index, names);
  EXPECT_EQ(index.find("n70000"), nullptr);
  EXPECT_EQ(index.find(""), nullptr);
}

TEST(NameIndex, NamesDifferingOnlyInOverlappingTailBytes) {
  // Lengths 0 to 24 cover every tail read (none, 1-3 bytes, two 4-byte
  // words, 8-byte words that overlap); each pair differs in one byte.
  std::vector<std::string> names;
  for (std::size_t len = 0; len <= 24; ++len) {
    std::string base(len, 'a');
    names.push_back(base);
    for (std::size_t at = 0; at < len; ++at) {
      std::string other = base;
      other[at] = 'b';
      names.push_back(other);
    }
  }
  NameIndex index;
  for (std::size_t i = 0; i < names.size(); ++i) index.insert_or_assign(names[i], entry_of(i));
  expect_all(index, names);
  EXPECT_EQ(index.find(std::string(25, 'a')), nullptr);
  EXPECT_EQ(index.find(std::string("a\0", 2)), nullptr);
}

TEST(NameIndex, RepeatsKeepTheFirstPlaceAndTheLastValue) {
  RecordList records;
  records.push_back("a", entry_of(1));
  records.push_back("b", entry_of(2));
  records.push_back("a", entry_of(3));
  records.push_back("c", entry_of(4));
  records.push_back("b", entry_of(5));
  const NameIndex index = NameIndex::from_records(records);
  ASSERT_EQ(index.size(), 3u);
  EXPECT_EQ(index.name(0), "a");
  EXPECT_EQ(index.name(1), "b");
  EXPECT_EQ(index.name(2), "c");
  EXPECT_EQ(*index.find("a"), entry_of(3));
  EXPECT_EQ(*index.find("b"), entry_of(5));
  EXPECT_EQ(*index.find("c"), entry_of(4));
}

TEST(NameIndex, DistinctRecordsAreAdoptedAsTheyAre) {
  RecordList records;
  std::vector<std::string> names;
  for (std::size_t i = 0; i < 5'000; ++i) {
    names.push_back(numbered("chr", i * 31));
    records.push_back(names.back(), entry_of(i));
  }
  const NameIndex index = NameIndex::from_records(records);
  expect_all(index, names);
}

TEST(NameIndex, ParseOfMostlyOtherLinesFindsEveryRecord) {
  // Mostly lines that are not index lines: room reserved by the line count
  // is far more than the few records need, which must all still be found.
  std::string text;
  std::vector<std::string> names;
  for (std::size_t i = 0; i < 3'000; ++i) {
    text += numbered("junk line ", i) + "\n";
    if (i % 100 == 0) {
      names.push_back(numbered("r", i));
      const IndexEntry e = entry_of(names.size() - 1);
      text += names.back() + "\t" + std::to_string(e.rlen) + "\t" + std::to_string(e.offset) + "\t" +
              std::to_string(e.lenc) + "\t" + std::to_string(e.lenb) + "\n";
    }
  }
  auto index = parse_index(text);
  ASSERT_TRUE(index.ok());
  expect_all(*index, names);
}

TEST(RecordList, FormatsInPiecesAsAWhole) {
  RecordList records;
  for (std::size_t i = 0; i < 1'000; ++i) records.push_back(numbered("name", i), entry_of(i));
  const std::string whole = format_index(records);
  std::string pieces;
  for (std::size_t next = 0; next < records.size();) {
    std::string piece;
    append_index_lines(records, &next, piece, 100);
    EXPECT_FALSE(piece.empty());
    pieces += piece;
  }
  EXPECT_EQ(pieces, whole);
  EXPECT_EQ(whole.substr(0, 16), "name0\t0\t0\t0\t1\nna");
}

}  // namespace
}  // namespace gelvo
