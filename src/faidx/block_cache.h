// Inflated BGZF blocks of one open file, kept for the fetches that follow:
// neighbouring regions, and the lines of a record iterated one by one, fall
// in the same block, which is then inflated once.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "errors/error.h"
#include "faidx/bgzf.h"

namespace gelvo {

// The bytes one unit of the block index inflates to.
struct InflatedBlock {
  std::size_t size = 0;
  unsigned char data[bgzf::kMaxBlock];
};

using BlockRef = std::shared_ptr<const InflatedBlock>;

// A bounded map from unit number to its inflated block, least recently used
// out first. Safe to share between threads: lookups take one mutex for a
// few operations; inflating happens outside it. A unit being inflated by one
// thread is waited for, not inflated again, by another. A block handed out
// stays valid for its holder after it leaves the cache, so the memory in use
// is the bound plus one block per thread reading.
//
// Fork: a fork waits until no thread is inside any cache's lock. The child
// keeps the blocks but drops the units other threads were loading (those
// threads do not exist there), and makes each lock and condition variable
// anew.
class BlockCache {
 public:
  static constexpr std::size_t kBytes = std::size_t{16} << 20;
  static constexpr std::size_t kBlocks = kBytes / sizeof(InflatedBlock);

  BlockCache();
  ~BlockCache();
  BlockCache(const BlockCache&) = delete;
  BlockCache& operator=(const BlockCache&) = delete;

  // The block of `unit`: cached, or made by load(InflatedBlock&) -> Status
  // on this thread and cached when it succeeds. An error of load is returned
  // and nothing is kept; a thread waiting for the same unit then loads it
  // itself.
  template <class Load>
  Result<BlockRef> get(std::size_t unit, Load&& load) {
    if (BlockRef hit = find_or_claim(unit)) return hit;
    // Not zeroed: load fills what size says.
    std::shared_ptr<InflatedBlock> block;
    Status loaded = Ok{};
    try {
      block = std::make_shared_for_overwrite<InflatedBlock>();
      loaded = load(*block);
    } catch (...) {
      abandon(unit);  // or the threads waiting for it would wait forever
      throw;
    }
    if (!loaded) {
      abandon(unit);
      return std::move(loaded).error();
    }
    publish(unit, block);
    return BlockRef(std::move(block));
  }

  // Blocks held now (for tests).
  std::size_t size() const;

 private:
  struct Slot {
    BlockRef block;                        // null while being loaded
    std::list<std::size_t>::iterator age;  // position in lru_
  };

  // The cached block, after waiting for a load in progress; or null when
  // the caller has claimed the unit and must load it.
  BlockRef find_or_claim(std::size_t unit);
  void publish(std::size_t unit, BlockRef block);
  void abandon(std::size_t unit);
  void evict_locked();
  friend struct ForkHandlers;

  mutable std::mutex mutex_;
  std::condition_variable loaded_;
  std::unordered_map<std::size_t, Slot> slots_;
  std::list<std::size_t> lru_;  // most recent first; loaded units only
};

}  // namespace gelvo
