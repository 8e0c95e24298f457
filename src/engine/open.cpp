// Opening a storage directory:
//   1. create the directory; finish a compaction interrupted after its
//      commit point
//   2. open and size offsets.bin, keys.bin, vals.bin; map offsets.bin
//   3. load snapshot.bin
//   4. replay wal.bin through put and remove; cut a torn tail
//   5. open wal.bin for appending
#include <fcntl.h>

#include <algorithm>
#include <limits>
#include <mutex>
#include <vector>

#include "engine/buffered_reader.h"
#include "engine/engine.h"
#include "engine/error.h"
#include "engine/format.h"
#include "engine/snapshot.h"
#include "engine/wal_entry.h"

namespace vantre {
namespace {

constexpr size_t kReplayBufferSize = 64 * 1024;

// Every store opened in this process, for FlushAllOpenStores().
std::mutex registry_mutex;
std::vector<std::pair<std::weak_ptr<StoreCell>, std::weak_ptr<WalCell>>> registry;

void Register(const OpenStore& open) {
  std::lock_guard<std::mutex> guard(registry_mutex);
  std::erase_if(registry, [](const auto& entry) { return entry.first.expired(); });
  registry.emplace_back(open.store, open.wal);
}

// A compaction that reached its commit point (snapshot.bin.vac, written and
// synced after the three compacted files) but was cut short while switching
// files is completed here: every compacted file still under its temporary
// name replaces its data file, then the snapshot replaces snapshot.bin.
void FinishInterruptedVacuum(const std::string& dir) {
  const std::string commit = JoinPath(dir, kSnapshotVacFile);
  if (!PathExists(commit)) return;
  const std::pair<const char*, const char*> moves[] = {
      {kKeysVacFile, kKeysFile}, {kValsVacFile, kValsFile}, {kOffsetsVacFile, kOffsetsFile}};
  for (const auto& [from, to] : moves) {
    const std::string src = JoinPath(dir, from);
    if (PathExists(src)) RenameFile(src, JoinPath(dir, to));
  }
  SyncDirectory(dir);
  RenameFile(commit, JoinPath(dir, kSnapshotFile));
  SyncDirectory(dir);
}

File OpenOrPanic(const std::string& path) {
  try {
    return File::Open(path, O_RDWR | O_CREAT);
  } catch (const Error& e) {
    Unwrap(e);
  }
}

uint64_t SizeOrPanic(const File& f) {
  try {
    return f.Size();
  } catch (const Error& e) {
    Unwrap(e);
  }
}

void LoadSnapshot(Store* store) {
  const std::string path = store->PathOf(kSnapshotFile);
  if (!PathExists(path)) return;
  File in = File::Open(path, O_RDONLY);
  // A snapshot that does not decode is ignored. A read error is reported:
  // going on without the snapshot would make its keys look deleted.
  std::optional<SnapshotData> snap = ReadSnapshot(in);
  if (!snap) return;
  store->key_index_ = std::move(snap->key_index);
  store->live_ = std::move(snap->live);
  store->dead_ = std::move(snap->dead);
  store->record_count_ = snap->record_count;
  store->keys_.SetEnd(snap->key_data_end);
  store->values_.SetEnd(snap->value_data_end);
  store->Grow();
}

// Applies every record of wal.bin that decodes, in order. Returns the
// length of the decoded prefix and whether decoding (not reading) stopped
// before the end of the file.
struct ReplayResult {
  uint64_t decoded_end = 0;
  bool torn = false;
};

ReplayResult ReplayLog(Store* store, const std::string& path) {
  ReplayResult result;
  if (!PathExists(path)) return result;
  File in = File::Open(path, O_RDONLY);
  const uint64_t size = in.Size();
  BufferedReader reader(&in, kReplayBufferSize);
  WalEntry entry;
  try {
    while (ReadWalEntry(&reader, &entry)) {
      if (entry.tag == WalTag::kPut) {
        store->Put(entry.key, entry.val, nullptr);
      } else {
        store->Remove(entry.key);
      }
      result.decoded_end = reader.position();
    }
  } catch (const Error&) {
    // A read error ends the replay; what follows is left as it is.
    return result;
  }
  result.torn = result.decoded_end < size;
  return result;
}

}  // namespace

OpenStore Open(const std::string& dir, uint64_t cache_capacity) {
  CreateDirectories(dir);
  FinishInterruptedVacuum(dir);

  File offsets = OpenOrPanic(JoinPath(dir, kOffsetsFile));
  File keys = OpenOrPanic(JoinPath(dir, kKeysFile));
  File values = OpenOrPanic(JoinPath(dir, kValsFile));
  const uint64_t offsets_size = SizeOrPanic(offsets);
  const uint64_t keys_size = SizeOrPanic(keys);
  const uint64_t values_size = SizeOrPanic(values);

  const uint64_t capacity = std::clamp<uint64_t>(offsets_size / kRecordSize, kMinRecordCapacity,
                                                 std::numeric_limits<uint32_t>::max());
  MemoryMap table;
  try {
    if (capacity * kRecordSize > offsets_size) offsets.Truncate(capacity * kRecordSize);
    table = MemoryMap::Map(offsets, std::max(offsets_size, capacity * kRecordSize));
  } catch (const Error& e) {
    Unwrap(e);
  }
  table.AdviseRandom();

  auto store = std::make_shared<StoreCell>(dir, std::move(offsets), std::move(table),
                                           static_cast<uint32_t>(capacity),
                                           DataFile(std::move(keys), keys_size),
                                           DataFile(std::move(values), values_size),
                                           cache_capacity);
  Store& s = store->store;
  LoadSnapshot(&s);

  const std::string wal_path = JoinPath(dir, kWalFile);
  const ReplayResult replay = ReplayLog(&s, wal_path);

  File log = File::Open(wal_path, O_WRONLY | O_APPEND | O_CREAT);
  // Records appended behind an undecodable tail would never be replayed:
  // cut the log back to the last record that decoded.
  if (replay.torn) log.Truncate(replay.decoded_end);
  const uint64_t log_size = log.Size();

  OpenStore result{std::move(store), std::make_shared<WalCell>(std::move(log), log_size)};
  Register(result);
  return result;
}

void FlushAllOpenStores() {
  std::vector<std::pair<std::shared_ptr<StoreCell>, std::shared_ptr<WalCell>>> open;
  {
    std::lock_guard<std::mutex> guard(registry_mutex);
    for (const auto& [s, w] : registry) {
      auto store = s.lock();
      auto wal = w.lock();
      if (store && wal) open.emplace_back(std::move(store), std::move(wal));
    }
  }
  for (auto& [store, wal] : open) {
    std::unique_lock<RwLock> store_lock(store->mutex, std::try_to_lock);
    if (!store_lock.owns_lock()) continue;
    std::unique_lock<RwLock> wal_lock(wal->mutex, std::try_to_lock);
    if (!wal_lock.owns_lock()) continue;
    try {
      store->store.FlushData();
    } catch (...) {
      // Ignoring any potential errors, as teardown does.
    }
    try {
      wal->wal.Flush();
    } catch (...) {
      // Ignoring any potential errors, as teardown does.
    }
  }
}

}  // namespace vantre
