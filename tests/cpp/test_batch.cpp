// The parallel batch: outcomes in request order equal to single fetches,
// failures in place, and a consumer that stops early.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "faidx/batch.h"
#include "faidx/faidx.h"
#include "faidx/source.h"

namespace gelvo {
namespace {

class Genome {
 public:
  Genome() {
    char pattern[] = "/tmp/gelvo-batch-XXXXXX";
    dir_ = mkdtemp(pattern);
    path_ = dir_ + "/ref.fa";
    std::mt19937 rng(3);
    for (int i = 0; i < 20000; ++i) bases_ += "ACGTacgtN"[rng() % 9];
    std::ofstream out(path_, std::ios::binary);
    out << ">chr1 first\n";
    for (std::size_t i = 0; i < bases_.size(); i += 60) out << bases_.substr(i, 60) << "\n";
    out << ">chr2\n" << bases_.substr(0, 50) << "\n";
  }
  ~Genome() { std::filesystem::remove_all(dir_); }

  std::unique_ptr<Faidx> open(FaidxOptions options = {}) const {
    auto opened = Faidx::open(path_, std::move(options));
    EXPECT_TRUE(opened.ok());
    return std::move(opened).value();
  }
  const std::string& bases() const { return bases_; }

 private:
  std::string dir_;
  std::string path_;
  std::string bases_;
};

std::vector<BatchRegion> random_regions(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<BatchRegion> regions(n);
  for (auto& r : regions) {
    r.name = rng() % 50 == 0 ? "chr2" : "chr1";
    r.start = rng() % 20100;  // some past the end, some 0
    r.end = r.start + rng() % 300;
  }
  return regions;
}

TEST(FetchParallel, OutcomesInOrderEqualSingleFetches) {
  Genome genome;
  for (bool mutable_file : {false, true}) {
    FaidxOptions options;
    options.mutable_file = mutable_file;
    auto faidx = genome.open(options);
    auto regions = random_regions(30000, 1);
    regions[17].name = "nope";
    std::size_t next = 0;
    fetch_parallel(*faidx, regions, false, [&](std::size_t i, const BatchOutcome& out) {
      EXPECT_EQ(i, next++);
      auto single = faidx->fetch_single_optimized(regions[i].name, regions[i].start, regions[i].end);
      if (!single.ok()) {
        EXPECT_NE(out.error, nullptr) << i;
        if (out.error) {
          EXPECT_EQ(out.error->display(), single.error().display());
        }
        return true;
      }
      EXPECT_EQ(out.error, nullptr) << i;
      EXPECT_EQ(out.seq(), single->seq) << i;
      EXPECT_EQ(out.span().start, single->start) << i;
      EXPECT_EQ(out.span().end, single->end) << i;
      return true;
    });
    EXPECT_EQ(next, regions.size());
  }
}

TEST(FetchParallel, ReverseComplementSwapsCoordinates) {
  Genome genome;
  auto faidx = genome.open();
  std::vector<BatchRegion> regions(5000, BatchRegion{"chr1", 1, 4});
  regions[9] = BatchRegion{"chr1", 61, 62};  // across a line end
  std::vector<std::string> seqs;
  fetch_parallel(*faidx, regions, true, [&](std::size_t i, const BatchOutcome& out) {
    seqs.emplace_back(out.seq());
    EXPECT_EQ(out.span().start, regions[i].end);
    EXPECT_EQ(out.span().end, regions[i].start);
    return true;
  });
  const std::string& b = genome.bases();
  std::string first = b.substr(0, 4);
  std::string expected;
  for (auto c = first.rbegin(); c != first.rend(); ++c) {
    expected += std::string("TGCAtgcaN")[std::string("ACGTacgtN").find(*c)];
  }
  EXPECT_EQ(seqs[0], expected);
  std::string across = b.substr(60, 2);
  EXPECT_EQ(seqs[9].size(), 2u);
  EXPECT_EQ(seqs[9][1], std::string("TGCAtgcaN")[std::string("ACGTacgtN").find(across[0])]);
}

TEST(FetchParallel, ConsumerStoppingEarlyEndsTheBatch) {
  // Far more regions than workers may run ahead of the consumer: they must
  // not wait for a consumer that has left.
  Genome genome;
  auto faidx = genome.open();
  auto regions = random_regions(200000, 2);
  for (std::size_t stop_at : {std::size_t{0}, std::size_t{3000}, std::size_t{150000}}) {
    std::size_t seen = 0;
    fetch_parallel(*faidx, regions, false, [&](std::size_t i, const BatchOutcome&) {
      seen = i + 1;
      return i < stop_at;
    });
    EXPECT_EQ(seen, stop_at + 1);
  }
}

TEST(FetchParallel, AdoptedArenasOutliveTheBatch) {
  Genome genome;
  auto faidx = genome.open();
  auto regions = random_regions(20000, 5);
  std::vector<BlockArena*> adopted;
  std::vector<std::string_view> views;
  std::vector<std::string> expected;
  fetch_parallel(*faidx, regions, false, [&](std::size_t, const BatchOutcome& out) {
    if (out.arena == nullptr) return true;
    if (!out.arena->adopted) {
      out.arena->adopted = true;
      adopted.push_back(out.arena);
    }
    views.push_back(out.seq());
    expected.emplace_back(out.seq());
    return true;
  });
  ASSERT_FALSE(adopted.empty());
  // Later batches take arenas from the cache; adopted ones are not there.
  for (unsigned seed = 10; seed < 13; ++seed) {
    fetch_parallel(*faidx, random_regions(20000, seed), true, [](std::size_t, const BatchOutcome&) { return true; });
  }
  for (std::size_t i = 0; i < views.size(); ++i) ASSERT_EQ(views[i], expected[i]) << i;
  for (BlockArena* arena : adopted) release_arena(arena);
}

TEST(FetchParallel, ConsumerThrowingEndsTheBatch) {
  Genome genome;
  auto faidx = genome.open();
  auto regions = random_regions(100000, 4);
  EXPECT_THROW(fetch_parallel(*faidx, regions, false,
                              [&](std::size_t i, const BatchOutcome&) -> bool {
                                if (i == 10) throw std::runtime_error("stop");
                                return true;
                              }),
               std::runtime_error);
  // The pool is usable afterwards.
  std::size_t count = 0;
  fetch_parallel(*faidx, std::span(regions).first(2000), false, [&](std::size_t, const BatchOutcome&) {
    ++count;
    return true;
  });
  EXPECT_EQ(count, 2000u);
}

}  // namespace
}  // namespace gelvo
