// The parallel path of batch fetches: many regions fetched on the worker
// pool with the silent rules, each outcome in the slot of its region.
#pragma once

#include <cstddef>
#include <functional>
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

// What one region gave: its bases and coordinates, or its error.
struct BatchOutcome {
  std::string_view seq;                 // into `arena` of a slot of its run, or `filled`
  std::optional<std::size_t> start;
  std::optional<std::size_t> end;
  bool plain = false;                   // every byte of seq lies in 1..127
  std::unique_ptr<FaidxError> error;    // set when the region failed
  std::unique_ptr<std::string> filled;  // text that outgrew its share (default_seq)
  std::unique_ptr<char[]> arena;        // the bytes of a whole run, owned by its first slot
  std::size_t arena_size = 0;
  FetchPlan plan;
  std::size_t offset = 0;               // share of the run's arena
  std::size_t capacity = 0;
};

// Batches below this size run region by region on the calling thread.
inline constexpr std::size_t kParallelThreshold = 1000;

// Receives the outcomes on the calling thread in request order, each as soon
// as it is ready; returning false stops the deliveries (the batch still
// finishes before fetch_parallel returns).
using OutcomeSink = std::function<bool(std::size_t index, const BatchOutcome& outcome)>;

// Fetches every region with the silent single-region rules
// (fetch_single_optimized) on the process's worker pool, every region even
// after another failed, into slots (resized to the number of regions). With
// reverse_complement, each successful outcome is turned into its reverse
// complement (start and end swapped when both are present) on the workers.
// Workers touch only the Faidx (read-only), the regions and their own slots;
// the calling thread runs sink meanwhile, so turning outcomes into results
// overlaps with fetching the later ones.
void fetch_parallel(const Faidx& faidx, std::span<const BatchRegion> regions, bool reverse_complement,
                    std::vector<BatchOutcome>& slots, const OutcomeSink& sink);

}  // namespace gelvo
