#include "faidx/batch.h"

#include <algorithm>
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

void finish_coordinates(BatchOutcome& slot, bool reverse_complement) {
  if (reverse_complement && slot.start && slot.end) std::swap(slot.start, slot.end);
}

// First pass: lookup, coordinate rules and the bytes each region may need.
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

// Second pass: copy the bases into the region's share of the arena, then
// fill, upper-case and reverse-complement as asked.
void extract_one(const Faidx& faidx, const Mapping* mapping, char* arena, bool reverse_complement,
                 BatchOutcome& slot) {
  if (slot.error || slot.plan.is_empty()) return finish_coordinates(slot, reverse_complement);
  char* dst = arena + slot.offset;
  auto got = faidx.extract(slot.plan, mapping, dst, slot.capacity);
  if (!got) {
    slot.error = std::make_unique<FaidxError>(std::move(got).error());
    return;
  }
  std::size_t length = *got;
  if (length < slot.plan.count() && faidx.options().default_seq && !faidx.options().default_seq->empty()) {
    slot.filled = std::make_unique<std::string>(dst, length);
    faidx.finish_text(slot.plan, *slot.filled, true);
    dst = slot.filled->data();
    length = slot.filled->size();
  } else {
    faidx.apply_case(dst, length);
  }
  if (reverse_complement) reverse_complement_in_place(dst, length);
  slot.seq = std::string_view(dst, length);
  finish_coordinates(slot, reverse_complement);
}

}  // namespace

BatchResult fetch_parallel(const Faidx& faidx, std::span<const BatchRegion> regions, bool reverse_complement) {
  BatchResult result;
  result.outcomes.resize(regions.size());
  std::vector<BatchOutcome>& slots = result.outcomes;
  const Mapping* mapping = faidx.mapping();
  const std::uint64_t source_size = faidx.source_size(mapping);
  WorkerPool& pool = WorkerPool::instance();

  pool.parallel_for(regions.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) plan_one(faidx, source_size, regions[i], slots[i]);
  });
  std::size_t total = 0;
  for (BatchOutcome& slot : slots) {
    slot.offset = total;
    if (__builtin_add_overflow(total, slot.capacity, &total)) throw std::bad_alloc();
  }
  result.arena.reset(new char[std::max<std::size_t>(total, 1)]);
  char* arena = result.arena.get();
  pool.parallel_for(regions.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) extract_one(faidx, mapping, arena, reverse_complement, slots[i]);
  });
  return result;
}

}  // namespace gelvo
