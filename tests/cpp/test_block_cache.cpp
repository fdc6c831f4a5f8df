// The block cache of compressed files, which Python cannot watch: its bound,
// one load per unit however many threads ask at once, and what a failed or
// throwing load leaves behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <thread>
#include <vector>

#include "faidx/block_cache.h"

namespace gelvo {
namespace {

Status fill(InflatedBlock& block, std::size_t unit) {
  block.size = 1;
  block.data[0] = static_cast<unsigned char>(unit);
  return Ok{};
}

TEST(BlockCache, HoldsAtMostItsBoundAndKeepsTheRecentBlocks) {
  BlockCache cache;
  std::size_t loads = 0;
  auto load_unit = [&](std::size_t unit) {
    return cache.get(unit, [&](InflatedBlock& b) {
      ++loads;
      return fill(b, unit);
    });
  };
  for (std::size_t unit = 0; unit < 3 * BlockCache::kBlocks; ++unit) ASSERT_TRUE(load_unit(unit).ok());
  EXPECT_EQ(cache.size(), BlockCache::kBlocks);
  EXPECT_EQ(loads, 3 * BlockCache::kBlocks);
  // The most recent units are served from the cache, the oldest loaded again.
  const std::size_t last = 3 * BlockCache::kBlocks - 1;
  auto recent = load_unit(last);
  ASSERT_TRUE(recent.ok());
  EXPECT_EQ((*recent)->data[0], static_cast<unsigned char>(last));
  EXPECT_EQ(loads, 3 * BlockCache::kBlocks);
  ASSERT_TRUE(load_unit(0).ok());
  EXPECT_EQ(loads, 3 * BlockCache::kBlocks + 1);
  EXPECT_EQ(cache.size(), BlockCache::kBlocks);
}

TEST(BlockCache, ThreadsAskingForOneUnitLoadItOnce) {
  BlockCache cache;
  std::atomic<int> loads{0};
  std::atomic<int> seen{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      auto got = cache.get(42, [&](InflatedBlock& b) {
        ++loads;
        // Long enough for the other threads to ask meanwhile.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return fill(b, 42);
      });
      if (got.ok() && (*got)->data[0] == 42) ++seen;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(loads.load(), 1);
  EXPECT_EQ(seen.load(), 8);
}

TEST(BlockCache, AFailedLoadKeepsNothingAndTheNextAskerLoadsAgain) {
  BlockCache cache;
  auto failed = cache.get(7, [](InflatedBlock&) -> Status { return FaidxError::io("bad block"); });
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().payload(), "bad block");
  EXPECT_EQ(cache.size(), 0u);
  auto good = cache.get(7, [](InflatedBlock& b) { return fill(b, 7); });
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(cache.size(), 1u);
}

TEST(BlockCache, AThrowingLoadReleasesTheThreadsWaitingForIt) {
  BlockCache cache;
  std::atomic<bool> started{false};
  std::thread thrower([&] {
    EXPECT_THROW(cache.get(3,
                           [&](InflatedBlock&) -> Status {
                             started = true;
                             std::this_thread::sleep_for(std::chrono::milliseconds(50));
                             throw std::bad_alloc();
                           }),
                 std::bad_alloc);
  });
  while (!started) std::this_thread::yield();
  // Waits for the thrower, then loads the unit itself.
  auto got = cache.get(3, [](InflatedBlock& b) { return fill(b, 3); });
  thrower.join();
  ASSERT_TRUE(got.ok());
  EXPECT_EQ((*got)->data[0], 3);
}

}  // namespace
}  // namespace gelvo
