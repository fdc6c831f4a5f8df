// The worker pool: its size rules, the cgroup quota reader, the division of
// a batch, failure propagation and behaviour across fork().

#include "faidx/pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace gelvo {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// decide_thread_count

TEST(ThreadCount, PositiveFirstVariableWins) {
  EXPECT_EQ(decide_thread_count("4", "8", 2), 4u);
  EXPECT_EQ(decide_thread_count("1", nullptr, 16), 1u);
  EXPECT_EQ(decide_thread_count("64", nullptr, 2), 64u);
  EXPECT_EQ(decide_thread_count("007", nullptr, 2), 7u);
  EXPECT_EQ(decide_thread_count("+6", nullptr, 2), 6u);
}

TEST(ThreadCount, ZeroCountsAsUnset) {
  EXPECT_EQ(decide_thread_count("0", "3", 2), 3u);
  EXPECT_EQ(decide_thread_count("0", nullptr, 5), 5u);
  EXPECT_EQ(decide_thread_count("0", "0", 5), 5u);
  EXPECT_EQ(decide_thread_count("000", nullptr, 5), 5u);
}

TEST(ThreadCount, NonNumericValuesAreIgnored) {
  for (const char* bad :
       {"", "abc", "-2", " 4", "4 ", "4\n", "4x", "1.5", "0x10", "++4", "-0", "99999999999999999999999999"}) {
    EXPECT_EQ(decide_thread_count(bad, nullptr, 3), 3u) << '"' << bad << '"';
    EXPECT_EQ(decide_thread_count(nullptr, bad, 3), 3u) << '"' << bad << '"';
    EXPECT_EQ(decide_thread_count(bad, "9", 3), 9u) << '"' << bad << '"';
  }
}

TEST(ThreadCount, SecondVariableWhenFirstUnset) {
  EXPECT_EQ(decide_thread_count(nullptr, "6", 2), 6u);
  EXPECT_EQ(decide_thread_count("many", "6", 2), 6u);
}

TEST(ThreadCount, DefaultIsAvailableAndAtLeastOne) {
  EXPECT_EQ(decide_thread_count(nullptr, nullptr, 12), 12u);
  EXPECT_EQ(decide_thread_count(nullptr, nullptr, 0), 1u);
}

TEST(ThreadCount, AvailableParallelismStaysWithinAffinityMask) {
  cpu_set_t set;
  CPU_ZERO(&set);
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  std::size_t mask = static_cast<std::size_t>(CPU_COUNT(&set));
  std::size_t n = available_parallelism();
  EXPECT_GE(n, 1u);
  EXPECT_LE(n, mask);
  auto quota = cgroup_cpu_quota();
  EXPECT_EQ(n, quota ? std::min(mask, *quota) : mask);
}

// ---------------------------------------------------------------------------
// cgroup_cpu_quota over a fake file tree

class PoolCgroupQuota : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "gelvo-cgroup-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  void write(const std::string& path, const std::string& text) {
    fs::path full = root_ + path;
    fs::create_directories(full.parent_path());
    std::ofstream(full) << text;
  }
  static std::string mount_line(const std::string& root, const std::string& point, const std::string& type,
                                const std::string& options) {
    return "30 20 0:26 " + root + " " + point + " rw,nosuid shared:4 - " + type + " " + type + " " + options + "\n";
  }

  std::string root_;
};

