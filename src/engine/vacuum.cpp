// Vacuum, in five stages:
//
// Copy survivors  the live records, in ascending id order, are copied into
//                 keys.bin.vac, vals.bin.vac and offsets.bin.vac and
//                 renumbered 0, 1, 2, ...; the files are synced and the new
//                 record table mapped. The new state is built aside.
//                 Crash or failure: the old files are intact; the .vac files
//                 are leftovers that the next vacuum truncates.
// Commit          the log is synced, then a snapshot of the new state is
//                 written to snapshot.bin.tmp, synced and renamed to
//                 snapshot.bin.vac, and the directory is synced. This is the
//                 commit point: from here on the switch is completed, by
//                 this call, by the next persist or vacuum, or by the next
//                 open. Failure before the rename: as in the copy stage.
// Switch files    the .vac files are renamed onto the data files, then
//                 snapshot.bin.vac onto snapshot.bin (CompleteCompaction-
//                 Switch). Crash: open completes it. Failure: the state is
//                 still switched (the directory is committed to it) and the
//                 failure reported; the switch is left pending.
// Switch state    the Store installs the new state as a whole; this cannot
//                 fail.
// Empty log       every record in the log, buffered or written, is covered
//                 by the new snapshot. Failure: reported; the log is replayed
//                 on top of the new snapshot at the next open, which gives
//                 the same state.
#include "engine/vacuum.h"

#include <fcntl.h>

#include <algorithm>
#include <exception>
#include <vector>

#include "engine/data_window.h"
#include "engine/error.h"
#include "engine/format.h"
#include "engine/key_hash.h"
#include "engine/snapshot.h"
#include "engine/utf8.h"

