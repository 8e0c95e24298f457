// A reader-writer lock for the Store and the WalWriter.
//
// Callers of the store hold the interpreter's global lock, so in practice
// these locks are never contended, and an uncontended operating-system
// reader-writer lock costs far more than the operations it guards. This one
// is a single atomic word: -1 while held exclusively, otherwise the number
// of shared holders. A waiting thread spins briefly, then yields. It is
// never poisoned: a holder that fails releases it as it unwinds (use it
// through std::unique_lock and std::shared_lock).
//
// A thread that asks for a lock it already holds in a conflicting way (a
// finalizer run by an allocation made while the lock is held, calling the
// same store) would wait for itself forever; it gets EngineError
// (kReentered) at once instead. The lock records its exclusive holder, and
// each thread the locks it holds shared (the first kTrackedShared of them;
// a hold beyond those is not recognised and waits as before). Only a
// failed first attempt looks at either, so the uncontended path costs one
// extra store.
#ifndef VANTRE_ENGINE_RW_LOCK_H_
#define VANTRE_ENGINE_RW_LOCK_H_

#include <atomic>
#include <cstdint>
#include <thread>

#include "engine/util/error.h"

namespace vantre {

namespace rw_lock_internal {

inline constexpr int kTrackedShared = 4;

// The locks this thread holds shared; its address also names the thread.
// Initial-exec: the module is loaded at run time, and the general model's
// lookup may allocate.
struct SharedHolds {
  const void* locks[kTrackedShared];
  int count;
};
inline thread_local SharedHolds shared_holds __attribute__((tls_model("initial-exec")));

}  // namespace rw_lock_internal

class RwLock {
 public:
  RwLock() = default;
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock() {
    if (!try_lock()) LockSlow();
  }
  bool try_lock() {
    int32_t expected = 0;
    if (!state_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
      return false;
    }
    owner_.store(ThisThread(), std::memory_order_relaxed);
    return true;
  }
  void unlock() {
    owner_.store(0, std::memory_order_relaxed);
    state_.store(0, std::memory_order_release);
  }

  void lock_shared() {
    if (!try_lock_shared()) LockSharedSlow();
  }
  bool try_lock_shared() {
    int32_t n = state_.load(std::memory_order_relaxed);
    while (n >= 0) {
      if (state_.compare_exchange_weak(n, n + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        NoteShared();
        return true;
      }
    }
    return false;
  }
  void unlock_shared() {
    ForgetShared();
    state_.fetch_sub(1, std::memory_order_release);
  }

 private:
  static uintptr_t ThisThread() {
    return reinterpret_cast<uintptr_t>(&rw_lock_internal::shared_holds);
  }
  [[noreturn]] static void Reentered() {
    throw EngineError(ErrorKind::kReentered,
                      "the store was re-entered: it was called while this thread was inside a "
                      "call on it (from a finalizer or callback run during that call)");
  }
  bool HeldExclusivelyHere() const {
    return owner_.load(std::memory_order_relaxed) == ThisThread();
  }
  bool HeldSharedHere() const {
    const auto& holds = rw_lock_internal::shared_holds;
    for (int i = 0; i < holds.count; ++i) {
      if (holds.locks[i] == this) return true;
    }
    return false;
  }
  void NoteShared() const {
    auto& holds = rw_lock_internal::shared_holds;
    if (holds.count < rw_lock_internal::kTrackedShared) holds.locks[holds.count++] = this;
  }
  void ForgetShared() const {
    auto& holds = rw_lock_internal::shared_holds;
    for (int i = holds.count - 1; i >= 0; --i) {
      if (holds.locks[i] == this) {
        holds.locks[i] = holds.locks[--holds.count];
        return;
      }
    }
  }

  __attribute__((noinline)) void LockSlow() {
    if (HeldExclusivelyHere() || HeldSharedHere()) Reentered();
    for (int spins = 0; !try_lock(); ++spins) Pause(spins);
  }
  __attribute__((noinline)) void LockSharedSlow() {
    if (HeldExclusivelyHere()) Reentered();
    for (int spins = 0; !try_lock_shared(); ++spins) Pause(spins);
  }
  static void Pause(int spins) {
    if (spins >= 64) std::this_thread::yield();
  }

  std::atomic<int32_t> state_{0};
  // The exclusive holder's ThisThread(), or 0.
  std::atomic<uintptr_t> owner_{0};
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_RW_LOCK_H_
