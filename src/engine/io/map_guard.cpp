#include "engine/io/map_guard.h"

#include <setjmp.h>
#include <signal.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace vantre {
namespace {

// Where a fault inside a guarded access returns to; null outside one.
thread_local sigjmp_buf* guard_target = nullptr;
struct sigaction previous_action;

void OnBusError(int sig, siginfo_t* info, void* context) {
  if (sigjmp_buf* target = guard_target) {
    guard_target = nullptr;
    siglongjmp(*target, 1);
  }
  // Not ours: hand it to whoever had it before.
  if (previous_action.sa_flags & SA_SIGINFO) {
    previous_action.sa_sigaction(sig, info, context);
  } else if (previous_action.sa_handler != SIG_IGN && previous_action.sa_handler != SIG_DFL) {
    previous_action.sa_handler(sig);
  } else {
    // Reinstate the default action; the faulting access runs again and
    // ends the process as it would have without us.
    ::sigaction(SIGBUS, &previous_action, nullptr);
  }
}

// Runs `op` with the guard armed. The jump buffer does not save the signal
// mask (no system call per access); SA_NODEFER keeps SIGBUS unblocked inside
// the handler, so nothing needs restoring after the jump. Nothing between
// sigsetjmp and the end of `op` may own resources: a fault abandons them.
template <typename Op>
__attribute__((noinline)) bool Guarded(Op op) {
  sigjmp_buf target;
  if (sigsetjmp(target, 0) != 0) return false;
  guard_target = &target;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  op();
  std::atomic_signal_fence(std::memory_order_seq_cst);
  guard_target = nullptr;
  return true;
}

}  // namespace

void InstallMapGuard() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &previous_action);
  });
}

bool GuardedCopy(void* dst, const void* src, size_t n) {
  if (n == 0) return true;
  return Guarded([=] { std::memcpy(dst, src, n); });
}

int GuardedEqual(const void* mapped, const void* other, size_t n) {
  if (n == 0) return 1;
  volatile int equal = 0;
  if (!Guarded([&] { equal = std::memcmp(mapped, other, n) == 0; })) return -1;
  return equal;
}

}  // namespace vantre