namespace vantre {
namespace {

[[noreturn]] void ShortFile() { throw EngineError(ErrorKind::kUnexpectedEof, kFillBufferText); }

// Opens a compaction file and empties it. A leftover name may still be a
// live data file (a switch that was never completed): it is never
// truncated.
File CreateCompactionFile(const Store& store, const char* name) {
  File f = File::Open(store.PathOf(name), O_RDWR | O_CREAT);
  const StoreState& s = store.state();
  if (f.SameFileAs(s.keys.file()) || f.SameFileAs(s.values.file()) ||
      f.SameFileAs(s.table.file())) {
    throw EngineError(ErrorKind::kInvalidInput, "compaction file is a live data file");
  }
  f.Truncate(0);
  return f;
}

// Fills `index` with a copy of the store's key index in which every id is
// replaced by its new id: the number of surviving ids below it. Returns
// false, leaving `index` unspecified, unless the key index names every
// survivor exactly once and nothing else.
bool RenumberedIndex(const StoreState& s, KeyIndex* index) {
  constexpr uint32_t kGone = UINT32_MAX;
  std::vector<uint32_t> new_id(s.record_count, kGone);
  uint32_t survivors = 0;
  for (uint32_t id : s.live) {
    if (id >= s.record_count) break;
    new_id[id] = survivors++;
  }
  if (s.key_index.size() != survivors) return false;
  *index = s.key_index;
  std::vector<bool> named(survivors, false);
  for (const KeyIndex::Entry& e : *index) {
    const uint32_t id = e.id < new_id.size() ? new_id[e.id] : kGone;
    if (id == kGone || named[id]) return false;
    named[id] = true;
    e.id = id;
  }
  return true;
}

// Stage 1. Throws OsError or EngineError; a failure to map the new record
// table, or a live record outside the old one, is Unrecoverable.
StoreState CopySurvivors(Store* store) {
  store->FlushData();
  const StoreState& cur = store->state();
  // Every survivor must lie inside the data files as they really are: a
  // file cut short under the store must not be copied as zeros.
  if (cur.keys.file().Size() < cur.keys.end() || cur.values.file().Size() < cur.values.end()) {
    ShortFile();
  }
  DataFile keys_out(CreateCompactionFile(*store, kKeysVacFile), 0);
  DataFile values_out(CreateCompactionFile(*store, kValsVacFile), 0);
  DataFile offsets_out(CreateCompactionFile(*store, kOffsetsVacFile), 0);

  // The new key index: the survivors keep their key hashes and take their
  // new ids. In a consistent store the key index names every survivor
  // exactly once, so renumbering a copy of it gives what hashing every key
  // read back from keys.bin would, without a hash and a random insert per
  // key. If it does not (a damaged snapshot, say), every key is hashed.
  KeyIndex index;
  const bool rehash = !RenumberedIndex(cur, &index);
  if (rehash) {
    index.clear();
    index.reserve(cur.key_index.size());
  }
  IdSet live;
  uint32_t next_id = 0;
  DataWindow keys_in(&cur.keys);
  DataWindow values_in(&cur.values);
  std::string key;
  for (uint32_t id : cur.live) {
    if (id >= cur.record_count) break;
    const Record rec = cur.table.At(id);
    if (rec.key_offset > cur.keys.end() || rec.key_length > cur.keys.end() - rec.key_offset ||
        rec.value_offset > cur.values.end() ||
        rec.value_length > cur.values.end() - rec.value_offset) {
      ShortFile();
    }
    const Bytes key_bytes = keys_in.Get(rec.key_offset, rec.key_length);
    Record out;
    out.key_offset = keys_out.Append(key_bytes);
    out.key_length = rec.key_length;
    if (rehash) {
      key.assign(AsText(key_bytes));
      const uint64_t hash = IsValidUtf8(key) ? KeyHash(key) : KeyHash(Utf8Lossy(key));
      index.insert_or_assign(hash, next_id);
    }
    out.value_offset = values_out.Append(values_in.Get(rec.value_offset, rec.value_length));
    out.value_length = rec.value_length;
    std::byte encoded[kRecordSize];
    EncodeRecord(encoded, out);
    offsets_out.Append(encoded);
    live.add(next_id);
    ++next_id;
  }
  keys_out.Sync();
  values_out.Sync();
  offsets_out.Flush();
  const uint64_t capacity = std::max(next_id, kMinRecordCapacity);
  File table_file = std::move(offsets_out.file());
  table_file.Truncate(capacity * kRecordSize);
  table_file.Sync();

  RecordTable table;
  try {
    table = RecordTable::Open(std::move(table_file), capacity * kRecordSize, kMinRecordCapacity);
  } catch (const Error& e) {
    Unwrap(e);
  }
  return StoreState{std::move(index), std::move(live), IdSet(), next_id,
                    std::move(table), std::move(keys_out), std::move(values_out)};
}

// Stage 2. Throws OsError or EngineError.
void Commit(const Store& store, WalWriter* wal, const StoreState& next) {
  // Until the log is emptied, a crash leaves both it and the new snapshot,
  // and the next open replays the log on top of the snapshot: the log must
  // hold every record the snapshot covers.
  wal->Sync();
  const std::string tmp = store.PathOf(kSnapshotTmpFile);
  File snap = File::Open(tmp, O_WRONLY | O_CREAT | O_TRUNC);
  WriteSnapshot(snap, next.key_index, next.live, next.dead, next.record_count, next.keys.end(),
                next.values.end(), MidwayFailure::kReport);
  snap.Sync();
  snap.Close();
  RenameFile(tmp, store.PathOf(kSnapshotVacFile));
  SyncDirectory(store.dir());
}

}  // namespace

void CompleteCompactionSwitch(const std::string& dir) {
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

void Compact(Store* store, WalWriter* wal, bool* switch_pending) {
  StoreState next = CopySurvivors(store);
  Commit(*store, wal, next);

  std::exception_ptr switch_failure;
  try {
    CompleteCompactionSwitch(store->dir());
  } catch (const Error&) {
    switch_failure = std::current_exception();
    *switch_pending = true;
  }

  store->Replace(std::move(next));
  wal->Reset();
  if (switch_failure) std::rethrow_exception(switch_failure);
}

}  // namespace vantre
