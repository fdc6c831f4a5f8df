#include "faidx/pool.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>

namespace gelvo {

// ---------------------------------------------------------------------------
// Thread count

namespace {

// A leading '+' is accepted because Rust's integer parsing accepts it, and
// these variables are usually written for rayon-based tools; whitespace and
// signs other than that are not, for the same reason.
std::optional<std::size_t> positive_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  std::string_view s(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  std::size_t value = 0;
  const char* end = s.data() + s.size();
  auto [stop, ec] = std::from_chars(s.data(), end, value);
  if (ec != std::errc() || stop != end || value == 0) return std::nullopt;
  return value;
}

}  // namespace

std::size_t thread_limit(std::size_t available) noexcept {
  constexpr std::size_t kPerProcessor = 8;
  constexpr std::size_t kAtLeast = 64;
  std::size_t limit;
  if (__builtin_mul_overflow(available, kPerProcessor, &limit)) return SIZE_MAX;
  return std::max(limit, kAtLeast);
}

std::size_t decide_thread_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                std::size_t available) noexcept {
  if (auto n = positive_count(rayon_num_threads)) return *n;
  if (auto n = positive_count(rayon_rs_num_cpus)) return *n;
  return std::max<std::size_t>(available, 1);
}

// ---------------------------------------------------------------------------
// Control-group CPU quota

namespace {

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(text).str();
}

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  for (;;) {
    std::size_t at = s.find(sep);
    parts.push_back(s.substr(0, at));
    if (at == std::string_view::npos) return parts;
    s.remove_prefix(at + 1);
  }
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

std::optional<std::uint64_t> parse_u64(std::string_view s) {
  std::uint64_t value = 0;
  const char* end = s.data() + s.size();
  auto [stop, ec] = std::from_chars(s.data(), end, value);
  if (ec != std::errc() || stop != end || s.empty()) return std::nullopt;
  return value;
}

bool list_contains(std::string_view list, std::string_view item) {
  for (std::string_view part : split(list, ','))
    if (part == item) return true;
  return false;
}

// mountinfo writes space, tab, newline and backslash in paths as \ooo.
std::string unescape_octal(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size()) {
      auto digit = [&](std::size_t k) { return s[i + k] >= '0' && s[i + k] <= '7'; };
      if (digit(1) && digit(2) && digit(3)) {
        out.push_back(static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(s[i]);
  }
  return out;
}

enum class CgroupVersion { V1, V2 };

struct CgroupMount {
  std::string root;   // the hierarchy's directory that is mounted
  std::string point;  // where it is mounted
};

// The first cgroup2 mount, or the first v1 mount that carries the cpu
// controller.
std::optional<CgroupMount> find_mount(std::string_view mountinfo, CgroupVersion version) {
  for (std::string_view line : split(mountinfo, '\n')) {
    std::vector<std::string_view> f = split(line, ' ');
    // Optional fields end with a lone "-"; the file system type follows it.
    auto dash = std::find(f.begin() + std::min<std::size_t>(f.size(), 6), f.end(), "-");
    if (f.end() - dash < 4) continue;
    std::string_view type = dash[1];
    std::string_view super_options = dash[3];
    bool match =
        version == CgroupVersion::V2 ? type == "cgroup2" : type == "cgroup" && list_contains(super_options, "cpu");
    if (match) return CgroupMount{unescape_octal(f[3]), unescape_octal(f[4])};
  }
  return std::nullopt;
}

// The processor count one cgroup directory allows, if it sets a limit.
std::optional<std::uint64_t> limit_in(const std::string& dir, CgroupVersion version) {
  std::optional<std::uint64_t> quota, period;
  if (version == CgroupVersion::V2) {
    auto text = read_file(dir + "/cpu.max");
    if (!text) return std::nullopt;
    std::vector<std::string_view> f = split(trim(*text), ' ');
    if (f.size() != 2 || f[0] == "max") return std::nullopt;
    quota = parse_u64(f[0]);
    period = parse_u64(f[1]);
  } else {
    auto q = read_file(dir + "/cpu.cfs_quota_us");
    auto p = read_file(dir + "/cpu.cfs_period_us");
    if (!q || !p) return std::nullopt;
    quota = parse_u64(trim(*q));  // "-1" (no quota) fails to parse
    period = parse_u64(trim(*p));
  }
  if (!quota || !period || *period == 0) return std::nullopt;
  return *quota / *period;
}

// The smallest limit from the process's cgroup up to the mounted root: a
// parent's quota caps all its children, whatever they set themselves.
std::optional<std::size_t> limit_along(const std::string& root, const CgroupMount& mount, std::string_view path,
                                       CgroupVersion version) {
  std::string_view relative = path;
  if (mount.root != "/") {
    if (path == mount.root) {
      relative = "/";
    } else if (path.size() > mount.root.size() && path.substr(0, mount.root.size()) == mount.root &&
               path[mount.root.size()] == '/') {
      relative = path.substr(mount.root.size());
    } else {
      return std::nullopt;  // our cgroup is not visible under this mount
    }
  }
  std::vector<std::string_view> parts;
  for (std::string_view part : split(relative, '/')) {
    if (part == "..") return std::nullopt;  // outside our cgroup namespace
    if (!part.empty() && part != ".") parts.push_back(part);
  }

  std::optional<std::uint64_t> best;
  for (std::size_t depth = parts.size() + 1; depth-- > 0;) {
    std::string dir = root + mount.point;
    for (std::size_t i = 0; i < depth; ++i) (dir += '/') += parts[i];
    if (auto limit = limit_in(dir, version)) best = best ? std::min(*best, *limit) : *limit;
  }
  if (!best) return std::nullopt;
  return static_cast<std::size_t>(std::max<std::uint64_t>(*best, 1));
}

std::size_t affinity_count() {
  // The mask may be larger than cpu_set_t on machines with many processors;
  // the kernel says so with EINVAL.
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 22); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    std::size_t size = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(size, set);
    int rc = sched_getaffinity(0, size, set);
    int err = errno;
    int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (rc == 0 && count > 0) return static_cast<std::size_t>(count);
    if (rc == 0 || err != EINVAL) break;
  }
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 1;
}

}  // namespace

