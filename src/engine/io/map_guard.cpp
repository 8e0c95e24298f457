#include "engine/io/map_guard.h"

#include <setjmp.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace vantre {
namespace {

// Where a fault inside a guarded access on this thread returns to; null
// outside one. Initial-exec: the handler must not reach the general TLS
// lookup of a module loaded at run time, which may allocate.
thread_local sigjmp_buf* guard_target __attribute__((tls_model("initial-exec"))) = nullptr;

// The action found in place when the handler was (re)installed, which
// faults outside guarded accesses go to. Installs are rare and serialised
// by install_mutex; each writes the next slot and then publishes it, so the
// handler always reads a whole action.
constexpr int kSlots = 8;
struct sigaction previous_actions[kSlots];
std::atomic<int> previous_slot{-1};
std::mutex install_mutex;
// Set while a fault outside a guarded access is handed on: a handler that
// hands the signal back to this one (it saved this one as its own
// previous action) ends in the default action instead of a loop.
std::atomic<int> handing_on{0};

void OnBusError(int sig, siginfo_t* info, void* context);

bool IsOurs(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == OnBusError;
}

// Installs `action` and lets the signal take it: a fault runs its access
// again on return, a signal sent by a process is raised again.
void Resend(int sig, const siginfo_t* info, const struct sigaction& action) {
  ::sigaction(sig, &action, nullptr);
  if (info == nullptr || info->si_code <= 0) ::raise(sig);
}

void ResetToDefault(int sig, const siginfo_t* info) {
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  Resend(sig, info, dfl);
}

void OnBusError(int sig, siginfo_t* info, void* context) {
  if (sigjmp_buf* target = guard_target) {
    guard_target = nullptr;
    siglongjmp(*target, 1);
  }
  // Not ours: hand it to whoever had it before.
  const int slot = previous_slot.load(std::memory_order_acquire);
  if (slot < 0 || handing_on.exchange(1, std::memory_order_acq_rel) != 0) {
    // Nothing to hand on to, or it came back: the default action ends the
    // process as it would have without us.
    ResetToDefault(sig, info);
    return;
  }
  const struct sigaction& previous = previous_actions[slot];
  if (previous.sa_flags & SA_SIGINFO) {
    if (!IsOurs(previous)) previous.sa_sigaction(sig, info, context);
    else ResetToDefault(sig, info);
  } else if (previous.sa_handler != SIG_IGN && previous.sa_handler != SIG_DFL) {
    previous.sa_handler(sig);
  } else {
    Resend(sig, info, previous);
  }
  handing_on.store(0, std::memory_order_release);
}

// Puts the handler back in front if another one replaced it, keeping that
// one as the action to hand other faults to.
void EnsureInstalled() {
  struct sigaction current;
  if (::sigaction(SIGBUS, nullptr, &current) != 0 || IsOurs(current)) return;
  std::lock_guard<std::mutex> lock(install_mutex);
  if (::sigaction(SIGBUS, nullptr, &current) != 0 || IsOurs(current)) return;
  const int slot = (previous_slot.load(std::memory_order_relaxed) + 1) % kSlots;
  previous_actions[slot] = current;
  previous_slot.store(slot, std::memory_order_release);
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = OnBusError;
  action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, nullptr);
}

// A record-table access re-checks the handler when this long has passed
// since the last check: asking the kernel costs more than a cached read
// itself. (The store reads a record before the data it locates, so the
// data files' accesses need not check.)
constexpr int64_t kRecheckNanos = 2'000'000;
std::atomic<int64_t> last_check{INT64_MIN / 2};

int64_t CoarseNow() {
  struct timespec ts;
  if (::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) != 0) return INT64_MAX / 2;
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void RecheckIfDue() {
  const int64_t now = CoarseNow();
  if (now - last_check.load(std::memory_order_relaxed) < kRecheckNanos) return;
  last_check.store(now, std::memory_order_relaxed);
  EnsureInstalled();
}

// Runs `op` with the guard armed, first re-checking the handler's place if
// `kRecheck` and it is due. The jump buffer does not save the signal
// mask (no system call per access); SA_NODEFER keeps SIGBUS unblocked inside
// the handler, so nothing needs restoring after the jump. Nothing between
// sigsetjmp and the end of `op` may own resources: a fault abandons them.
template <bool kRecheck, typename Op>
__attribute__((noinline)) bool Guarded(Op op) {
  if constexpr (kRecheck) RecheckIfDue();
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
  last_check.store(CoarseNow(), std::memory_order_relaxed);
  EnsureInstalled();
}

bool GuardedCopy(void* dst, const void* src, size_t n) {
  if (n == 0) return true;
  return Guarded<false>([=] { std::memcpy(dst, src, n); });
}

template <size_t N>
bool GuardedCopyFixed(void* dst, const void* src) {
  return Guarded<true>([=] { std::memcpy(dst, src, N); });
}
template bool GuardedCopyFixed<24>(void* dst, const void* src);

bool GuardedGather(void* dst, const void* const* sources, size_t count, size_t each) {
  return Guarded<true>([=] {
    auto* out = static_cast<std::byte*>(dst);
    for (size_t i = 0; i < count; ++i, out += each) std::memcpy(out, sources[i], each);
  });
}

int GuardedEqual(const void* mapped, const void* other, size_t n) {
  if (n == 0) return 1;
  volatile int equal = 0;
  if (!Guarded<false>([&] { equal = std::memcmp(mapped, other, n) == 0; })) return -1;
  return equal;
}

}  // namespace vantre
