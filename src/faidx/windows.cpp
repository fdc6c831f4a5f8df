#include "faidx/windows.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>

#include "faidx/pool.h"
#include "sequence/sequence.h"

namespace gelvo {

namespace {

constexpr std::size_t kParallelBytes = std::size_t{1} << 20;
// Output bytes per block a worker claims: enough to make a claim cheap, few
// enough that a stop is obeyed soon and the blocks spread evenly.
constexpr std::size_t kBlockBytes = std::size_t{256} << 10;
// Windows whose first bytes are asked for together (see run()).
constexpr std::size_t kPrefetchGroup = 32;
constexpr auto kWatchInterval = std::chrono::milliseconds(5);

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
      : faidx_(faidx), request_(request), out_(out), row_bytes_(request.row_bytes()), filler_(filler_of(faidx)) {}

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
    request_.onehot->encode(bytes, request_.length, row);
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
    auto got = faidx_.extract(plan, bases, c.count);
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
  const std::optional<char> filler_;
};

// A request on the worker pool: blocks claimed in order until none is
// left, a read error or an exception occurs, or the caller says stop.
class ParallelFill {
 public:
  ParallelFill(const WindowWriter& writer, std::size_t count, std::size_t per_block)
      : writer_(writer), count_(count), per_block_(per_block) {}

  // A worker's run.
  void work() {
    for (;;) {
      if (stop_.load(std::memory_order_relaxed)) return;
      const std::size_t begin = next_block_.fetch_add(1, std::memory_order_relaxed) * per_block_;
      if (begin >= count_) return;
      const std::size_t end = std::min(count_, begin + per_block_);
      try {
        if (Status written = writer_.run(begin, end); !written) return fail(begin, std::move(written).error());
      } catch (...) {
        return fail(begin, std::current_exception());
      }
      if (done_.fetch_add(end - begin, std::memory_order_acq_rel) + (end - begin) == count_) wake_watcher();
    }
  }

  // The calling thread's part: wakes every few milliseconds to ask
  // keep_going until the work is over. False when keep_going said stop;
  // the workers then finish the blocks they hold and claim no more.
  bool watch(const KeepGoing& keep_going) {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (finished_.wait_for(lock, kWatchInterval, [&] { return over(); })) return true;
      lock.unlock();
      const bool go = keep_going();
      lock.lock();
      if (!go) {
        stop_.store(true, std::memory_order_relaxed);
        return false;
      }
    }
  }

  // After the workers are gone: their exception, rethrown, or their error.
  std::optional<FaidxError> outcome() {
    if (exception_) std::rethrow_exception(exception_);
    return std::move(error_);
  }

 private:
  bool over() const noexcept {
    return stop_.load(std::memory_order_relaxed) || done_.load(std::memory_order_acquire) == count_;
  }

  void wake_watcher() {
    std::lock_guard lock(mutex_);
    finished_.notify_one();
  }

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
    stop_.store(true, std::memory_order_relaxed);
    finished_.notify_one();
  }

  const WindowWriter& writer_;
  const std::size_t count_;
  const std::size_t per_block_;
  std::atomic<std::size_t> next_block_{0};
  std::atomic<std::size_t> done_{0};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;  // guards the failure; the watcher waits on it
  std::condition_variable finished_;
  std::size_t failed_at_ = static_cast<std::size_t>(-1);
  std::optional<FaidxError> error_;
  std::exception_ptr exception_;
};

}  // namespace

bool windows_run_in_parallel(const WindowRequest& request) noexcept {
  std::size_t total;
  return __builtin_mul_overflow(request.count(), request.row_bytes(), &total) || total >= kParallelBytes;
}

Result<bool> fill_windows(const Faidx& faidx, const WindowRequest& request, unsigned char* out,
                          const KeepGoing& keep_going) {
  const std::size_t count = request.count();
  if (count == 0) return true;
  const WindowWriter writer(faidx, request, out);
  if (!windows_run_in_parallel(request)) {
    if (Status written = writer.run(0, count); !written) return std::move(written).error();
    return true;
  }
  const std::size_t per_block = std::max<std::size_t>(1, kBlockBytes / std::max<std::size_t>(request.row_bytes(), 1));
  ParallelFill fill(writer, count, per_block);
  bool completed = true;
  // One task per worker; each claims blocks from the fill itself.
  WorkerPool& pool = WorkerPool::instance();
  pool.parallel_for(
      std::max<std::size_t>(pool.thread_count(), 1),
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t task = begin; task < end; ++task) fill.work();
      },
      [&] { completed = fill.watch(keep_going); });
  std::optional<FaidxError> error = fill.outcome();
  // A stop leaves the caller's own reason standing (a pending exception).
  if (!completed) return false;
  if (error) return std::move(*error);
  return true;
}

}  // namespace gelvo
