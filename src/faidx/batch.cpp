#include "faidx/batch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "faidx/pages.h"
#include "faidx/pool.h"
#include "sequence/sequence.h"

namespace gelvo {

namespace {

// What the outcomes of one block point to, kept until the batch is over.
struct BlockStore {
  std::unique_ptr<BlockArena> arena;  // the bases of the whole block
  std::vector<std::unique_ptr<FaidxError>> errors;
  std::vector<std::unique_ptr<std::string>> filled;  // texts that outgrew their share (default_seq)
};

// A worker's notes on one region of its block.
struct Planned {
  FetchPlan plan;
  std::size_t offset;  // share of the block's arena
  std::size_t capacity;
};

void fail(BatchOutcome& out, BlockStore& store, FaidxError error) {
  store.errors.push_back(std::make_unique<FaidxError>(std::move(error)));
  out.error = store.errors.back().get();
}

// Lookup, coordinate rules and the bytes the region may need.
void plan_one(const Faidx& faidx, std::uint64_t source_size, const BatchRegion& region, Planned& planned,
              BatchOutcome& out, BlockStore& store) {
  out = BatchOutcome{nullptr, 0, nullptr, 0, 0, nullptr, false, false, true};
  planned.plan = FetchPlan{};
  planned.capacity = 0;
  auto plan = faidx.plan(region.name, region.start, region.end, Rules::Silent);
  if (!plan) return fail(out, store, std::move(plan).error());
  planned.plan = *plan;
  const Span span = faidx.result_span(*plan);
  out.has_start = span.start.has_value();
  out.start_value = span.start.value_or(0);
  out.has_end = span.end.has_value();
  out.end_value = span.end.value_or(0);
  if (!plan->is_empty()) planned.capacity = Faidx::extract_bound(*plan, source_size);
}

// Copies the bases into the region's share of its block's arena, then fills,
// upper-cases and reverse-complements as asked.
void extract_one(const Faidx& faidx, bool reverse_complement, const Planned& planned, BatchOutcome& out,
                 BlockStore& store) {
  if (out.error) return;
  if (reverse_complement) {
    const Span span = swapped(out.span());
    out.start_value = span.start.value_or(0);
    out.end_value = span.end.value_or(0);
  }
  if (planned.plan.is_empty()) return;
  char* dst = store.arena->bytes.data() + planned.offset;
  out.arena = store.arena.get();
  auto got = faidx.extract_prepared(planned.plan, dst, planned.capacity, &out.plain);
  if (!got) return fail(out, store, std::move(got).error());
  std::size_t length = *got;
  const auto& filler = faidx.options().default_seq;
  if (length < planned.plan.count() && filler && !filler->empty()) {
    auto text = std::make_unique<std::string>(dst, length);
    faidx.finish_text(planned.plan, *text, true);
    dst = text->data();
    length = text->size();
    out.plain = false;  // let the reader look at the filler too
    out.arena = nullptr;
    store.filled.push_back(std::move(text));
  } else {
    faidx.apply_case(dst, length);
  }
  if (reverse_complement) reverse_complement_in_place(dst, length);
  out.data = dst;
  out.length = length;
}

// One parallel batch: the outcomes, their readiness, the stores they point
// into, and where the consumer is.
class ParallelBatch {
 public:
  ParallelBatch(const Faidx& faidx, std::span<const BatchRegion> regions, bool reverse_complement)
      : faidx_(faidx),
        regions_(regions),
        reverse_complement_(reverse_complement),
        source_size_(faidx.source().size()),
        // Written by the workers only: not cleared beforehand.
        outcome_pages_(PageCache::instance().take(regions.size() * sizeof(BatchOutcome))),
        outcomes_(reinterpret_cast<BatchOutcome*>(outcome_pages_.data())),
        ready_(new std::atomic<bool>[regions.size()]()) {
    faidx.source().prepare();
  }

