#include "faidx/block_cache.h"

namespace gelvo {

BlockRef BlockCache::find_or_claim(std::size_t unit) {
  std::unique_lock lock(mutex_);
  for (;;) {
    auto found = slots_.find(unit);
    if (found == slots_.end()) {
      slots_.emplace(unit, Slot{nullptr, lru_.end()});
      return nullptr;
    }
    if (found->second.block) {
      lru_.splice(lru_.begin(), lru_, found->second.age);
      return found->second.block;
    }
    loaded_.wait(lock);
  }
}

void BlockCache::publish(std::size_t unit, BlockRef block) {
  {
    std::lock_guard lock(mutex_);
    lru_.push_front(unit);
    Slot& slot = slots_[unit];
    slot.block = std::move(block);
    slot.age = lru_.begin();
    evict_locked();
  }
  loaded_.notify_all();
}

void BlockCache::abandon(std::size_t unit) {
  {
    std::lock_guard lock(mutex_);
    slots_.erase(unit);
  }
  loaded_.notify_all();
}

void BlockCache::evict_locked() {
  while (lru_.size() > kBlocks) {
    slots_.erase(lru_.back());
    lru_.pop_back();
  }
}

std::size_t BlockCache::size() const {
  std::lock_guard lock(mutex_);
  return lru_.size();
}

}  // namespace gelvo
