#include "faidx/block_cache.h"

#include <pthread.h>

#include <new>
#include <set>

namespace gelvo {

// Every live cache, for the fork handlers.
struct ForkHandlers {
  static std::mutex& registry_mutex() {
    static auto* m = new std::mutex();
    return *m;
  }
  static std::set<BlockCache*>& registry() {
    static auto* r = new std::set<BlockCache*>();
    return *r;
  }

  static void install() {
    static const bool installed = [] {
      pthread_atfork(prepare, parent, child);
      return true;
    }();
    (void)installed;
  }

  static void prepare() {
    registry_mutex().lock();
    for (BlockCache* cache : registry()) cache->mutex_.lock();
  }
  static void parent() {
    for (BlockCache* cache : registry()) cache->mutex_.unlock();
    registry_mutex().unlock();
  }
  static void child() {
    for (BlockCache* cache : registry()) {
      for (auto it = cache->slots_.begin(); it != cache->slots_.end();) {
        it = it->second.block ? std::next(it) : cache->slots_.erase(it);
      }
      new (&cache->loaded_) std::condition_variable();
      new (&cache->mutex_) std::mutex();
    }
    new (&registry_mutex()) std::mutex();
  }
};

BlockCache::BlockCache() {
  ForkHandlers::install();
  std::lock_guard lock(ForkHandlers::registry_mutex());
  ForkHandlers::registry().insert(this);
}

BlockCache::~BlockCache() {
  std::lock_guard lock(ForkHandlers::registry_mutex());
  ForkHandlers::registry().erase(this);
}

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
