// The parallel path of batch fetches: many regions fetched on the worker
// pool with the silent rules, each outcome in the slot of its region.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "errors/error.h"
#include "faidx/faidx.h"

namespace gelvo {

// One region of a batch. The name is viewed, not owned: the caller keeps
// its bytes alive (and unchanged) until the batch returns.
struct BatchRegion {
  std::string_view name;
  std::size_t start = 0;
  std::size_t end = 0;
};

// What one region gave: its bases (a view into the batch's storage) and
// coordinates, or its error.
struct BatchOutcome {
  std::string_view seq;
  std::optional<std::size_t> start;
  std::optional<std::size_t> end;
  std::unique_ptr<FaidxError> error;     // set when the region failed
  std::unique_ptr<std::string> filled;   // text that outgrew its share (default_seq)
  std::size_t offset = 0;                // share of the arena
  std::size_t capacity = 0;
  FetchPlan plan;
};

// The outcomes of a batch, in request order, and the storage their texts
// view. Every region's bytes live in one arena sized once for the batch.
struct BatchResult {
  std::vector<BatchOutcome> outcomes;
  std::unique_ptr<char[]> arena;
};

// Batches below this size run region by region on the calling thread.
inline constexpr std::size_t kParallelThreshold = 1000;

// Fetches every region with the silent single-region rules
// (fetch_single_optimized) on the process's worker pool, every region even
// after another failed. With reverse_complement, each successful outcome is
// turned into its reverse complement (start and end swapped when both are
// present) on the workers. The calling thread waits; workers touch only the
// Faidx (read-only), the regions and their own slots.
BatchResult fetch_parallel(const Faidx& faidx, std::span<const BatchRegion> regions, bool reverse_complement);

}  // namespace gelvo
