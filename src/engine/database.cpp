#include "engine/database.h"

#include <mutex>

#include "engine/error.h"
#include "engine/persist.h"
#include "engine/vacuum.h"

namespace vantre {
namespace {

// Every Database opened in this process, for FlushAllOpen().
std::mutex registry_mutex;
std::vector<std::weak_ptr<Database>> registry;

}  // namespace

using StoreLock = std::unique_lock<RwLock>;
using SharedLock = std::shared_lock<RwLock>;

Database::Database(File dir_lock, Store store, File log, uint64_t log_size)
    : dir_lock_(std::move(dir_lock)), store_(std::move(store)), wal_(std::move(log), log_size) {}

Database::~Database() = default;

void Database::Register(const std::shared_ptr<Database>& db) {
  std::lock_guard<std::mutex> guard(registry_mutex);
  std::erase_if(registry, [](const std::weak_ptr<Database>& entry) { return entry.expired(); });
  registry.push_back(db);
}

void Database::Put(std::string_view key, Bytes val) {
  StoreLock store_lock(store_mutex_);
  StoreLock wal_lock(wal_mutex_);
  store_.Put(key, val, &wal_);
}

bool Database::Delete(std::string_view key) {
  StoreLock store_lock(store_mutex_);
  StoreLock wal_lock(wal_mutex_);
  // The log record first, whether or not the key is stored: a failure
  // leaves the store unchanged.
  try {
    wal_.AppendDelete(key);
  } catch (const Error& e) {
    Unwrap(e);
  }
  return store_.Remove(key);
}

uint64_t Database::Len() {
  SharedLock lock(store_mutex_);
  return store_.Len();
}

std::vector<std::string> Database::Keys() {
  SharedLock lock(store_mutex_);
  return store_.Keys();
}

Database::CacheStats Database::GetCacheStats() {
  SharedLock lock(store_mutex_);
  return {store_.cached(), store_.cache_capacity()};
}

void Database::ClearCache() {
  StoreLock lock(store_mutex_);
  store_.ClearCache();
}

void Database::FinishPendingSwitch() {
  if (!switch_pending_) return;
  CompleteCompactionSwitch(store_.dir());
  switch_pending_ = false;
}

void Database::Persist() {
  StoreLock store_lock(store_mutex_);
  FinishPendingSwitch();
  StoreLock wal_lock(wal_mutex_);
  PersistSnapshot(&store_, &wal_);
}

void Database::Vacuum() {
  StoreLock store_lock(store_mutex_);
  FinishPendingSwitch();
  StoreLock wal_lock(wal_mutex_);
  Compact(&store_, &wal_, &switch_pending_);
}

void Database::Flush() {
  StoreLock store_lock(store_mutex_);
  StoreLock wal_lock(wal_mutex_);
  store_.FlushData();
  wal_.Flush();
}

std::vector<FlushFailure> Database::FlushAllOpen() {
  std::vector<std::shared_ptr<Database>> open;
  {
    std::lock_guard<std::mutex> guard(registry_mutex);
    for (const auto& entry : registry) {
      if (auto db = entry.lock()) open.push_back(std::move(db));
    }
  }
  std::vector<FlushFailure> failures;
  for (const auto& db : open) {
    // A store busy in another thread is left to its own teardown.
    StoreLock store_lock(db->store_mutex_, std::try_to_lock);
    if (!store_lock.owns_lock()) continue;
    StoreLock wal_lock(db->wal_mutex_, std::try_to_lock);
    if (!wal_lock.owns_lock()) continue;
    try {
      db->store_.FlushData();
      db->wal_.Flush();
    } catch (const Error&) {
      failures.push_back({db->store_.dir(), std::current_exception()});
    }
  }
  return failures;
}

}  // namespace vantre