  ~ParallelBatch() {
    PageCache::instance().give_back(std::move(outcome_pages_));
    for (auto& store : stores_) {
      if (!store->arena) continue;
      if (store->arena->adopted) {
        store->arena.release();  // the caller's now
      } else {
        PageCache::instance().give_back(std::move(store->arena->bytes));
      }
    }
  }

  // For sources that prefer offset order (compressed files): plans every
  // region on the pool, then orders them by the file offset of their first
  // base, so that workers read neighbouring regions together and each block
  // is inflated once. work() then claims runs of that order.
  void order_by_offset(WorkerPool& pool) {
    const std::size_t n = regions_.size();
    every_plan_.resize(n);
    const std::size_t blocks = (n + kBlock - 1) / kBlock;
    pool.parallel_for(blocks, [&](std::size_t begin, std::size_t end) {
      for (std::size_t b = begin; b < end; ++b) {
        BlockStore& store = new_store();
        for (std::size_t i = b * kBlock; i < std::min(n, (b + 1) * kBlock); ++i) {
          plan_one(faidx_, source_size_, regions_[i], every_plan_[i], outcomes_[i], store);
        }
      }
    });
    sort_by_offset();
  }

  // A worker's run: it takes the next unclaimed block, in request order,
  // until none is left. Blocks are claimed one at a time, not in long runs
  // per worker, because the consumer takes outcomes in request order: a
  // worker given the second half of the batch would only wait for the
  // consumer to get there. A block that throws (out of memory) sets
  // `failed_`, which stops the consumer; the exception is rethrown once the
  // batch is over.
  void work() {
    if (!order_.empty()) return work_in_offset_order();
    const std::size_t n = regions_.size();
    for (;;) {
      const std::size_t at = next_block_.fetch_add(1, std::memory_order_relaxed) * kBlock;
      if (at >= n || failed_.load(std::memory_order_relaxed) || stopped_.load(std::memory_order_relaxed)) return;
      try {
        wait_for_consumer(at);
        run_block(at, std::min(n, at + kBlock));
      } catch (...) {
        {
          std::lock_guard lock(mutex_);
          if (!failure_) failure_ = std::current_exception();
        }
        failed_.store(true, std::memory_order_release);
        return;
      }
    }
  }

  // On the calling thread: hands the outcomes to sink in request order,
  // asking `interrupted` now and then (while it waits, and every few hundred
  // regions) whether to give up. However this ends (sink or interrupted may
  // refuse or throw), the workers claim no further block and none goes on
  // waiting for the consumer.
  void consume(const OutcomeSink& sink, const Interrupted& interrupted) {
    struct Finished {
      ParallelBatch& batch;
      ~Finished() {
        batch.stopped_.store(true, std::memory_order_relaxed);
        batch.consumed_.store(kDone, std::memory_order_relaxed);
      }
    } finished{*this};
    consuming_.store(true, std::memory_order_relaxed);
    const std::size_t n = regions_.size();
    for (std::size_t i = 0; i < n; ++i) {
      if (i % kPublishEvery == 0) {
        consumed_.store(i, std::memory_order_relaxed);
        if (interrupted && interrupted()) return;
      }
      if (!ready_[i].load(std::memory_order_acquire)) {
        consumed_.store(i, std::memory_order_relaxed);
        // Nap rather than spin: on a machine with as many workers as
        // processors, a spinning consumer takes a processor from them,
        // and waking the consumer per region would cost the workers a
        // system call.
        do {
          std::this_thread::sleep_for(std::chrono::microseconds(50));
          if (interrupted && interrupted()) return;
        } while (!ready_[i].load(std::memory_order_acquire) && !failed_.load(std::memory_order_acquire));
      }
      if (failed_.load(std::memory_order_acquire)) return;
      if (!sink(i, outcomes_[i])) return;
    }
  }