TEST_F(PoolCgroupQuota, V2TakesSmallestLimitUpToTheRoot) {
  write("/proc/self/cgroup", "0::/a/b\n");
  write("/proc/self/mountinfo", mount_line("/", "/sys/fs/cgroup", "cgroup2", "rw"));
  write("/sys/fs/cgroup/cpu.max", "max 100000\n");
  write("/sys/fs/cgroup/a/cpu.max", "300000 100000\n");
  write("/sys/fs/cgroup/a/b/cpu.max", "max 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root_), std::optional<std::size_t>(3));

  write("/sys/fs/cgroup/a/b/cpu.max", "450000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root_), std::optional<std::size_t>(3));

  write("/sys/fs/cgroup/a/b/cpu.max", "250000 100000\n");  // 2.5 rounds down
  EXPECT_EQ(cgroup_cpu_quota(root_), std::optional<std::size_t>(2));
}

TEST_F(PoolCgroupQuota, V2QuotaBelowOnePeriodStillGivesOne) {
  write("/proc/self/cgroup", "0::/\n");
  write("/proc/self/mountinfo", mount_line("/", "/sys/fs/cgroup", "cgroup2", "rw"));
  write("/sys/fs/cgroup/cpu.max", "50000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root_), std::optional<std::size_t>(1));
}

TEST_F(PoolCgroupQuota, V2MaxEverywhereIsNoQuota) {
  write("/proc/self/cgroup", "0::/a\n");
  write("/proc/self/mountinfo", mount_line("/", "/sys/fs/cgroup", "cgroup2", "rw"));
  write("/sys/fs/cgroup/cpu.max", "max 100000\n");
  write("/sys/fs/cgroup/a/cpu.max", "max 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root_), std::nullopt);
}

TEST_F(PoolCgroupQuota, V2WithoutMountinfoUsesSysFsCgroup) {
  write("/proc/self/cgroup", "0::/svc\n");
  write("/sys/fs/cgroup/svc/cpu.max", "400000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root_), std::optional<std::size_t>(4));
}

TEST_F(PoolCgroupQuota, V2PathIsTakenRelativeToTheMountedRoot) {
  // A container that sees its own cgroup mounted at /sys/fs/cgroup.
  write("/proc/self/cgroup", "0::/docker/abc/app\n");
  write("/proc/self/mountinfo", mount_line("/docker/abc", "/sys/fs/cgroup", "cgroup2", "rw"));
  write("/sys/fs/cgroup/cpu.max", "200000 100000\n");
  write("/sys/fs/cgroup/app/cpu.max", "max 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root_), std::optional<std::size_t>(2));
}

TEST_F(PoolCgroupQuota, V2OutsideTheVisibleTreeIsNoQuota) {
  write("/proc/self/cgroup", "0::/../other\n");
  write("/proc/self/mountinfo", mount_line("/", "/sys/fs/cgroup", "cgroup2", "rw"));
  write("/sys/fs/cgroup/cpu.max", "200000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root_), std::nullopt);
}

TEST_F(PoolCgroupQuota, V1ReadsCfsFilesOfTheCpuHierarchy) {
  write("/proc/self/cgroup", "5:cpuset:/\n4:cpu,cpuacct:/grp/job\n0::/\n");
  write("/proc/self/mountinfo", mount_line("/", "/sys/fs/cgroup/cpuset", "cgroup", "rw,cpuset") +
                                    mount_line("/", "/sys/fs/cgroup/cpu,cpuacct", "cgroup", "rw,cpu,cpuacct") +
                                    mount_line("/", "/sys/fs/cgroup/unified", "cgroup2", "rw"));
  write("/sys/fs/cgroup/cpuset/cpu.cfs_quota_us", "100000\n");  // must be ignored
  write("/sys/fs/cgroup/cpuset/cpu.cfs_period_us", "100000\n");
  write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n");
  write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
  write("/sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_quota_us", "600000\n");
  write("/sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_period_us", "100000\n");
  write("/sys/fs/cgroup/cpu,cpuacct/grp/job/cpu.cfs_quota_us", "-1\n");
  write("/sys/fs/cgroup/cpu,cpuacct/grp/job/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root_), std::optional<std::size_t>(6));
}

TEST_F(PoolCgroupQuota, V1MinusOneEverywhereIsNoQuota) {
  write("/proc/self/cgroup", "3:cpu:/\n");
  write("/proc/self/mountinfo", mount_line("/", "/sys/fs/cgroup/cpu", "cgroup", "rw,cpu"));
  write("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "-1\n");
  write("/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root_), std::nullopt);
}

TEST_F(PoolCgroupQuota, EscapedMountPointIsDecoded) {
  write("/proc/self/cgroup", "0::/\n");
  write("/proc/self/mountinfo", mount_line("/", "/sys/fs/my\\040cgroup", "cgroup2", "rw"));
  write("/sys/fs/my cgroup/cpu.max", "300000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root_), std::optional<std::size_t>(3));
}

TEST_F(PoolCgroupQuota, MissingOrMalformedFilesAreNoQuota) {
  EXPECT_EQ(cgroup_cpu_quota(root_), std::nullopt);  // no /proc/self/cgroup at all
  write("/proc/self/cgroup", "0::/\n");
  write("/proc/self/mountinfo", mount_line("/", "/sys/fs/cgroup", "cgroup2", "rw"));
  write("/sys/fs/cgroup/cpu.max", "lots 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root_), std::nullopt);
  write("/sys/fs/cgroup/cpu.max", "100000 0\n");
  EXPECT_EQ(cgroup_cpu_quota(root_), std::nullopt);
}

// ---------------------------------------------------------------------------
// parallel_for on private pools

struct Span {
  std::size_t begin, end;
};

// Runs a batch of n, checking that the runs tile [0, n) exactly and that
// every index's slot is written once with its own value.
std::vector<Span> run_and_check(WorkerPool& pool, std::size_t n) {
  std::vector<std::uint64_t> slots(n, 0);
  std::vector<std::atomic<std::uint32_t>> visits(n);
  std::vector<Span> runs;
  std::mutex runs_mutex;
  pool.parallel_for(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end && i < n; ++i) {
      visits[i].fetch_add(1, std::memory_order_relaxed);
      slots[i] = i * 2654435761u + 1;
    }
    std::lock_guard lock(runs_mutex);
    runs.push_back({begin, end});
  });
  std::size_t bad_visits = 0, bad_slots = 0;
  for (std::size_t i = 0; i < n; ++i) {
    bad_visits += visits[i].load() != 1;
    bad_slots += slots[i] != i * 2654435761u + 1;
  }
  EXPECT_EQ(bad_visits, 0u) << "n=" << n;
  EXPECT_EQ(bad_slots, 0u) << "n=" << n;

  std::sort(runs.begin(), runs.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });
  std::size_t next = 0;
  for (const Span& r : runs) {
    EXPECT_EQ(r.begin, next) << "n=" << n;
    EXPECT_LT(r.begin, r.end) << "n=" << n;
    next = r.end;
  }
  EXPECT_EQ(next, n);
  return runs;
}

TEST(WorkerPool, EveryIndexExactlyOnce) {
  for (std::size_t threads : {1u, 2u, 4u, 8u}) {
    WorkerPool pool(threads);
    ASSERT_EQ(pool.thread_count(), threads);
    for (std::size_t n : {0u, 1u, 2u, 7u, 999u, 1000u, 1001u, 1000000u}) {
      SCOPED_TRACE(testing::Message() << "threads=" << threads << " n=" << n);
      std::vector<Span> runs = run_and_check(pool, n);
      if (n == 0) {
        EXPECT_TRUE(runs.empty());
      }
    }
  }
}

TEST(WorkerPool, RunsShrinkToSingleItemsAtTheEnd) {
  WorkerPool pool(4);
  std::vector<Span> runs = run_and_check(pool, 100000);
  ASSERT_FALSE(runs.empty());
  EXPECT_GT(runs.size(), 4 * pool.thread_count());  // several runs per thread
  EXPECT_LT(runs.size(), 5000u);                    // and not one per item
  EXPECT_EQ(runs.back().end - runs.back().begin, 1u);
  EXPECT_LE(runs.front().end - runs.front().begin, 100000u / pool.thread_count());
}

TEST(WorkerPool, ThreadsWorkConcurrentlyAndTheCallerOnlyWaits) {
  constexpr std::size_t kThreads = 4;
  WorkerPool pool(kThreads);
  // Each run waits until every worker holds a run at once, which only
  // happens if the runs are really handed to kThreads threads together.
  std::atomic<std::size_t> arrived{0};
  std::atomic<bool> caller_ran{false};
  std::mutex ids_mutex;
  std::set<std::thread::id> ids;
  const auto caller = std::this_thread::get_id();
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  pool.parallel_for(1000, [&](std::size_t, std::size_t) {
    if (std::this_thread::get_id() == caller) caller_ran = true;
    {
      std::lock_guard lock(ids_mutex);
      if (!ids.insert(std::this_thread::get_id()).second) return;
    }
    arrived.fetch_add(1);
    while (arrived.load() < kThreads && Clock::now() < deadline) std::this_thread::yield();
  });
  EXPECT_EQ(arrived.load(), kThreads);
  EXPECT_EQ(ids.size(), kThreads);
  EXPECT_FALSE(caller_ran.load());
}

TEST(WorkerPool, OneThreadRunsTheWholeBatchOnOneWorker) {
  WorkerPool pool(1);
  std::set<std::thread::id> ids;  // one worker: no lock needed
  pool.parallel_for(100000, [&](std::size_t, std::size_t) { ids.insert(std::this_thread::get_id()); });
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_NE(*ids.begin(), std::this_thread::get_id());
}

TEST(WorkerPool, WorkersBlockAsynchronousSignalsButNotFaults) {
  WorkerPool pool(2);
  std::atomic<int> unblocked{0};
  std::atomic<int> blocked_faults{0};
  std::atomic<int> checked{0};
  pool.parallel_for(100, [&](std::size_t, std::size_t) {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    for (int sig : {SIGINT, SIGTERM, SIGALRM, SIGCHLD, SIGUSR1})
      if (!sigismember(&mask, sig)) unblocked.fetch_add(1);
    for (int sig : {SIGBUS, SIGSEGV, SIGFPE, SIGILL})
      if (sigismember(&mask, sig)) blocked_faults.fetch_add(1);
    checked.fetch_add(1);
  });
  EXPECT_GT(checked.load(), 0);
  EXPECT_EQ(unblocked.load(), 0);
  EXPECT_EQ(blocked_faults.load(), 0);
  // The caller's own mask is restored after the threads were started.
  sigset_t mine;
  pthread_sigmask(SIG_BLOCK, nullptr, &mine);
  EXPECT_FALSE(sigismember(&mine, SIGINT));
}

TEST(WorkerPool, FirstExceptionReachesTheCallerAfterAllRunsEnded) {
  WorkerPool pool(4);
  std::vector<std::atomic<std::uint32_t>> visits(100000);
  std::atomic<int> running{0};
  std::atomic<int> thrown{0};
  auto body = [&](std::size_t begin, std::size_t end) {
    running.fetch_add(1);
    for (std::size_t i = begin; i < end; ++i) visits[i].fetch_add(1);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    running.fetch_sub(1);
    if (begin <= 5000 && 5000 < end) {
      thrown.fetch_add(1);
      throw std::runtime_error("run with 5000 failed");
    }
  };
  try {
    pool.parallel_for(visits.size(), body);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "run with 5000 failed");
  }
  EXPECT_EQ(running.load(), 0);
  EXPECT_EQ(thrown.load(), 1);
  for (auto& v : visits) ASSERT_LE(v.load(), 1u);
  EXPECT_EQ(visits[5000].load(), 1u);

  // The pool stays usable, and an exception in every run yields just one.
  run_and_check(pool, 1000);
  EXPECT_THROW(pool.parallel_for(1000, [](std::size_t, std::size_t) { throw std::logic_error("x"); }),
               std::logic_error);
  run_and_check(pool, 1000);
}

TEST(WorkerPool, SequentialBatchesReuseTheSameThreads) {
  WorkerPool pool(3);
  std::mutex ids_mutex;
  std::set<std::thread::id> ids;
  for (int round = 0; round < 300; ++round) {
    std::atomic<std::size_t> sum{0};
    pool.parallel_for(1000 + round, [&](std::size_t begin, std::size_t end) {
      sum.fetch_add(end - begin);
      std::lock_guard lock(ids_mutex);
      ids.insert(std::this_thread::get_id());
    });
    ASSERT_EQ(sum.load(), 1000u + round) << "round " << round;
  }
  EXPECT_LE(ids.size(), pool.thread_count());
}

TEST(WorkerPool, ConcurrentCallersAreSerialised) {
  WorkerPool pool(4);
  // Bodies of each caller's batches; both non-zero at once means overlap.
  std::atomic<int> running[2] = {0, 0};
  std::atomic<bool> overlap{false};
  std::atomic<std::size_t> failures{0};
  auto caller = [&](int me) {
    for (int round = 0; round < 100; ++round) {
      std::vector<std::atomic<std::uint8_t>> visits(2000);
      pool.parallel_for(visits.size(), [&](std::size_t begin, std::size_t end) {
        running[me].fetch_add(1);
        if (running[1 - me].load() != 0) overlap = true;
        for (std::size_t i = begin; i < end; ++i) visits[i].fetch_add(1);
        running[me].fetch_sub(1);
      });
      for (auto& v : visits) failures += v.load() != 1;
    }
  };
  std::thread a(caller, 0), b(caller, 1);
  a.join();
  b.join();
  EXPECT_EQ(failures.load(), 0u);
  EXPECT_FALSE(overlap.load());
}

TEST(WorkerPool, BatchStartedFromAWorkerRunsInline) {
  WorkerPool pool(2);
  std::atomic<std::size_t> inner{0};
  pool.parallel_for(4, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i)
      pool.parallel_for(10, [&](std::size_t b, std::size_t e) { inner.fetch_add(e - b); });
  });
  EXPECT_EQ(inner.load(), 40u);
}

TEST(WorkerPool, MeanwhileRunsOnTheCallerWhileWorkersRun) {
  WorkerPool pool(2);
  const std::size_t n = 2000;
  std::vector<std::atomic<bool>> done(n);
  const auto caller = std::this_thread::get_id();
  std::thread::id meanwhile_thread;
  std::size_t consumed = 0;
  pool.parallel_for(
      n,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) done[i].store(true, std::memory_order_release);
      },
      [&] {
        meanwhile_thread = std::this_thread::get_id();
        // Consume in order as the workers publish, as a batch's reader does.
        for (std::size_t i = 0; i < n; ++i) {
          while (!done[i].load(std::memory_order_acquire)) std::this_thread::yield();
          ++consumed;
        }
      });
  EXPECT_EQ(meanwhile_thread, caller);
  EXPECT_EQ(consumed, n);
}

TEST(WorkerPool, MeanwhileFailureWaitsForTheWorkers) {
  WorkerPool pool(2);
  std::atomic<std::size_t> visited{0};
  EXPECT_THROW(pool.parallel_for(
                   1000,
                   [&](std::size_t begin, std::size_t end) {
                     std::this_thread::sleep_for(std::chrono::milliseconds(1));
                     visited.fetch_add(end - begin);
                   },
                   [] { throw std::runtime_error("reader failed"); }),
               std::runtime_error);
  // Nothing of the batch still runs once the exception arrives.
  EXPECT_EQ(visited.load(), 1000u);
}

// ---------------------------------------------------------------------------
// The process-wide pool and fork()

TEST(ProcessPool, IsCreatedOnceAndSizedFromTheEnvironment) {
  WorkerPool& pool = WorkerPool::instance();
  EXPECT_EQ(&pool, &WorkerPool::instance());
  EXPECT_EQ(pool.thread_count(), decide_thread_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                                                     available_parallelism()));
  run_and_check(pool, 1000);
  run_and_check(pool, 1000);
}

// Runs child() in a forked process that is killed by SIGALRM after
// `seconds`, and returns its wait status.
template <class F>
int in_child(F child, unsigned seconds = 20) {
  pid_t pid = fork();
  if (pid == 0) {
    alarm(seconds);
    int code = 99;
    try {
      code = child();
    } catch (...) {
    }
    _exit(code);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return status;
}

// Exit code 0 when a batch of n on the process pool visits every index once.
int child_batch(std::size_t n) {
  std::vector<std::atomic<std::uint8_t>> visits(n);
  WorkerPool::instance().parallel_for(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) visits[i].fetch_add(1);
  });
  for (auto& v : visits)
    if (v.load() != 1) return 3;
  return 0;
}

void expect_clean_exit(int status) {
  ASSERT_NE(status, -1);
  if (WIFSIGNALED(status)) {
    ADD_FAILURE() << "child killed by signal " << WTERMSIG(status)
                  << (WTERMSIG(status) == SIGALRM ? " (timed out)" : "");
    return;
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ProcessPool, ForkedChildBuildsItsOwnPool) {
  WorkerPool* parent = &WorkerPool::instance();
  run_and_check(*parent, 10000);
  expect_clean_exit(in_child([&] {
    WorkerPool& mine = WorkerPool::instance();
    // The parent's object is still allocated (leaked) here, so a fresh
    // pool cannot share its address.
    if (&mine == parent) return 1;
    if (&WorkerPool::instance() != &mine) return 2;
    if (int rc = child_batch(100000)) return rc;
    // And a grandchild does the same once more.
    int status = in_child([] { return child_batch(5000); });
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 4;
  }));
  run_and_check(*parent, 10000);  // the parent's pool is unaffected
}

TEST(ProcessPool, ChildForkedDuringABatchDoesNotInheritItsLocks) {
  WorkerPool& pool = WorkerPool::instance();
  std::atomic<bool> started{false}, release{false};
  std::thread batch([&] {
    pool.parallel_for(1000, [&](std::size_t, std::size_t) {
      started = true;
      while (!release.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
    });
  });
  while (!started.load()) std::this_thread::yield();
  // The batch thread holds the pool's batch lock and its workers are inside
  // the batch while we fork.
  int status = in_child([] { return child_batch(50000); });
  release = true;
  batch.join();
  expect_clean_exit(status);
}

TEST(ProcessPool, ChildReadsTheEnvironmentAfresh) {
  WorkerPool::instance();
  expect_clean_exit(in_child([] {
    setenv("RAYON_NUM_THREADS", "0", 1);
    setenv("RAYON_RS_NUM_CPUS", "3", 1);
    WorkerPool& pool = WorkerPool::instance();
    if (pool.thread_count() != 3) return 1;
    return child_batch(3000);
  }));
  expect_clean_exit(in_child([] {
    setenv("RAYON_NUM_THREADS", "1", 1);
    WorkerPool& pool = WorkerPool::instance();
    if (pool.thread_count() != 1) return 1;
    std::set<std::thread::id> ids;
    pool.parallel_for(100000, [&](std::size_t, std::size_t) { ids.insert(std::this_thread::get_id()); });
    if (ids.size() != 1 || *ids.begin() == std::this_thread::get_id()) return 2;
    return 0;
  }));
}

}  // namespace
}  // namespace gelvo
