#include "faidx/windows.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <type_traits>

#include "faidx/pool.h"
#include "sequence/sequence.h"

namespace gelvo {

namespace {

constexpr std::size_t kParallelBytes = std::size_t{1} << 20;
// Encoded outputs of reused memory from this size on are written around
// the cache: they would not stay in it anyway, and ordinary stores read
// every line in before overwriting it.
constexpr std::size_t kStreamingBytes = std::size_t{64} << 20;
// Output bytes per block a worker claims: enough to make a claim cheap, few
// enough that the blocks spread evenly over the workers.
constexpr std::size_t kBlockBytes = std::size_t{256} << 10;
// Windows whose first bytes are asked for together (see run()).
constexpr std::size_t kPrefetchGroup = 32;
// How long a round of a large request lasts, normally: how often the
// caller is asked whether to go on.
constexpr std::chrono::steady_clock::duration kRoundTime = std::chrono::milliseconds(5);

// The part of a window that lies inside its sequence.
struct Coverage {
  std::size_t before = 0;  // positions before base 1
  std::size_t first = 0;   // first base covered (1-based)
  std::size_t count = 0;   // bases covered; 0 when none
};

Coverage coverage(std::size_t rlen, std::int64_t start, std::size_t length) noexcept {
  Coverage c;
  if (start >= 1) {
    c.first = static_cast<std::size_t>(start);
  } else {
    // 1 - start in unsigned arithmetic: exact even for the lowest int64.
    c.before = std::size_t{1} - static_cast<std::size_t>(start);
    if (c.before >= length) return {};
    c.first = 1;
  }
  if (c.first > rlen) return {};
  c.count = std::min(length - c.before, rlen - c.first + 1);
  return c;
}

class WindowWriter {
 public:
  WindowWriter(const Faidx& faidx, const WindowRequest& request, unsigned char* out)
      : faidx_(faidx),
        request_(request),
        out_(out),
        row_bytes_(request.row_bytes()),
        streaming_(request.reused_output && request.count() >= kStreamingBytes / std::max<std::size_t>(row_bytes_, 1)),
        filler_(filler_of(faidx)) {}

  // Writes windows [begin, end), asking for the first bytes of each group
  // of windows while the group before is copied: a random window of a big
  // file waits for its page walk and its lines, and asked for together
  // those waits overlap.
  Status run(std::size_t begin, std::size_t end) const {
    prefetch(begin, end);
    for (std::size_t group = begin; group < end; group += kPrefetchGroup) {
      const std::size_t group_end = std::min(end, group + kPrefetchGroup);
      prefetch(group_end, end);
      for (std::size_t i = group; i < group_end; ++i) {
        if (Status written = write(i); !written) return written;
      }
    }
    return Ok{};
  }

 private:
  // A short file reads as the filler a fetch would add, when that is one
  // byte per base.
  static std::optional<char> filler_of(const Faidx& faidx) noexcept {
    const auto& filler = faidx.options().default_seq;
    if (filler && filler->size() == 1) return (*filler)[0];
    return std::nullopt;
  }

  const IndexEntry& entry_of(std::size_t i) const noexcept {
    return *request_.entries[request_.entries.size() == 1 ? 0 : i];
  }

  bool reversed(std::size_t i) const noexcept {
    return request_.reverse_all || (!request_.reverse.empty() && request_.reverse[i] != 0);
  }

  void prefetch(std::size_t from, std::size_t end) const noexcept {
    for (std::size_t i = from; i < std::min(end, from + kPrefetchGroup); ++i) {
      const IndexEntry& entry = entry_of(i);
      const Coverage c = coverage(entry.rlen, request_.starts[i], request_.length);
      if (c.count != 0) faidx_.source().prefetch(entry, c.first, c.count);
    }
  }

  Status write(std::size_t i) const {
    unsigned char* row = out_ + i * row_bytes_;
    if (!request_.onehot) return write_bytes(i, row);
    // The bytes are staged at the tail of their own row, which the encoder
    // allows: no buffer, whatever the length.
    unsigned char* bytes = row + row_bytes_ - request_.length;
    if (Status written = write_bytes(i, bytes); !written) return written;
    request_.onehot->encode(bytes, request_.length, row, streaming_);
    return Ok{};
  }

  // The window's bytes in its own orientation. A reverse complemented
  // window starts with the padding that follows the sequence.
  Status write_bytes(std::size_t i, unsigned char* dst) const {
    const IndexEntry& entry = entry_of(i);
    const std::size_t length = request_.length;
    const auto pad = static_cast<unsigned char>(request_.pad);
    const Coverage c = coverage(entry.rlen, request_.starts[i], length);
    if (c.count == 0) {
      std::memset(dst, pad, length);
      return Ok{};
    }
    const bool reverse = reversed(i);
    const std::size_t lead = reverse ? length - c.before - c.count : c.before;
    std::memset(dst, pad, lead);
    char* bases = reinterpret_cast<char*>(dst + lead);
    const FetchPlan plan{&entry, Region{false, c.first, c.first + c.count - 1, 0, 0}};
    auto got = faidx_.extract_prepared(plan, bases, c.count);
    if (!got) return std::move(got).error();
    std::size_t present = *got;
    if (present < c.count && filler_) {
      std::memset(bases + present, *filler_, c.count - present);
      present = c.count;
    }
    // After the filling, as a fetch cases its filler too.
    faidx_.apply_case(bases, present);
    if (reverse) reverse_complement_in_place(bases, present);
    if (present < c.count) {
      // Bases the file lacks, with no filler, are padding: after the others,
      // or before them on the reverse strand.
      if (reverse) std::memmove(bases + (c.count - present), bases, present);
      std::memset(reverse ? bases : bases + present, pad, c.count - present);
    }
    std::memset(dst + lead + c.count, pad, length - lead - c.count);
    return Ok{};
  }