  void rethrow() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  static constexpr std::size_t kBlock = 2048;             // regions planned, then extracted, at once
  static constexpr std::size_t kAheadOfConsumer = 16384;  // regions a worker may run ahead
  static constexpr std::size_t kPublishEvery = 256;
  static constexpr std::size_t kDone = static_cast<std::size_t>(-1);
  static constexpr std::size_t kPrefetchGroup = 32;

  // Where the calling thread is the bottleneck (building the results), a
  // worker far ahead of it only takes a processor from it: it naps until
  // the consumer comes near. Until the consumer has started (it never
  // starts before the body when the pool runs the body inline), nobody
  // waits. The consumer publishes its position before it naps itself, so
  // the block it waits for never waits for it.
  void wait_for_consumer(std::size_t begin) const {
    if (!consuming_.load(std::memory_order_relaxed)) return;
    for (;;) {
      const std::size_t at = consumed_.load(std::memory_order_relaxed);
      if (at == kDone || begin < at + kAheadOfConsumer) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  BlockStore& new_store() {
    std::lock_guard lock(mutex_);
    stores_.push_back(std::make_unique<BlockStore>());
    return *stores_.back();
  }

  // Plans a block, sizes one arena for it, then extracts, publishing each
  // outcome as it is finished.
  void run_block(std::size_t begin, std::size_t end) {
    BlockStore& store = new_store();
    thread_local std::vector<Planned> planned(kBlock);
    const std::size_t count = end - begin;
    std::size_t total = 0;
    for (std::size_t k = 0; k < count; ++k) {
      Planned& p = planned[k];
      plan_one(faidx_, source_size_, regions_[begin + k], p, outcomes_[begin + k], store);
      p.offset = total;
      if (__builtin_add_overflow(total, p.capacity, &total)) throw std::bad_alloc();
    }
    store.arena = std::make_unique<BlockArena>();
    store.arena->bytes = PageCache::instance().take(total);
    // The first bytes of each region of the next group are asked for while
    // this group is extracted: a random region of a big file waits for its
    // page walk and its lines, and asked for together those waits overlap.
    const ByteSource& source = faidx_.source();
    auto prefetch_group = [&](std::size_t from) {
      for (std::size_t k = from; k < std::min(count, from + kPrefetchGroup); ++k) {
        const Planned& p = planned[k];
        if (!p.plan.is_empty()) source.prefetch(*p.plan.entry, p.plan.region.s, p.capacity);
      }
    };
    prefetch_group(0);
    for (std::size_t group = 0; group < count; group += kPrefetchGroup) {
      prefetch_group(group + kPrefetchGroup);
      for (std::size_t k = group; k < std::min(count, group + kPrefetchGroup); ++k) {
        extract_one(faidx_, reverse_complement_, planned[k], outcomes_[begin + k], store);
        ready_[begin + k].store(true, std::memory_order_release);
      }
    }
  }

  // A counting sort of the regions by the 64 KiB stretch of the file their
  // first base lies in: linear in the regions, and as good as an exact sort
  // for sharing blocks. Regions without bases (empty, failed) come first.
  void sort_by_offset() {
    const std::size_t n = regions_.size();
    constexpr unsigned kShift = 16;
    const std::size_t buckets = static_cast<std::size_t>(source_size_ >> kShift) + 2;
    std::vector<std::size_t> starts(buckets + 1, 0);
    auto bucket_of = [&](const Planned& p) -> std::size_t {
      if (p.plan.is_empty()) return 0;
      const auto b = base_offset(*p.plan.entry, p.plan.region.s);
      return b ? static_cast<std::size_t>(std::min<std::uint64_t>(*b >> kShift, buckets - 2)) + 1 : 0;
    };
    std::vector<std::uint32_t> bucket(n);
    for (std::size_t i = 0; i < n; ++i) {
      bucket[i] = static_cast<std::uint32_t>(bucket_of(every_plan_[i]));
      ++starts[bucket[i] + 1];
    }
    for (std::size_t k = 1; k <= buckets; ++k) starts[k] += starts[k - 1];
    order_.resize(n);
    for (std::size_t i = 0; i < n; ++i) order_[starts[bucket[i]]++] = i;
  }

  // The worker's run in offset order: runs of kBlock regions of order_, one
  // arena each. No worker waits for the consumer: it takes outcomes in
  // request order, which only the end of the whole batch completes.
  void work_in_offset_order() {
    const std::size_t n = regions_.size();
    for (;;) {
      const std::size_t at = next_block_.fetch_add(1, std::memory_order_relaxed) * kBlock;
      if (at >= n || failed_.load(std::memory_order_relaxed) || stopped_.load(std::memory_order_relaxed)) return;
      try {
        run_ordered_block(at, std::min(n, at + kBlock));
      } catch (...) {
        {
          std::lock_guard lock(mutex_);
          if (!failure_) failure_ = std::current_exception();
        }
        failed_.store(true, std::memory_order_release);
        return;
      }
    }
  }

  void run_ordered_block(std::size_t begin, std::size_t end) {
    BlockStore& store = new_store();
    std::size_t total = 0;
    for (std::size_t k = begin; k < end; ++k) {
      Planned& p = every_plan_[order_[k]];
      p.offset = total;
      if (__builtin_add_overflow(total, p.capacity, &total)) throw std::bad_alloc();
    }
    store.arena = std::make_unique<BlockArena>();
    store.arena->bytes = PageCache::instance().take(total);
    for (std::size_t k = begin; k < end; ++k) {
      const std::size_t i = order_[k];
      extract_one(faidx_, reverse_complement_, every_plan_[i], outcomes_[i], store);
      // The consumer meets these outcomes out of arena order, so it may not
      // adopt the arena: it copies the bases, which stay valid until the
      // batch is over.
      outcomes_[i].arena = nullptr;
      ready_[i].store(true, std::memory_order_release);
    }
  }

  const Faidx& faidx_;
  std::span<const BatchRegion> regions_;
  const bool reverse_complement_;
  const std::uint64_t source_size_;
  Pages outcome_pages_;
  BatchOutcome* outcomes_;  // in outcome_pages_
  std::unique_ptr<std::atomic<bool>[]> ready_;
  std::atomic<bool> consuming_{false};
  std::atomic<std::size_t> consumed_{0};
  std::atomic<bool> failed_{false};
  std::atomic<bool> stopped_{false};  // the consumer is done: claim nothing more
  std::atomic<std::size_t> next_block_{0};
  std::mutex mutex_;  // guards stores_ and failure_
  std::vector<std::unique_ptr<BlockStore>> stores_;
  std::exception_ptr failure_;
  // Offset order only: every region's plan, and the order to read them in.
  std::vector<Planned> every_plan_;
  std::vector<std::size_t> order_;
};

}  // namespace

FaidxError batch_region_error(std::size_t index, std::optional<std::string_view> shared_name, const FaidxError& cause) {
  std::string message = "Error fetching region " + std::to_string(index);
  if (shared_name) message.append(" from ").append(*shared_name);
  message.append(": ").append(cause.display());
  return FaidxError(ErrorKind::Batch, std::move(message));
}

void release_arena(BlockArena* arena) noexcept {
  std::unique_ptr<BlockArena> owned(arena);
  PageCache::instance().give_back(std::move(owned->bytes));
}

void fetch_parallel(const Faidx& faidx, std::span<const BatchRegion> regions, bool reverse_complement,
                    const OutcomeSink& sink, const Interrupted& interrupted) {
  ParallelBatch batch(faidx, regions, reverse_complement);
  // One task per worker; each claims blocks from the batch itself.
  WorkerPool& pool = WorkerPool::instance();
  if (faidx.source().prefers_offset_order()) batch.order_by_offset(pool);
  pool.parallel_for(
      std::max<std::size_t>(pool.thread_count(), 1),
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t task = begin; task < end; ++task) batch.work();
      },
      [&] { batch.consume(sink, interrupted); });
  batch.rethrow();
}

}  // namespace gelvo