std::optional<std::size_t> cgroup_cpu_quota(const std::string& root) {
  auto cgroup = read_file(root + "/proc/self/cgroup");
  if (!cgroup) return std::nullopt;
  std::optional<std::string> v1_path, v2_path;
  for (std::string_view line : split(*cgroup, '\n')) {
    // "hierarchy-id:controllers:path"; the path itself may contain ':'.
    std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    std::string_view id = line.substr(0, first);
    std::string_view controllers = line.substr(first + 1, second - first - 1);
    std::string path(line.substr(second + 1));
    if (id == "0" && controllers.empty())
      v2_path = path;
    else if (list_contains(controllers, "cpu"))
      v1_path = path;
  }
  std::string mountinfo = read_file(root + "/proc/self/mountinfo").value_or("");

  // On a hybrid system the cpu controller sits in a v1 hierarchy and the
  // unified one has no cpu.max, so v1 is asked first.
  if (v1_path) {
    if (auto mount = find_mount(mountinfo, CgroupVersion::V1))
      if (auto limit = limit_along(root, *mount, *v1_path, CgroupVersion::V1)) return limit;
  }
  if (v2_path) {
    CgroupMount mount = find_mount(mountinfo, CgroupVersion::V2).value_or(CgroupMount{"/", "/sys/fs/cgroup"});
    return limit_along(root, mount, *v2_path, CgroupVersion::V2);
  }
  return std::nullopt;
}

std::size_t available_parallelism() {
  std::size_t count = affinity_count();
  if (auto quota = cgroup_cpu_quota()) count = std::min(count, *quota);
  return std::max<std::size_t>(count, 1);
}

// ---------------------------------------------------------------------------
// The pool

struct WorkerPool::Batch {
  Batch(const Body& b, std::size_t count, std::size_t threads)
      : body(&b), n(count), spread(kChunksPerThread * threads) {}

  // Several chunks per thread, shrinking as the work runs out, so that a
  // slow run near the end is taken over by idle threads one item at a time.
  static constexpr std::size_t kChunksPerThread = 4;

  const Body* body;
  std::size_t n;
  std::size_t spread;  // divisor of the remaining work per chunk
  // Own cache line: every chunk claim writes it, nothing else here changes.
  alignas(64) std::atomic<std::size_t> cursor{0};
  std::exception_ptr error;  // first failure; written under mutex_
};

namespace {

// Set in each worker so that a body that starts a batch on its own pool
// runs it inline instead of deadlocking on the pool it occupies.
thread_local const WorkerPool* tl_worker_of = nullptr;
// Set on a thread while it waits for a batch of this pool: a batch it
// starts meanwhile (from a signal handler run by `meanwhile`, say) runs
// inline instead of waiting for the one it is part of.
thread_local const WorkerPool* tl_caller_of = nullptr;

}  // namespace

