// Opening a storage directory:
//   1. create the directory, open it and take its lock; finish a vacuum
//      interrupted after its commit point
//   2. decode snapshot.bin, refusing one that does not decode before any
//      file is created or changed
//   3. open and size offsets.bin, keys.bin, vals.bin; map offsets.bin
//   4. build the state from the snapshot, or empty
//   5. replay wal.bin through put and delete; move a torn tail aside
//   6. open wal.bin for appending
#include <fcntl.h>

#include <array>

#include "engine/io/buffered_reader.h"
#include "engine/db/database.h"
#include "engine/util/error.h"
#include "engine/format/format.h"
#include "engine/format/snapshot.h"
#include "engine/db/vacuum.h"
#include "engine/format/wal_entry.h"

namespace vantre {
namespace {

constexpr size_t kReplayBufferSize = 64 * 1024;
constexpr char kDirectoryLockedText[] = "storage directory is locked by another open store";

// The snapshot to start from, or nothing without snapshot.bin. One that
// does not decode is refused: ignoring it would open a store without every
// key that the log does not repeat, and the next persist would make that
// loss permanent.
std::optional<SnapshotData> LoadSnapshot(const StoreDir& dir) {
  if (!dir.Exists(kSnapshotFile)) return std::nullopt;
  File in = dir.OpenFile(kSnapshotFile, O_RDONLY);
  std::optional<SnapshotData> snap = ReadSnapshot(in);
  if (!snap) {
    const std::string path = dir.PathOf(kSnapshotFile);
    throw Error::Damaged(path, path +
                                   " is damaged and does not decode; the store was not opened "
                                   "and nothing was changed. Run `vantre check " +
                                   dir.path() + "` to inspect it and `vantre recover " +
                                   dir.path() + " NEW_DIR` to copy what can be read");
  }
  return snap;
}

// Opens the three data files for reading and writing. Files that exist are
// opened before any missing one is created, so that a store whose files
// cannot be opened (read-only files or mount) is left exactly as it was.
std::array<File, 3> OpenDataFiles(const StoreDir& dir) {
  const std::array<const char*, 3> names = {kOffsetsFile, kKeysFile, kValsFile};
  std::array<File, 3> files;
  for (size_t i = 0; i < names.size(); ++i) {
    try {
      files[i] = dir.OpenFile(names[i], O_RDWR);
    } catch (const OsError& e) {
      if (e.code() != ENOENT) throw;
    }
  }
  for (size_t i = 0; i < names.size(); ++i) {
    if (!files[i].is_open()) files[i] = dir.OpenFile(names[i], O_RDWR | O_CREAT);
  }
  return files;
}

// The state open starts from: the snapshot's elements, as they are. A
// snapshot whose records lie past the data files or outside the table is
// not refused: only the keys such records hold fail, when they are read.
StoreState InitialState(std::optional<SnapshotData> snap, RecordTable table, File keys,
                        uint64_t keys_size, File values, uint64_t values_size) {
  if (!snap) {
    return StoreState{KeyIndex(), IdSet(), IdSet(), 0, std::move(table),
                      DataFile(std::move(keys), keys_size), DataFile(std::move(values), values_size)};
  }
  DataFile key_data(std::move(keys), keys_size);
  DataFile value_data(std::move(values), values_size);
  key_data.SetEnd(snap->key_data_end);
  value_data.SetEnd(snap->value_data_end);
  return StoreState{std::move(snap->key_index), std::move(snap->live), std::move(snap->dead),
                    snap->record_count,         std::move(table),      std::move(key_data),
                    std::move(value_data)};
}

// Applies every record of wal.bin that decodes, in order. Returns the
// length of the decoded prefix and whether decoding stopped before the end
// of the file. A read error is thrown, not taken for the end of the log:
// the records behind it would be lost, and cut off.
struct ReplayResult {
  uint64_t decoded_end = 0;
  bool torn = false;
};

ReplayResult ReplayLog(Store* store, const StoreDir& dir) {
  ReplayResult result;
  if (!dir.Exists(kWalFile)) return result;
  File in = dir.OpenFile(kWalFile, O_RDONLY);
  const uint64_t size = in.Size();
  BufferedReader reader(&in, kReplayBufferSize);
  WalEntry entry;
  while (ReadWalEntry(&reader, &entry)) {
    if (entry.tag == WalTag::kPut) {
      Fatal([&] { store->ReplayPut(entry.key, entry.val); });
    } else {
      store->Delete(entry.key);
    }
    result.decoded_end = reader.position();
  }
  result.torn = result.decoded_end < size;
  return result;
}

}  // namespace

std::shared_ptr<Database> Database::Open(const std::string& path, uint64_t cache_capacity) {
  CreateDirectories(path);
  StoreDir dir = StoreDir::Open(path);
  if (!dir.TryLock()) throw EngineError(ErrorKind::kWouldBlock, kDirectoryLockedText, path);
  CompleteVacuumSwitch(dir);
  std::optional<SnapshotData> snap = LoadSnapshot(dir);

  auto [offsets, keys, values] = Fatal([&] { return OpenDataFiles(dir); });
  const uint64_t offsets_size = Fatal([&] { return offsets.Size(); });
  const uint64_t keys_size = Fatal([&] { return keys.Size(); });
  const uint64_t values_size = Fatal([&] { return values.Size(); });
  RecordTable table = Fatal(
      [&] { return RecordTable::Open(std::move(offsets), offsets_size, kMinRecordCapacity); });
  // A record count that has reached the table doubles it once, as a put
  // would; one beyond twice the table is left for the puts to refuse.
  const uint32_t record_count = snap ? snap->record_count : 0;
  if (record_count >= table.capacity() && record_count / 2 < table.capacity()) {
    Fatal([&] { table.Prepare(record_count); });
  }
  Store store(InitialState(std::move(snap), std::move(table), std::move(keys), keys_size,
                           std::move(values), values_size),
              cache_capacity);

  const ReplayResult replay = ReplayLog(&store, dir);
  File log = dir.OpenFile(kWalFile, O_WRONLY | O_APPEND | O_CREAT);
  // Records appended behind an undecodable tail would never be replayed:
  // cut the log back to the last record that decoded.
  if (replay.torn) log.Truncate(replay.decoded_end);
  const uint64_t log_size = log.Size();

  std::shared_ptr<Database> db(
      new Database(std::move(dir), std::move(store), std::move(log), log_size));
  Register(db);
  return db;
}

}  // namespace vantre
