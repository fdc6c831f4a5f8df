#include "faidx/batch.h"

#include <algorithm>
#include <utility>

#include "faidx/pool.h"
#include "sequence/sequence.h"

namespace gelvo {

namespace {

void reverse_complement_in_place(std::string& text) noexcept {
  std::size_t i = 0;
  std::size_t j = text.size();
  while (j > i + 1) {
    --j;
    const char left = static_cast<char>(COMPLEMENT_TABLE[static_cast<unsigned char>(text[i])]);
    text[i] = static_cast<char>(COMPLEMENT_TABLE[static_cast<unsigned char>(text[j])]);
    text[j] = left;
    ++i;
  }
  if (j == i + 1) text[i] = static_cast<char>(COMPLEMENT_TABLE[static_cast<unsigned char>(text[i])]);
}

void fetch_one(const Faidx& faidx, const Mapping* mapping, const BatchRegion& region, bool reverse_complement,
               BatchOutcome& slot) {
  auto value = faidx.fetch_single_optimized(region.name, region.start, region.end, mapping);
  if (!value) {
    slot.error.emplace(std::move(value).error());
    return;
  }
  Sequence& sequence = *value;
  slot.seq = std::move(sequence.seq);
  slot.start = sequence.start;
  slot.end = sequence.end;
  if (reverse_complement) {
    reverse_complement_in_place(slot.seq);
    if (slot.start && slot.end) std::swap(slot.start, slot.end);
  }
}

}  // namespace

std::vector<BatchOutcome> fetch_parallel(const Faidx& faidx, std::span<const BatchRegion> regions,
                                         bool reverse_complement) {
  std::vector<BatchOutcome> slots(regions.size());
  const Mapping* mapping = faidx.mapping();
  WorkerPool::instance().parallel_for(regions.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) fetch_one(faidx, mapping, regions[i], reverse_complement, slots[i]);
  });
  return slots;
}

}  // namespace gelvo
