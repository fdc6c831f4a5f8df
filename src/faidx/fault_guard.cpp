#include "faidx/fault_guard.h"

#include <setjmp.h>
#include <signal.h>

#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace gelvo {

namespace {

// Read by the handler: static TLS, which needs no allocation on first use
// (the handler may be the first code of a thread to touch it).
__attribute__((tls_model("initial-exec"))) thread_local sigjmp_buf* tl_guard = nullptr;
// The address of the last fault handed on from this thread.
__attribute__((tls_model("initial-exec"))) thread_local void* tl_handed_on = nullptr;

struct sigaction previous_action;
std::mutex install_mutex;

void on_sigbus(int sig, siginfo_t* info, void* context);

bool is_ours(const struct sigaction& action) noexcept {
  return (action.sa_flags & SA_SIGINFO) && action.sa_sigaction == on_sigbus;
}

void on_sigbus(int sig, siginfo_t* info, void* context) {
  if (sigjmp_buf* guard = tl_guard) {
    tl_guard = nullptr;
    // SA_NODEFER left SIGBUS unblocked, so jumping out needs no mask repair.
    siglongjmp(*guard, 1);
  }
  // Not ours: hand it on. For the default action, restore it and return;
  // the faulting access runs again and takes that action. A handler that
  // returns without mending the fault (Python's, or faulthandler's once it
  // has reported) would see the same access fault forever: the second time
  // the default action takes over instead.
  if (tl_handed_on != nullptr && tl_handed_on == info->si_addr) {
    signal(SIGBUS, SIG_DFL);
    return;
  }
  tl_handed_on = info->si_addr;
  if (previous_action.sa_flags & SA_SIGINFO) {
    previous_action.sa_sigaction(sig, info, context);
  } else if (previous_action.sa_handler != SIG_DFL && previous_action.sa_handler != SIG_IGN) {
    previous_action.sa_handler(sig);
  } else {
    signal(SIGBUS, SIG_DFL);
  }
}

}  // namespace

void install_fault_handler() noexcept {
  struct sigaction current;
  if (sigaction(SIGBUS, nullptr, &current) != 0 || is_ours(current)) return;
  std::lock_guard<std::mutex> lock(install_mutex);
  if (sigaction(SIGBUS, nullptr, &current) != 0 || is_ours(current)) return;
  struct sigaction ours;
  std::memset(&ours, 0, sizeof ours);
  ours.sa_sigaction = on_sigbus;
  ours.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&ours.sa_mask);
  previous_action = current;
  sigaction(SIGBUS, &ours, nullptr);
}

void refresh_fault_handler() noexcept {
  static std::atomic<std::int64_t> last_tick{-1};
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) != 0) return install_fault_handler();
  const std::int64_t tick = std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
  if (last_tick.load(std::memory_order_relaxed) == tick) return;
  last_tick.store(tick, std::memory_order_relaxed);
  install_fault_handler();
}

bool run_guarded(void (*fn)(void*), void* context) noexcept {
  sigjmp_buf guard;
  if (sigsetjmp(guard, 0) != 0) return false;
  tl_guard = &guard;
  fn(context);
  tl_guard = nullptr;
  return true;
}

bool guarded_extract_from_mmap(const Mapping& mapping, const IndexEntry& entry, std::size_t s, std::size_t count,
                               char* dst, std::size_t* got, bool* plain) noexcept {
  sigjmp_buf guard;
  // No mask is saved (0): saving it costs a system call per fetch.
  if (sigsetjmp(guard, 0) != 0) return false;
  tl_guard = &guard;
  *got = extract_sequence_from_mmap(mapping, entry, s, count, dst, plain);
  tl_guard = nullptr;
  return true;
}

}  // namespace gelvo
