// The store's lock refuses a thread that asks again for what it holds (the
// call would wait for itself), and only that thread; a thread that must
// wait runs its hook first (the binding releases the interpreter lock
// there), and waiting writers hold new readers back.
#include "engine/db/rw_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "engine/db/database.h"
#include "engine/util/error.h"
#include "test_util.h"

namespace vantre {
namespace {

void ExpectReentered(auto&& call) {
  try {
    call();
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::kReentered);
    EXPECT_NE(e.text().find("re-entered"), std::string::npos);
  }
}

TEST(RwLockTest, ConflictingRequestFromTheHolderFails) {
  RwLock lock;
  {
    std::unique_lock held(lock);
    ExpectReentered([&] { lock.lock(); });
    ExpectReentered([&] { lock.lock_shared(); });
  }
  {
    std::shared_lock held(lock);
    std::shared_lock again(lock);  // shared within shared waits for nobody
    ExpectReentered([&] { lock.lock(); });
  }
  // Released holds are forgotten.
  std::unique_lock exclusive(lock);
}

TEST(RwLockTest, OtherThreadsWaitForTheHolder) {
  RwLock lock;
  std::shared_lock mine(lock);  // held shared here: no bearing on the other thread
  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    std::shared_lock shared(lock);
    held = true;
    while (!release) std::this_thread::yield();
  });
  while (!held) std::this_thread::yield();
  mine.unlock();
  std::thread writer([&] { std::unique_lock exclusive(lock); });  // waits, no error
  release = true;
  holder.join();
  writer.join();
}

TEST(RwLockTest, StoreCalledFromInsideItsOwnGetFails) {
  test::TempDir tmp;
  auto db = Database::Open(tmp.Join("db"), 16);
  db->Put("k", AsBytes(std::string_view("v")));
  bool used = false;
  ASSERT_TRUE(db->Get("k", [&](Bytes) {
    used = true;
    ExpectReentered([&] { db->Get("k", [](Bytes) {}); });
    ExpectReentered([&] { db->Put("k", AsBytes(std::string_view("w"))); });
    ExpectReentered([&] { db->Len(); });
  }));
  EXPECT_TRUE(used);
  EXPECT_EQ(db->Len(), 1u);
  std::string value;
  db->Get("k", [&](Bytes v) { value.assign(reinterpret_cast<const char*>(v.data()), v.size()); });
  EXPECT_EQ(value, "v");
}

// Holds `lock` (exclusively, or shared) in another thread until released.
class Holder {
 public:
  Holder(RwLock* lock, bool shared) : thread_([this, lock, shared] {
    if (shared) {
      lock->lock_shared();
    } else {
      lock->lock();
    }
    held_ = true;
    while (!release_) std::this_thread::yield();
    if (shared) {
      lock->unlock_shared();
    } else {
      lock->unlock();
    }
  }) {
    while (!held_) std::this_thread::yield();
  }
  ~Holder() { Release(); }
  void Release() {
    release_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> held_{false};
  std::atomic<bool> release_{false};
  std::thread thread_;
};

struct CountingHook {
  std::atomic<int> calls{0};
  static void Run(void* self) { static_cast<CountingHook*>(self)->calls++; }
  WaitHook hook() { return {&Run, this}; }
};

TEST(RwLockTest, HookRunsOnlyBeforeTheThreadWaits) {
  RwLock lock;
  CountingHook hook;
  lock.lock(hook.hook());
  lock.unlock();
  lock.lock_shared(hook.hook());
  lock.unlock_shared();
  EXPECT_EQ(hook.calls, 0);  // free: nothing to wait for

  for (bool shared_holder : {false, true}) {
    Holder holder(&lock, shared_holder);
    std::atomic<bool> got{false};
    std::thread waiter([&] {
      lock.lock(hook.hook());
      got = true;
      lock.unlock();
    });
    while (hook.calls == 0) std::this_thread::yield();  // it ran the hook, then waits
    EXPECT_FALSE(got);
    holder.Release();
    waiter.join();
    EXPECT_TRUE(got);
    hook.calls = 0;
  }
}

TEST(RwLockTest, SleepingWriterHoldsNewReadersBack) {
  RwLock lock;
  Holder reader(&lock, /*shared=*/true);
  CountingHook writer_hook;
  std::atomic<bool> wrote{false};
  std::thread writer([&] {
    lock.lock(writer_hook.hook());
    wrote = true;
    lock.unlock();
  });
  while (writer_hook.calls == 0) std::this_thread::yield();
  while (!lock.has_sleepers()) std::this_thread::yield();
  // A new reader waits behind the writer, which waits for the first reader.
  CountingHook reader_hook;
  std::atomic<bool> read{false};
  std::thread late_reader([&] {
    lock.lock_shared(reader_hook.hook());
    read = true;
    EXPECT_TRUE(wrote);
    lock.unlock_shared();
  });
  while (reader_hook.calls == 0) std::this_thread::yield();
  EXPECT_FALSE(read);
  reader.Release();
  writer.join();
  late_reader.join();
  EXPECT_TRUE(read);
}

TEST(RwLockTest, SleepingWriterGetsTheLockBeforeNewComers) {
  // A thread calling in a loop must not take the lock back, free as it may
  // be for a moment, while a writer sleeps waiting for it.
  RwLock lock;
  Holder holder(&lock, /*shared=*/false);
  CountingHook hook;
  std::atomic<bool> has_it{false};
  std::atomic<bool> release{false};
  std::thread writer([&] {
    lock.lock(hook.hook());
    has_it = true;
    while (!release) std::this_thread::yield();
    lock.unlock();
  });
  while (!lock.has_sleepers()) std::this_thread::yield();
  holder.Release();
  while (!has_it) {
    const bool taken = lock.try_lock();
    EXPECT_FALSE(taken);
    if (taken) lock.unlock();
  }
  release = true;
  writer.join();
  EXPECT_TRUE(lock.try_lock());
  lock.unlock();
}

TEST(RwLockTest, SharedHoldTakenAgainDoesNotWaitForAWriter) {
  RwLock lock;
  std::shared_lock mine(lock);
  std::thread writer([&] { std::unique_lock exclusive(lock); });
  while (!lock.has_sleepers()) std::this_thread::yield();
  // Waiting for the writer here would wait for this thread's own hold.
  std::shared_lock again(lock);
  again.unlock();
  mine.unlock();
  writer.join();
}

}  // namespace
}  // namespace vantre
