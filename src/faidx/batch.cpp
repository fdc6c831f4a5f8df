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
  std::unique_ptr<char[]> arena(new char[std::max<std::size_t>(total, 1)]);
  char* base = arena.get();
  slots[begin].arena = std::move(arena);
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
  if (failure) std::rethrow_exception(failure);
}

}  // namespace gelvo
