// The worker pool that runs large fetch batches.
//
// WorkerPool::instance() is the one pool of the process. It is created the
// first time it is asked for and then lives until the process ends: its
// threads are never joined and the object is deliberately leaked, so that
// neither interpreter shutdown nor static destruction waits on a worker.
//
// Threading contract:
// - parallel_for may be called from any thread. Batches on one pool run one
//   at a time; a second caller blocks until the first batch has finished.
// - The calling thread only waits; the pool's own threads run the body. A
//   batch started on a thread that is already in a batch of the same pool
//   (a worker's body, or the caller's `meanwhile`) runs inline.
// - Worker threads start with every asynchronous signal blocked, so signals
//   keep going to the threads the host process expects (the interpreter's
//   main thread). Fault signals (SIGBUS, SIGSEGV, SIGFPE, SIGILL) stay
//   unblocked: a blocked fault kills the process, and the fetch code
//   survives a SIGBUS from a file truncated under its mapping.
//
// Fork: a child process inherits none of the parent's worker threads and
// possibly a copy of a pool mutex held by a thread that no longer exists.
// instance() notices that it runs in a new process (a fork handler, and the
// recorded process id as a second check) and builds a fresh pool there; the
// parent's copy is abandoned untouched. Only instance() gives this guarantee:
// a pool constructed directly must be neither used nor destroyed in a child.
//
// Errors: creating a pool can throw std::bad_alloc. If the system refuses to
// start a thread, the pool keeps the threads it did get; with none at all,
// parallel_for runs the body on the calling thread.
#pragma once

#include <sys/types.h>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace gelvo {

// The pool size for the given values of RAYON_NUM_THREADS and
// RAYON_RS_NUM_CPUS (either may be null for "not set") and the processor
// count available to the process. The first variable that holds a positive
// decimal integer decides. The value 0, a negative, empty, non-numeric or
// overflowing value counts as not set, so "0" falls through to the next
// variable and finally to `available`. The result is at least 1.
std::size_t decide_thread_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                std::size_t available) noexcept;

// The most threads the process-wide pool starts, whatever the environment
// asks for: more threads than processors only wait on each other, and a
// count such as 1000000 would exhaust memory first. 8 per processor, at
// least 64.
std::size_t thread_limit(std::size_t available) noexcept;

// The processor count the control group's CPU quota allows, at least 1, or
// nothing when no quota is set or the files cannot be read. `root` is
// prefixed to every absolute path read (/proc/self/..., the cgroup mount),
// so tests can point it at a fake tree; the empty string means the real one.
std::optional<std::size_t> cgroup_cpu_quota(const std::string& root = "");

// Processors in this process's affinity mask, reduced to the control group's
// CPU quota where one is set; at least 1.
std::size_t available_parallelism();

class WorkerPool {
 public:
  using Body = std::function<void(std::size_t begin, std::size_t end)>;

  // The process-wide pool, sized by decide_thread_count() over the
  // environment and available_parallelism(), at most thread_limit(), read
  // once at creation.
  static WorkerPool& instance();

  // A private pool of `threads` workers (at least one is asked for). Its
  // destructor stops and joins them; it must not run during a batch.
  explicit WorkerPool(std::size_t threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Worker threads actually running.
  std::size_t thread_count() const noexcept { return threads_.size(); }

  // Calls body(begin, end) over contiguous runs that together cover [0, n)
  // exactly once, from the worker threads, and returns when all have
  // returned. Writes made by body are visible to the caller on return.
  // If a body throws, runs not yet started are skipped and the first
  // exception is rethrown here once every running body has returned.
  // Called from one of this pool's own workers, it runs body(0, n) inline
  // instead of waiting on itself.
  void parallel_for(std::size_t n, const Body& body);
  // The same, but once the work is handed out the calling thread runs
  // `meanwhile` (for instance to consume finished items) before it waits
  // for the workers. parallel_for returns only after both are done; an
  // exception from `meanwhile` is rethrown after the workers finished.
  void parallel_for(std::size_t n, const Body& body, const std::function<void()>& meanwhile);

 private:
  struct Batch;

  void worker_main();
  void run_chunks(Batch& batch);

  pid_t owner_pid_;
  std::vector<std::thread> threads_;

  std::mutex batch_mutex_;  // serialises parallel_for callers

  // Guards everything below. Workers take it only to pick up or leave a
  // batch, never per chunk.
  std::mutex mutex_;
  std::condition_variable work_cv_;  // workers: a new batch or stop
  std::condition_variable done_cv_;  // caller: the last worker has left
  Batch* batch_ = nullptr;           // open batch, or null
  unsigned long long generation_ = 0;
  std::size_t inside_ = 0;  // workers currently in batch_
  bool stop_ = false;
};

}  // namespace gelvo
