// The store's lock refuses a thread that asks again for what it holds (the
// call would wait for itself), and only that thread.
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

}  // namespace
}  // namespace vantre
