// A reader-writer lock for the Store and the WalWriter.
//
// Callers of the store hold the interpreter's global lock, so in practice
// these locks are never contended, and an uncontended operating-system
// reader-writer lock costs far more than the operations it guards. This one
// is a single atomic word: -1 while held exclusively, otherwise the number
// of shared holders. A waiting thread spins briefly, then yields. It is
// never poisoned: a holder that fails releases it as it unwinds (use it
// through std::unique_lock and std::shared_lock).
#ifndef VANTRE_ENGINE_RW_LOCK_H_
#define VANTRE_ENGINE_RW_LOCK_H_

#include <atomic>
#include <cstdint>
#include <thread>

namespace vantre {

class RwLock {
 public:
  RwLock() = default;
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock() {
    for (int spins = 0; !try_lock(); ++spins) Pause(spins);
  }
  bool try_lock() {
    int32_t expected = 0;
    return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void unlock() { state_.store(0, std::memory_order_release); }

  void lock_shared() {
    for (int spins = 0; !try_lock_shared(); ++spins) Pause(spins);
  }
  bool try_lock_shared() {
    int32_t n = state_.load(std::memory_order_relaxed);
    while (n >= 0) {
      if (state_.compare_exchange_weak(n, n + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return true;
      }
    }
    return false;
  }
  void unlock_shared() { state_.fetch_sub(1, std::memory_order_release); }

 private:
  static void Pause(int spins) {
    if (spins >= 64) std::this_thread::yield();
  }

  std::atomic<int32_t> state_{0};
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_RW_LOCK_H_
