// Opening a storage directory:
//   1. create the directory and take its lock; finish a compaction
//      interrupted after its commit point
//   2. open and size offsets.bin, keys.bin, vals.bin; map offsets.bin
//   3. load snapshot.bin
//   4. replay wal.bin through put and remove; cut a torn tail
//   5. open wal.bin for appending
#include <fcntl.h>

#include "engine/buffered_reader.h"
#include "engine/vacuum.h"
#include "engine/database.h"
#include "engine/error.h"
#include "engine/format.h"
#include "engine/snapshot.h"
#include "engine/wal_entry.h"

namespace vantre {
namespace {

constexpr size_t kReplayBufferSize = 64 * 1024;
constexpr char kDirectoryLockedText[] = "storage directory is locked by another open store";

// The directory's lock: an exclusive advisory lock on the directory itself,
// which is never replaced, held for the life of the Database.
File LockDirectory(const std::string& dir) {
  File d = File::Open(dir, O_RDONLY | O_DIRECTORY);
  if (!d.TryLockExclusive()) throw EngineError(ErrorKind::kWouldBlock, kDirectoryLockedText);
  return d;
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

void LoadSnapshot(Store* store, uint64_t offsets_size) {
  const std::string path = store->PathOf(kSnapshotFile);
  if (!PathExists(path)) return;
  File in = File::Open(path, O_RDONLY);
  // A snapshot that does not decode is ignored. A read error is reported:
  // going on without the snapshot would make its keys look deleted.
  std::optional<SnapshotData> snap = ReadSnapshot(in);
  if (!snap) return;
  store->Restore(std::move(*snap), offsets_size / kRecordSize);
}

// Applies every record of wal.bin that decodes, in order. Returns the
// length of the decoded prefix and whether decoding stopped before the end
// of the file. A read error is thrown, not taken for the end of the log:
// the records behind it would be lost, and cut off.
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
  while (ReadWalEntry(&reader, &entry)) {
    if (entry.tag == WalTag::kPut) {
      store->Put(entry.key, entry.val, nullptr);
    } else {
      store->Remove(entry.key);
    }
    result.decoded_end = reader.position();
  }
  result.torn = result.decoded_end < size;
  return result;
}

}  // namespace

std::shared_ptr<Database> Database::Open(const std::string& dir, uint64_t cache_capacity) {
  CreateDirectories(dir);
  File dir_lock = LockDirectory(dir);
  CompleteCompactionSwitch(dir);

  File offsets = OpenOrPanic(JoinPath(dir, kOffsetsFile));
  File keys = OpenOrPanic(JoinPath(dir, kKeysFile));
  File values = OpenOrPanic(JoinPath(dir, kValsFile));
  const uint64_t offsets_size = SizeOrPanic(offsets);
  const uint64_t keys_size = SizeOrPanic(keys);
  const uint64_t values_size = SizeOrPanic(values);

  RecordTable table;
  try {
    table = RecordTable::Open(std::move(offsets), offsets_size, kMinRecordCapacity);
  } catch (const Error& e) {
    Unwrap(e);
  }
  Store store(dir,
              StoreState{KeyIndex(), IdSet(), IdSet(), 0, std::move(table),
                         DataFile(std::move(keys), keys_size), DataFile(std::move(values), values_size)},
              cache_capacity);
  LoadSnapshot(&store, offsets_size);

  const std::string wal_path = JoinPath(dir, kWalFile);
  const ReplayResult replay = ReplayLog(&store, wal_path);

  File log = File::Open(wal_path, O_WRONLY | O_APPEND | O_CREAT);
  // Records appended behind an undecodable tail would never be replayed:
  // cut the log back to the last record that decoded.
  if (replay.torn) log.Truncate(replay.decoded_end);
  const uint64_t log_size = log.Size();

  std::shared_ptr<Database> db(
      new Database(std::move(dir_lock), std::move(store), std::move(log), log_size));
  Register(db);
  return db;
}

}  // namespace vantre
