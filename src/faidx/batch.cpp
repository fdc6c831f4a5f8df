#include "faidx/batch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <exception>
#include <mutex>
#include <new>
#include <utility>

#include "faidx/pool.h"
#include "sequence/sequence.h"

namespace gelvo {

namespace {

void reverse_complement_in_place(char* text, std::size_t n) noexcept {
  std::size_t i = 0;
  std::size_t j = n;
  while (j > i + 1) {
    --j;
    const char left = static_cast<char>(COMPLEMENT_TABLE[static_cast<unsigned char>(text[i])]);
    text[i] = static_cast<char>(COMPLEMENT_TABLE[static_cast<unsigned char>(text[j])]);
    text[j] = left;
    ++i;
  }
  if (j == i + 1) text[i] = static_cast<char>(COMPLEMENT_TABLE[static_cast<unsigned char>(text[i])]);
}

// Lookup, coordinate rules and the bytes the region may need.
void plan_one(const Faidx& faidx, std::uint64_t source_size, const BatchRegion& region, BatchOutcome& slot) {
  auto plan = faidx.plan_fetch_silent(region.name, region.start, region.end);
  if (!plan) {
    slot.error = std::make_unique<FaidxError>(std::move(plan).error());
    return;
  }
  slot.plan = *plan;
  slot.start = faidx.result_start(slot.plan);
  slot.end = faidx.result_end(slot.plan);
  if (!slot.plan.is_empty()) slot.capacity = Faidx::extract_bound(slot.plan, source_size);
}

// Copies the bases into the region's share of its run's arena, then fills,
// upper-cases and reverse-complements as asked.
void extract_one(const Faidx& faidx, const Mapping* mapping, char* arena, bool reverse_complement,
                 BatchOutcome& slot) {
  if (slot.error) return;
  if (reverse_complement && slot.start && slot.end) std::swap(slot.start, slot.end);
  if (slot.plan.is_empty()) {
    slot.plain = true;
    return;
  }
  char* dst = arena + slot.offset;
  auto got = faidx.extract(slot.plan, mapping, dst, slot.capacity, &slot.plain);
  if (!got) {
    slot.error = std::make_unique<FaidxError>(std::move(got).error());
    return;
  }
  std::size_t length = *got;
  const auto& filler = faidx.options().default_seq;
  if (length < slot.plan.count() && filler && !filler->empty()) {
    slot.filled = std::make_unique<std::string>(dst, length);
    faidx.finish_text(slot.plan, *slot.filled, true);
    dst = slot.filled->data();
    length = slot.filled->size();
    slot.plain = false;  // let the reader look at the filler too
  } else {
    faidx.apply_case(dst, length);
  }
  if (reverse_complement) reverse_complement_in_place(dst, length);
  slot.seq = std::string_view(dst, length);
}

// Arenas of finished batches, kept for the next ones: a fresh allocation of
// the size of a batch's bases costs a page fault per page written, more
// than the copy itself. At most kKeptBytes stay; the largest are kept.
class ArenaCache {
 public:
  std::unique_ptr<char[]> take(std::size_t size, std::size_t* capacity) {
    {
      std::lock_guard lock(mutex_);
      auto fits = std::find_if(kept_.begin(), kept_.end(), [&](const Kept& k) { return k.size >= size; });
      if (fits != kept_.end()) {
        std::unique_ptr<char[]> arena = std::move(fits->arena);
        *capacity = fits->size;
        kept_bytes_ -= fits->size;
        kept_.erase(fits);
        return arena;
      }
    }
    *capacity = size;
    return std::unique_ptr<char[]>(new char[size]);
  }

  void give_back(std::unique_ptr<char[]> arena, std::size_t size) {
    std::lock_guard lock(mutex_);
    if (size > kKeptBytes) return;
    kept_.push_back(Kept{std::move(arena), size});
    kept_bytes_ += size;
    std::sort(kept_.begin(), kept_.end(), [](const Kept& a, const Kept& b) { return a.size < b.size; });
    while (kept_bytes_ > kKeptBytes) {
      kept_bytes_ -= kept_.front().size;
      kept_.erase(kept_.begin());
    }
  }

 private:
  static constexpr std::size_t kKeptBytes = std::size_t{256} << 20;
  struct Kept {
    std::unique_ptr<char[]> arena;
    std::size_t size;
  };
  std::mutex mutex_;
  std::vector<Kept> kept_;
  std::size_t kept_bytes_ = 0;
};

ArenaCache& arena_cache() {
  static ArenaCache* cache = new ArenaCache();  // never destroyed: workers may outlive statics
  return *cache;
}

// One contiguous run of regions: plan them all, size one arena for the run,
// then extract, publishing each slot as it is finished.
void fetch_run(const Faidx& faidx, const Mapping* mapping, std::uint64_t source_size,
               std::span<const BatchRegion> regions, bool reverse_complement, std::vector<BatchOutcome>& slots,
               std::atomic<bool>* ready, std::size_t begin, std::size_t end) {
  std::size_t total = 0;
  for (std::size_t i = begin; i < end; ++i) {
    plan_one(faidx, source_size, regions[i], slots[i]);
    slots[i].offset = total;
    if (__builtin_add_overflow(total, slots[i].capacity, &total)) throw std::bad_alloc();
  }
  std::size_t capacity = 0;
  std::unique_ptr<char[]> arena = arena_cache().take(std::max<std::size_t>(total, 1), &capacity);
  char* base = arena.get();
  slots[begin].arena = std::move(arena);
  slots[begin].arena_size = capacity;
  for (std::size_t i = begin; i < end; ++i) {
    extract_one(faidx, mapping, base, reverse_complement, slots[i]);
    ready[i].store(true, std::memory_order_release);
  }
}

}  // namespace

void fetch_parallel(const Faidx& faidx, std::span<const BatchRegion> regions, bool reverse_complement,
                    std::vector<BatchOutcome>& slots, const OutcomeSink& sink) {
  const std::size_t n = regions.size();
  slots.clear();
  slots.resize(n);
  std::unique_ptr<std::atomic<bool>[]> ready(new std::atomic<bool>[n]());
  const Mapping* mapping = faidx.mapping();
  const std::uint64_t source_size = faidx.source_size(mapping);
  // A run that throws (out of memory) still marks its slots ready, after
  // setting `failed`, so the consumer never waits for it; the exception is
  // rethrown once the batch is over.
  std::atomic<bool> failed{false};
  std::exception_ptr failure;
  std::mutex failure_mutex;

  auto body = [&](std::size_t begin, std::size_t end) {
    try {
      fetch_run(faidx, mapping, source_size, regions, reverse_complement, slots, ready.get(), begin, end);
    } catch (...) {
      {
        std::lock_guard lock(failure_mutex);
        if (!failure) failure = std::current_exception();
      }
      failed.store(true, std::memory_order_release);
      for (std::size_t i = begin; i < end; ++i) ready[i].store(true, std::memory_order_release);
    }
  };
  auto consume = [&] {
    for (std::size_t i = 0; i < n; ++i) {
      // Nap rather than spin: on a machine with as many workers as
      // processors, a spinning consumer takes a processor from them, and
      // waking the consumer per region would cost the workers a system call.
      while (!ready[i].load(std::memory_order_acquire)) std::this_thread::sleep_for(std::chrono::microseconds(50));
      if (failed.load(std::memory_order_acquire) || !sink(i, slots[i])) return;
    }
  };
  WorkerPool::instance().parallel_for(n, body, consume);
  for (BatchOutcome& slot : slots) {
    if (slot.arena) arena_cache().give_back(std::move(slot.arena), slot.arena_size);
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace gelvo
