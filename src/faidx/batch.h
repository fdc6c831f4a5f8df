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
#include "faidx/pages.h"

namespace gelvo {

// One region of a batch. The name is viewed, not owned: the caller keeps
// its bytes alive (and unchanged) until the batch returns.
struct BatchRegion {
  std::string_view name;
  std::size_t start = 0;
  std::size_t end = 0;
};

// The bases of one block of a parallel batch. The calling thread may adopt
// an arena (set `adopted` from inside the sink) to keep bases beyond the
// batch: it then owns the arena and ends it with release_arena().
struct BlockArena {
  Pages bytes;
  bool adopted = false;
};

// Ends an adopted arena (its pages may be kept for a later batch, for a
// short while: see PageCache).
void release_arena(BlockArena* arena) noexcept;

// What one region gave: its bases and coordinates, or its error. Plain
// data, written once by a worker; the bytes and the error it points to are
// owned by the batch and stay valid until fetch_parallel returns.
struct BatchOutcome {
  const char* data;  // the bases: into `arena`, or filled text
  std::size_t length;
  BlockArena* arena;        // the arena the sink may adopt with the bases, or null
  std::size_t start_value;  // meaningful when has_start
  std::size_t end_value;    // meaningful when has_end
  const FaidxError* error;  // set when the region failed
  bool has_start;
  bool has_end;
  bool plain;  // every byte of the bases lies in 1..127

  std::string_view seq() const noexcept { return {data, length}; }
  Span span() const noexcept {
    return {has_start ? std::optional<std::size_t>(start_value) : std::nullopt,
            has_end ? std::optional<std::size_t>(end_value) : std::nullopt};
  }
};

// The error of a batch whose region `index` (0-based, in request order)
// failed on the parallel path: "Error fetching region <index>[ from
// <shared_name>]: <display text of cause>", raised as RuntimeError.
FaidxError batch_region_error(std::size_t index, std::optional<std::string_view> shared_name, const FaidxError& cause);

// Batches below this size run region by region on the calling thread.
inline constexpr std::size_t kParallelThreshold = 1000;

// Receives the outcomes on the calling thread in request order, each as soon
// as it is ready; returning false stops the batch. The outcome and what it
// points to stay valid until fetch_parallel returns.
using OutcomeSink = std::function<bool(std::size_t index, const BatchOutcome& outcome)>;

// Asked on the calling thread, now and then, whether the batch should stop
// (Ctrl-C, for instance); true stops it as a refusing sink does.
using Interrupted = std::function<bool()>;

// Fetches the regions with the silent single-region rules
// (Rules::Silent, as fetch_single_optimized) on the process's worker pool,
// every region even after another failed, and hands each outcome to sink in
// order. Once sink refuses an outcome or `interrupted` (when given) says
// so, the workers finish the blocks they hold, claim no more, and
// fetch_parallel returns. With
// reverse_complement, each successful outcome is turned into its reverse
// complement (start and end swapped when both are present) on the workers.
// Workers touch only the Faidx (read-only), the regions and their own
// outcomes; the calling thread runs sink meanwhile, so turning outcomes into
// results overlaps with fetching the later ones. On a source that prefers
// offset order, the workers plan every region first and read them in the
// order of their file offsets instead (outcomes still reach sink in request
// order, with no arena to adopt).
void fetch_parallel(const Faidx& faidx, std::span<const BatchRegion> regions, bool reverse_complement,
                    const OutcomeSink& sink, const Interrupted& interrupted = {});

}  // namespace gelvo
