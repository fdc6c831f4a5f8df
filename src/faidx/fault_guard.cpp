#include "faidx/fault_guard.h"

#include <setjmp.h>
#include <signal.h>

#include <cstring>
#include <mutex>

namespace gelvo {

namespace {

thread_local sigjmp_buf* tl_guard = nullptr;

struct sigaction previous_action;
std::mutex install_mutex;

void on_sigbus(int sig, siginfo_t* info, void* context) {
  if (sigjmp_buf* guard = tl_guard) {
    tl_guard = nullptr;
    // SA_NODEFER left SIGBUS unblocked, so jumping out needs no mask repair.
    siglongjmp(*guard, 1);
  }
  // Not ours: hand it on. For the default action, restore it and return;
  // the faulting access runs again and takes that action.
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
  std::lock_guard<std::mutex> lock(install_mutex);
  struct sigaction current;
  if (sigaction(SIGBUS, nullptr, &current) != 0) return;
  if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == on_sigbus) return;
  struct sigaction ours;
  std::memset(&ours, 0, sizeof ours);
  ours.sa_sigaction = on_sigbus;
  ours.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&ours.sa_mask);
  previous_action = current;
  sigaction(SIGBUS, &ours, nullptr);
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
