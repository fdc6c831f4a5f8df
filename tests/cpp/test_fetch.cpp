// The silent single-region fetch used by batch workers, and the extraction
// primitives on well-formed and hostile index entries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include "faidx/faidx.h"
#include "faidx/io.h"
#include "faidx/source.h"

namespace gelvo {
namespace {

class TempFasta {
 public:
  explicit TempFasta(const std::string& text) {
    char pattern[] = "/tmp/gelvo-test-XXXXXX";
    dir_ = mkdtemp(pattern);
    path_ = dir_ + "/ref.fa";
    std::ofstream(path_, std::ios::binary) << text;
  }
  ~TempFasta() { std::filesystem::remove_all(dir_); }
  const std::string& path() const { return path_; }

 private:
  std::string dir_;
  std::string path_;
};

// 100 bases in lines of 60: ACGTTGCAAC repeated.
std::string hundred_bases() {
  std::string bases;
  for (int i = 0; i < 10; ++i) bases += "ACGTTGCAAC";
  return bases;
}

std::unique_ptr<Faidx> open_hundred(const TempFasta& file, FaidxOptions options = {}) {
  auto opened = Faidx::open(file.path(), std::move(options));
  EXPECT_TRUE(opened.ok());
  return std::move(opened).value();
}

TempFasta hundred_file() {
  const std::string b = hundred_bases();
  return TempFasta(">chr1\n" + b.substr(0, 60) + "\n" + b.substr(60) + "\n>empty\n");
}

TEST(FetchSingleOptimized, LenientClampsSilently) {
  TempFasta file = hundred_file();
  auto faidx = open_hundred(file);
  const std::string b = hundred_bases();

  auto zero = faidx->fetch_single_optimized("chr1", 0, 0);
  ASSERT_TRUE(zero.ok());
  EXPECT_EQ(zero->seq, "A");
  EXPECT_EQ(zero->start, 1u);
  EXPECT_EQ(zero->end, 1u);

  auto past = faidx->fetch_single_optimized("chr1", 150, 160);
  ASSERT_TRUE(past.ok());
  EXPECT_EQ(past->seq, b.substr(99));
  EXPECT_EQ(past->start, 100u);
  EXPECT_EQ(past->end, 100u);

  auto reversed = faidx->fetch_single_optimized("chr1", 8, 3);
  ASSERT_TRUE(reversed.ok());
  EXPECT_EQ(reversed->seq, "");
  EXPECT_EQ(reversed->start, 8u);
  EXPECT_EQ(reversed->end, 3u);

  auto across = faidx->fetch_single_optimized("chr1", 59, 62);
  ASSERT_TRUE(across.ok());
  EXPECT_EQ(across->seq, b.substr(58, 4));
}

TEST(FetchSingleOptimized, ZeroBasedStartOfClampedRegion) {
  TempFasta file = hundred_file();
  FaidxOptions options;
  options.one_based_attributes = false;
  auto faidx = open_hundred(file, options);
  auto zero = faidx->fetch_single_optimized("chr1", 0, 0);
  ASSERT_TRUE(zero.ok());
  EXPECT_EQ(zero->start, 0u);
  EXPECT_EQ(zero->end, 1u);
}

TEST(FetchSingleOptimized, EmptyRecordGivesEmptyResult) {
  TempFasta file = hundred_file();
  FaidxOptions options;
  options.default_seq = "N";
  options.one_based_attributes = false;
  auto faidx = open_hundred(file, options);
  auto empty = faidx->fetch_single_optimized("empty", 0, 5);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->seq, "");
  EXPECT_EQ(empty->start, 0u);
  EXPECT_EQ(empty->end, 0u);
}

TEST(FetchSingleOptimized, StrictViolationsAreRegionErrors) {
  TempFasta file = hundred_file();
  FaidxOptions options;
  options.strict_bounds = true;
  auto faidx = open_hundred(file, options);
  for (auto [start, end] : {std::pair<std::size_t, std::size_t>{5, 3}, {0, 4}, {1, 101}, {101, 101}}) {
    auto result = faidx->fetch_single_optimized("chr1", start, end);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), ErrorKind::Region);
    EXPECT_EQ(result.error().display(), "Invalid region: Invalid region chr1:" + std::to_string(start) + "-" +
                                            std::to_string(end) + " (sequence length: 100)");
  }
  auto ok = faidx->fetch_single_optimized("chr1", 1, 100);
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok->seq, hundred_bases());
}

TEST(FetchSingleOptimized, MissingName) {
  TempFasta file = hundred_file();
  auto faidx = open_hundred(file);
  auto missing = faidx->fetch_single_optimized("chrZ", 1, 2);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().display(), "Fetch error: Sequence 'chrZ' not found");
  EXPECT_EQ(missing.error().python_message(), "FetchError: Sequence 'chrZ' not found");
}

TEST(FetchSingleOptimized, DescriptorPathMatchesMapping) {
  TempFasta file = hundred_file();
  EXPECT_TRUE(open_hundred(file)->source().is_mapped());
  FaidxOptions options;
  options.mutable_file = true;
  auto faidx = open_hundred(file, options);
  ASSERT_FALSE(faidx->source().is_mapped());
  auto region = faidx->fetch_single_optimized("chr1", 55, 70);
  ASSERT_TRUE(region.ok());
  EXPECT_EQ(region->seq, hundred_bases().substr(54, 16));
}

TEST(Extraction, HostileEntriesStayInsideTheMapping) {
  const std::string text = ">a\nACGT\nACGT\n";
  Mapping mapping{reinterpret_cast<const unsigned char*>(text.data()), text.size()};
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  const IndexEntry entries[] = {
      {999, 100, 4, 5},      // offset past the end
      {kMax, 100, 4, 5},     // offset at the top of the range
      {3, kMax, 4, 5},       // huge rlen
      {3, 100, 4, 2},        // lenb < lenc
      {3, 100, kMax, kMax},  // huge geometry
      {3, 100, 1, kMax},     // lines that cannot exist
  };
  char out[64];
  for (const IndexEntry& entry : entries) {
    for (std::size_t s : {std::size_t{1}, std::size_t{5}, std::size_t{1} << 62, std::size_t{kMax}}) {
      const std::size_t got = extract_sequence_from_mmap(mapping, entry, s, sizeof out, out);
      EXPECT_LE(got, text.size());
    }
  }
  EXPECT_EQ(base_offset({kMax, 10, 4, 5}, 5), std::nullopt);
  EXPECT_EQ(base_offset({3, 10, 4, 5}, 6), std::optional<std::uint64_t>(3 + 5 + 1));
}

TEST(Extraction, OnlyLineTerminatorsAreSkipped) {
  const std::string text = ">a\nAC GT\r\n>b\tN\n";
  Mapping mapping{reinterpret_cast<const unsigned char*>(text.data()), text.size()};
  char out[32];
  const std::size_t got = extract_sequence_from_mmap(mapping, {3, 5, 5, 7}, 1, 10, out);
  EXPECT_EQ(std::string(out, got), "AC GT>b\tN");
}

TEST(Io, WriteToFullDeviceFails) {
  UniqueFd fd(::open("/dev/full", O_WRONLY));
  if (!fd) GTEST_SKIP() << "no /dev/full";
  Status written = write_all(fd.get(), "data");
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().display(), "IO error: No space left on device (os error 28)");
}

}  // namespace
}  // namespace gelvo