  const Faidx& faidx_;
  const WindowRequest& request_;
  unsigned char* const out_;
  const std::size_t row_bytes_;
  const bool streaming_;
  const std::optional<char> filler_;
};

// One round of a request on the worker pool: windows [begin, end) in
// blocks claimed in order until none is left or a block fails.
class Round {
 public:
  Round(const WindowWriter& writer, std::size_t begin, std::size_t end, std::size_t per_block)
      : writer_(writer), begin_(begin), end_(end), per_block_(per_block) {}

  // A worker's run.
  void work() {
    for (;;) {
      if (failed_.load(std::memory_order_relaxed)) return;
      const std::size_t offset = next_block_.fetch_add(1, std::memory_order_relaxed) * per_block_;
      if (offset >= end_ - begin_) return;
      const std::size_t first = begin_ + offset;
      const std::size_t last = std::min(end_, first + per_block_);
      try {
        if (Status written = writer_.run(first, last); !written) return fail(first, std::move(written).error());
      } catch (...) {
        return fail(first, std::current_exception());
      }
    }
  }

  // After the workers are gone: their exception, rethrown, or their error.
  std::optional<FaidxError> outcome() {
    if (exception_) std::rethrow_exception(exception_);
    return std::move(error_);
  }

 private:
  // The failure of the lowest block is kept, as a sequential fill would
  // have met it first.
  template <class Failure>
  void fail(std::size_t at, Failure failure) {
    std::lock_guard lock(mutex_);
    if (at < failed_at_) {
      failed_at_ = at;
      if constexpr (std::is_same_v<Failure, std::exception_ptr>) {
        exception_ = std::move(failure);
        error_.reset();
      } else {
        error_ = std::move(failure);
        exception_ = nullptr;
      }
    }
    failed_.store(true, std::memory_order_relaxed);
  }

  const WindowWriter& writer_;
  const std::size_t begin_;
  const std::size_t end_;
  const std::size_t per_block_;
  std::atomic<std::size_t> next_block_{0};
  std::atomic<bool> failed_{false};
  std::mutex mutex_;  // guards the failure
  std::size_t failed_at_ = static_cast<std::size_t>(-1);
  std::optional<FaidxError> error_;
  std::exception_ptr exception_;
};

using Clock = std::chrono::steady_clock;

// The windows of the next round, from the pace of the last one: a round
// lasts kRoundTime, or ten times as long as the caller took to answer (it
// may wait for a lock held elsewhere), so that the workers idle a tenth of
// the time at most. At least a block, and at most eight times the last.
std::size_t next_round(std::size_t windows, Clock::duration took, Clock::duration answered,
                       std::size_t per_block) noexcept {
  const auto target = std::max<Clock::duration>(kRoundTime, 10 * answered);
  const double pace = static_cast<double>(windows) / static_cast<double>(std::max<Clock::rep>(took.count(), 1));
  const double wanted = std::min(pace * static_cast<double>(target.count()), 8.0 * static_cast<double>(windows));
  return std::max(per_block, static_cast<std::size_t>(wanted));
}

}  // namespace

bool windows_run_in_parallel(const WindowRequest& request) noexcept {
  std::size_t total;
  return __builtin_mul_overflow(request.count(), request.row_bytes(), &total) || total >= kParallelBytes;
}

Result<bool> fill_windows(const Faidx& faidx, const WindowRequest& request, unsigned char* out,
                          const KeepGoing& keep_going) {
  const std::size_t count = request.count();
  if (count == 0) return true;
  // Once for every window (a system call), on this thread.
  faidx.source().prepare();
  const WindowWriter writer(faidx, request, out);
  if (!windows_run_in_parallel(request)) {
    if (Status written = writer.run(0, count); !written) return std::move(written).error();
    return true;
  }
  const std::size_t per_block = std::max<std::size_t>(1, kBlockBytes / std::max<std::size_t>(request.row_bytes(), 1));
  WorkerPool& pool = WorkerPool::instance();
  const std::size_t tasks = std::max<std::size_t>(pool.thread_count(), 1);
  // keep_going is asked between rounds, never during one: the pool serves
  // one batch at a time, and a caller that waited for a lock (the
  // interpreter's) while holding the pool could wait for a thread that
  // holds that lock and waits for the pool.
  std::size_t windows = 2 * tasks * per_block;
  for (std::size_t begin = 0;;) {
    const std::size_t end = begin + std::min(windows, count - begin);
    const auto started = Clock::now();
    Round round(writer, begin, end, per_block);
    // One task per worker; each claims blocks from the round itself.
    pool.parallel_for(tasks, [&](std::size_t first, std::size_t last) {
      for (std::size_t task = first; task < last; ++task) round.work();
    });
    if (auto error = round.outcome()) return std::move(*error);
    if (end == count) return true;
    const auto finished = Clock::now();
    if (!keep_going()) return false;
    windows = next_round(end - begin, finished - started, Clock::now() - finished, per_block);
    begin = end;
  }
}

}  // namespace gelvo
