// A reader-writer lock for the Store and the WalWriter, and the hook a
// caller runs before it blocks on one.
//
// Most calls find these locks free: a short call holds one for well under a
// microsecond, and an uncontended operating-system reader-writer lock costs
// more than the operations it guards. This one is a single atomic word: -1
// while held exclusively, otherwise the number of shared holders. A thread
// that finds it taken spins briefly, then runs the caller's WaitHook (the
// binding releases the interpreter lock there: see WaitHook), then sleeps in
// the kernel until a holder lets go. Persist and vacuum hold it in other
// threads for their short steps, so waits of a few milliseconds are real.
//
// Exclusive waiters that have gone to sleep keep new holders out, shared
// (but for shared holds taken again by their holder) and exclusive alike:
// the lock then goes to one of the sleepers when it is released. Without
// this, threads calling in a loop take it back before a woken sleeper runs,
// and a persist's or vacuum's step could wait for seconds.
//
// It is never poisoned: a holder that fails releases it as it unwinds (use it
// through std::unique_lock and std::shared_lock, or the Exclusive and Shared
// helpers below).
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
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "engine/util/error.h"

namespace vantre {

// What a caller's thread does just before it blocks on an engine lock that
// another thread holds: the binding releases the interpreter lock there, so
// that a thread holding the interpreter lock never waits for an engine lock
// held by a thread that waits for the interpreter lock. The Database also
// runs it before long work a short call meets (a handed-over write, a
// put's or delete's own write-out while buffers are handed over, which may
// wait for another thread's handed-over write, a rebuild of the key
// index), so that the program's other threads run meanwhile. Run on the
// calling thread, possibly while it holds engine locks, and possibly more
// than once per call: it must neither block nor take a lock nor throw.
struct WaitHook {
  void (*fn)(void*) = nullptr;
  void* arg = nullptr;

  void operator()() const {
    if (fn != nullptr) fn(arg);
  }
};

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

  void lock() { lock(WaitHook{}); }
  void lock(const WaitHook& wait) {
    if (!try_lock()) LockSlow(wait);
  }
  bool try_lock() {
    if (exclusive_sleepers_.load(std::memory_order_relaxed) != 0) return false;
    return TakeExclusive();
  }
  void unlock() {
    owner_.store(0, std::memory_order_relaxed);
    state_.exchange(0, std::memory_order_seq_cst);
    WakeSleepers();
  }

  void lock_shared() { lock_shared(WaitHook{}); }
  void lock_shared(const WaitHook& wait) {
    if (!try_lock_shared()) LockSharedSlow(wait);
  }
  bool try_lock_shared() {
    if (exclusive_sleepers_.load(std::memory_order_relaxed) != 0) return false;
    return TryShared();
  }
  void unlock_shared() {
    ForgetShared();
    if (state_.fetch_sub(1, std::memory_order_seq_cst) == 1) WakeSleepers();
  }

  // Whether some thread sleeps waiting for this lock: a holder that takes it
  // again and again in a loop (a maintenance step at a time) gives it up
  // until the sleeper had its turn.
  bool has_sleepers() const { return sleepers_.load(std::memory_order_relaxed) != 0; }

 private:
  // Spins before the hook and the sleep: a short call releases the lock
  // within this many tries.
  static constexpr int kSpins = 128;

  static uintptr_t ThisThread() {
    return reinterpret_cast<uintptr_t>(&rw_lock_internal::shared_holds);
  }
  [[noreturn]] static void Reentered() {
    throw EngineError(ErrorKind::kReentered,
                      "the store was re-entered: it was called while this thread was inside a "
                      "call on it (from a finalizer or callback run during that call)");
  }
  // Takes the lock if it is free, sleepers or not.
  bool TakeExclusive() {
    int32_t expected = 0;
    if (!state_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
      return false;
    }
    owner_.store(ThisThread(), std::memory_order_relaxed);
    return true;
  }
  bool TryShared() {
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
  // A releasing holder wakes the sleepers, if any. Its release of state_
  // and its read of sleepers_ are sequentially consistent, as are the
  // sleeper's count and its read of state_ (Sleep): one of the two sees the
  // other, so no sleeper misses the release. An exchange rather than a store
  // plus a fence: one instruction on x86.
  void WakeSleepers() {
    if (sleepers_.load(std::memory_order_seq_cst) != 0) state_.notify_all();
  }

  __attribute__((noinline)) void LockSlow(const WaitHook& wait) {
    if (HeldExclusivelyHere() || HeldSharedHere()) Reentered();
    for (int spins = 0; spins < kSpins; ++spins) {
      if (try_lock()) return;
      Pause();
    }
    wait();
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    exclusive_sleepers_.fetch_add(1, std::memory_order_relaxed);
    while (!TakeExclusive()) Sleep();
    exclusive_sleepers_.fetch_sub(1, std::memory_order_relaxed);
    sleepers_.fetch_sub(1, std::memory_order_relaxed);
  }
  __attribute__((noinline)) void LockSharedSlow(const WaitHook& wait) {
    if (HeldExclusivelyHere()) Reentered();
    // A hold taken again by its holder does not wait for exclusive waiters,
    // which wait for that holder.
    const bool again = HeldSharedHere();
    const auto attempt = [&] { return again ? TryShared() : try_lock_shared(); };
    for (int spins = 0; spins < kSpins; ++spins) {
      if (attempt()) return;
      Pause();
    }
    wait();
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    while (!attempt()) Sleep();
    sleepers_.fetch_sub(1, std::memory_order_relaxed);
  }
  // Sleeps while the lock stays held as it is now. A free lock that could
  // not be taken is held back for an exclusive waiter about to take it: the
  // thread only yields.
  void Sleep() {
    const int32_t seen = state_.load(std::memory_order_seq_cst);
    if (seen == 0) {
      std::this_thread::yield();
      return;
    }
    state_.wait(seen, std::memory_order_relaxed);
  }
  static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield");
#endif
  }

  std::atomic<int32_t> state_{0};
  // The exclusive holder's ThisThread(), or 0.
  std::atomic<uintptr_t> owner_{0};
  // Threads asleep in the kernel on state_, and the exclusive ones among
  // them.
  std::atomic<int32_t> sleepers_{0};
  std::atomic<int32_t> exclusive_sleepers_{0};
};

// The lock held exclusively, or shared, for a scope; `wait` runs before the
// calling thread blocks.
inline std::unique_lock<RwLock> Exclusive(RwLock& lock, const WaitHook& wait = {}) {
  lock.lock(wait);
  return std::unique_lock<RwLock>(lock, std::adopt_lock);
}
inline std::shared_lock<RwLock> Shared(RwLock& lock, const WaitHook& wait = {}) {
  lock.lock_shared(wait);
  return std::shared_lock<RwLock>(lock, std::adopt_lock);
}
// The same for a plain mutex.
inline std::unique_lock<std::mutex> Exclusive(std::mutex& lock, const WaitHook& wait = {}) {
  if (!lock.try_lock()) {
    wait();
    lock.lock();
  }
  return std::unique_lock<std::mutex>(lock, std::adopt_lock);
}

}  // namespace vantre

#endif  // VANTRE_ENGINE_RW_LOCK_H_