WorkerPool::WorkerPool(std::size_t threads) : owner_pid_(getpid()) {
  threads = std::max<std::size_t>(threads, 1);
  threads_.reserve(threads);
  sigset_t all, saved;
  sigfillset(&all);
  // Faults stay deliverable: a synchronous SIGBUS or SIGSEGV that is blocked
  // kills the process outright, and the fetch code catches a SIGBUS from a
  // file truncated under its mapping.
  for (int fault : {SIGBUS, SIGSEGV, SIGFPE, SIGILL}) sigdelset(&all, fault);
  // Threads inherit the creating thread's mask.
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  for (std::size_t i = 0; i < threads; ++i) {
    try {
      threads_.emplace_back([this] { worker_main(); });
    } catch (...) {
      break;  // keep the threads we have; see the header
    }
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  work_cv_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void WorkerPool::worker_main() {
  tl_worker_of = this;
  pthread_setname_np(pthread_self(), "gelvo-worker");
  unsigned long long seen = 0;
  std::unique_lock lock(mutex_);
  for (;;) {
    work_cv_.wait(lock, [&] { return stop_ || (batch_ != nullptr && generation_ != seen); });
    if (stop_) return;
    seen = generation_;
    Batch& batch = *batch_;
    ++inside_;
    lock.unlock();
    run_chunks(batch);
    lock.lock();
    if (--inside_ == 0) done_cv_.notify_one();
  }
}

void WorkerPool::run_chunks(Batch& batch) {
  const std::size_t n = batch.n;
  for (;;) {
    std::size_t begin = batch.cursor.load(std::memory_order_relaxed);
    std::size_t end;
    do {
      if (begin >= n) return;
      end = begin + std::max<std::size_t>((n - begin) / batch.spread, 1);
    } while (!batch.cursor.compare_exchange_weak(begin, end, std::memory_order_relaxed));
    try {
      (*batch.body)(begin, end);
    } catch (...) {
      {
        std::lock_guard lock(mutex_);
        if (!batch.error) batch.error = std::current_exception();
      }
      batch.cursor.store(n, std::memory_order_relaxed);  // skip what nobody has claimed
    }
  }
}

void WorkerPool::parallel_for(std::size_t n, const Body& body) {
  parallel_for(n, body, [] {});
}

void WorkerPool::parallel_for(std::size_t n, const Body& body, const std::function<void()>& meanwhile) {
  if (n == 0) return meanwhile();
  if (tl_worker_of == this || tl_caller_of == this || threads_.empty()) {
    body(0, n);
    return meanwhile();
  }
  std::lock_guard serial(batch_mutex_);
  struct Calling {
    explicit Calling(const WorkerPool* pool) { tl_caller_of = pool; }
    ~Calling() { tl_caller_of = nullptr; }
  } calling(this);
  Batch batch(body, n, threads_.size());

  std::unique_lock lock(mutex_);
  batch_ = &batch;
  ++generation_;
  lock.unlock();
  work_cv_.notify_all();
  // The batch lives on this frame: whatever meanwhile does, the workers
  // must be done with it before the frame goes.
  std::exception_ptr meanwhile_error;
  try {
    meanwhile();
  } catch (...) {
    meanwhile_error = std::current_exception();
  }
  lock.lock();
  // Every index has been claimed once the cursor reaches n, and a claimed
  // run is finished once its worker has left; the unlock of each leaving
  // worker also publishes its writes to us.
  done_cv_.wait(lock, [&] { return batch.cursor.load(std::memory_order_relaxed) >= n && inside_ == 0; });
  batch_ = nullptr;
  lock.unlock();
  if (batch.error) std::rethrow_exception(batch.error);
  if (meanwhile_error) std::rethrow_exception(meanwhile_error);
}

// ---------------------------------------------------------------------------
// The process-wide instance

namespace {

struct ProcessPool {
  std::atomic<WorkerPool*> pool{nullptr};
  // Process id of the process one of whose threads is creating the pool,
  // or 0. Any id other than ours was inherited from a parent and is stale.
  std::atomic<pid_t> creator{0};
  bool fork_handler_installed = false;  // under the creator lock
};

constinit ProcessPool g_process_pool;

// Runs in the child of fork(), single-threaded. The parent's pool object is
// left as it is: its threads do not exist here and its mutexes may be held
// by one of them, so it is neither used nor destroyed.
void forget_pool_in_child() noexcept {
  g_process_pool.pool.store(nullptr, std::memory_order_relaxed);
  g_process_pool.creator.store(0, std::memory_order_relaxed);
}

class CreatorLock {
 public:
  explicit CreatorLock(pid_t self) {
    for (;;) {
      pid_t holder = g_process_pool.creator.load(std::memory_order_acquire);
      if (holder != self) {
        if (g_process_pool.creator.compare_exchange_weak(holder, self, std::memory_order_acquire)) return;
        continue;
      }
      // Another thread is starting the pool's threads; that is short.
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  }
  ~CreatorLock() { g_process_pool.creator.store(0, std::memory_order_release); }
  CreatorLock(const CreatorLock&) = delete;
  CreatorLock& operator=(const CreatorLock&) = delete;
};

}  // namespace

WorkerPool& WorkerPool::instance() {
  // getpid() catches a child made without fork()'s handlers (a raw clone),
  // and costs one system call per batch.
  const pid_t self = getpid();
  WorkerPool* pool = g_process_pool.pool.load(std::memory_order_acquire);
  if (pool != nullptr && pool->owner_pid_ == self) return *pool;

  CreatorLock lock(self);
  pool = g_process_pool.pool.load(std::memory_order_acquire);
  if (pool != nullptr && pool->owner_pid_ == self) return *pool;
  if (!g_process_pool.fork_handler_installed) {
    // Also covers a pid reused by a grandchild, which the getpid() check
    // alone would mistake for the pool's owner.
    pthread_atfork(nullptr, nullptr, forget_pool_in_child);
    g_process_pool.fork_handler_installed = true;
  }
  const std::size_t available = available_parallelism();
  const std::size_t threads =
      std::min(decide_thread_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available),
               thread_limit(available));
  // Leaked on purpose: nothing may join these threads at exit.
  pool = new WorkerPool(threads);
  g_process_pool.pool.store(pool, std::memory_order_release);
  return *pool;
}

}  // namespace gelvo
