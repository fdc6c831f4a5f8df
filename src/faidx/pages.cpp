#include "faidx/pages.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <iterator>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace gelvo {

Pages Pages::allocate(std::size_t size) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::size_t rounded;
  if (__builtin_add_overflow(size == 0 ? 1 : size, page - 1, &rounded)) throw std::bad_alloc();
  rounded -= rounded % page;
  void* data = ::mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (data == MAP_FAILED) throw std::bad_alloc();
  return Pages(static_cast<char*>(data), rounded);
}

Pages::~Pages() {
  if (data_ != nullptr) ::munmap(data_, size_);
}

namespace {

using Clock = std::chrono::steady_clock;

// The cache's state. One per process, never destroyed: the reaper thread
// may outlive static destruction.
struct CacheState {
  std::mutex mutex;
  std::condition_variable wake;            // the reaper: something was kept
  std::multimap<std::size_t, Pages> kept;  // by size
  std::size_t kept_bytes = 0;
  Clock::time_point last_use;
  bool reaper_running = false;
  bool reaper_failed = false;
};

CacheState& state() {
  static CacheState* s = [] {
    auto* created = new CacheState();
    // A fork while another thread holds the mutex would leave the child's
    // copy locked for good: fork waits for it instead. The child has no
    // reaper, and its copy of the condition variable may still count the
    // parent's reaper as a waiter, so both are made anew there.
    pthread_atfork([] { state().mutex.lock(); }, [] { state().mutex.unlock(); },
                   [] {
                     CacheState& child = state();
                     child.reaper_running = false;
                     new (&child.wake) std::condition_variable();
                     new (&child.mutex) std::mutex();
                   });
    return created;
  }();
  return *s;
}

// Frees everything kept once the cache has been idle for kIdle.
void reap() {
  CacheState& s = state();
  const auto idle = std::chrono::milliseconds(PageCache::kIdleMilliseconds);
  std::unique_lock lock(s.mutex);
  for (;;) {
    s.wake.wait(lock, [&] { return !s.kept.empty(); });
    if (s.wake.wait_until(lock, s.last_use + idle, [&] { return Clock::now() >= s.last_use + idle; })) {
      std::multimap<std::size_t, Pages> freed;
      freed.swap(s.kept);
      s.kept_bytes = 0;
      lock.unlock();
      freed.clear();  // munmap, outside the lock
      lock.lock();
    }
  }
}

// Starts the reaper once per process (under the mutex). Its signals are
// blocked, like the worker pool's, so they keep going where the host
// process expects them.
bool ensure_reaper(CacheState& s) {
  if (s.reaper_running) return true;
  if (s.reaper_failed) return false;
  sigset_t all, saved;
  sigfillset(&all);
  for (int fault : {SIGBUS, SIGSEGV, SIGFPE, SIGILL}) sigdelset(&all, fault);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  try {
    std::thread(reap).detach();
    s.reaper_running = true;
  } catch (...) {
    s.reaper_failed = true;  // then nothing is kept
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return s.reaper_running;
}

}  // namespace

PageCache& PageCache::instance() {
  static PageCache cache;
  state();  // the fork handlers are in place before any thread uses it
  return cache;
}

Pages PageCache::take(std::size_t size) {
  {
    CacheState& s = state();
    std::lock_guard lock(s.mutex);
    s.last_use = Clock::now();
    auto fits = s.kept.lower_bound(size);  // the smallest that is large enough
    if (fits != s.kept.end() && fits->first / 2 <= size) {
      Pages pages = std::move(fits->second);
      s.kept_bytes -= fits->first;
      s.kept.erase(fits);
      return pages;
    }
  }
  return Pages::allocate(size);
}

void PageCache::give_back(Pages pages) noexcept {
  if (!pages || pages.size() > kKeptBytes) return;
  CacheState& s = state();
  std::unique_lock lock(s.mutex);
  if (!ensure_reaper(s)) return;
  s.last_use = Clock::now();
  s.kept_bytes += pages.size();
  try {
    s.kept.emplace(pages.size(), std::move(pages));
  } catch (...) {
    s.kept_bytes -= pages.size();
    return;
  }
  std::vector<Pages> dropped;  // the smallest go first; freed outside the lock
  while (s.kept_bytes > kKeptBytes) {
    s.kept_bytes -= s.kept.begin()->first;
    try {
      dropped.push_back(std::move(s.kept.begin()->second));
    } catch (...) {
    }
    s.kept.erase(s.kept.begin());
  }
  s.wake.notify_one();
  lock.unlock();
}

std::size_t PageCache::kept_bytes() const noexcept {
  CacheState& s = state();
  std::lock_guard lock(s.mutex);
  return s.kept_bytes;
}

}  // namespace gelvo
