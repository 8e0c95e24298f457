// Read-only inspection of a storage directory: the state that opening it
// would rebuild (snapshot.bin, then wal.bin replayed on top), its figures,
// a verification of every live record, and the live entries in id order.
//
// Nothing here writes, creates, renames or locks a file: every file is
// opened O_RDONLY and a missing one is reported, never created, so the
// inspection can run beside a process that has the store open. A
// compaction interrupted after its commit point (snapshot.bin.vac present)
// is inspected as open would complete it: each data file that still has a
// .vac copy is read from that copy, and the snapshot from snapshot.bin.vac.
//
// Where a live record's bytes are: ids below the snapshot's record count
// have their record in offsets.bin and their bytes in keys.bin and
// vals.bin; ids from there on are made by replaying the log, and their key
// and value bytes are read from wal.bin itself, where the replay takes
// them from. The log is decoded by the routine open uses (log_replay.h).
//
// The work is split by job: rebuild.cpp (the state open would rebuild),
// verify.cpp (record checks and reading entries), recover.cpp (what
// `vantre recover` copies).
#ifndef VANTRE_ENGINE_CHECK_H_
#define VANTRE_ENGINE_CHECK_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/check/read_source.h"
#include "engine/format/format.h"
#include "engine/format/wal_entry.h"
#include "engine/format/id_set.h"
#include "engine/io/missing_ranges.h"
#include "engine/io/store_dir.h"
#include "engine/state/key_index.h"

namespace vantre {

struct DirectoryFigures {
  uint64_t live_keys = 0;
  uint64_t records = 0;          // record count after the log is replayed
  uint64_t dead_records = 0;     // superseded or deleted records
  uint64_t record_capacity = 0;  // records offsets.bin has room for
  uint64_t offsets_bytes = 0;
  uint64_t keys_bytes = 0;
  uint64_t values_bytes = 0;
  uint64_t snapshot_bytes = 0;
  uint64_t log_bytes = 0;
  uint64_t log_records = 0;      // whole records decoded from wal.bin
  uint64_t log_torn_bytes = 0;   // bytes after the last whole record
  uint64_t live_data_bytes = 0;  // key and value bytes of the live records
  // Bytes of keys.bin and vals.bin that vacuum would drop, once open has
  // replayed the log into them.
  uint64_t reclaimable_bytes = 0;
  uint64_t cut_file_bytes = 0;  // wal.bin.cut: tails open cut from the log
  bool store_present = false;     // any of the store's files exists
  bool snapshot_present = false;
  bool snapshot_decoded = false;
  bool vacuum_pending = false;  // snapshot.bin.vac: open completes a switch
  // snapshot.bin.new or snapshot.bin.vac.new: open completes the switch of
  // a snapshot committed with a new log
  bool switch_pending = false;
};

// Called with (done, total) units of work; returning false stops the work.
using Progress = std::function<bool(uint64_t, uint64_t)>;

class DirectoryInspector {
 public:
  // Opens the directory's files read-only and rebuilds its state. What does
  // not decode is recorded in problems(), and so is a log that cannot be
  // read (open fails on it); a wal.bin.cut left by open is a note. A
  // directory that does not exist is OsError(ENOENT); other read errors
  // are thrown as OsError.
  explicit DirectoryInspector(std::string dir);
  DirectoryInspector(const DirectoryInspector&) = delete;
  DirectoryInspector& operator=(const DirectoryInspector&) = delete;

  const DirectoryFigures& figures() const { return figures_; }
  // Why open refuses this store (agreement.h: the files disagree, or a
  // file open needs does not decode), or empty when it opens. The same
  // text open gives.
  const std::string& refusal() const { return refusal_; }
  // What disagrees, without open's advice; empty when it opens.
  const std::string& refusal_reason() const { return refusal_reason_; }
  // Whether the snapshot cannot be trusted (it does not decode, or the
  // other files contradict it): recovery then reads the record table.
  bool snapshot_unusable() const { return !figures_.snapshot_decoded || snapshot_refused_; }
  // Problems found so far, one sentence each.
  const std::vector<std::string>& problems() const { return problems_; }
  // Facts worth telling that are not damage (a wal.bin.cut side file).
  const std::vector<std::string>& notes() const { return notes_; }

  // Verifies every live record: it lies inside the data below the data
  // ends, its key is UTF-8 and hashes to the key index entry naming its id.
  // Problems are added to problems(), at most kMaxReportedRecords of them
  // for records, then a count. Returns false if `progress` stopped it.
  bool Verify(const Progress& progress);

  // Live record ids in ascending order, the order in which keys are listed.
  uint64_t live_count() const { return live_ids_.size(); }
  // Reads the key, and the value unless `value` is null, of the i-th live
  // record. REQUIRES: i < live_count(). A record that fails Verify's checks
  // is EngineError (kInvalidData) with what is wrong; read errors are
  // OsError.
  void ReadEntry(uint64_t i, std::string* key, std::vector<std::byte>* value);

  static constexpr size_t kMaxReportedRecords = 50;

 private:
  friend class Recovery;

  // Where one record's key and value bytes are.
  struct Place {
    bool in_log;  // bytes in wal.bin, else keys.bin and vals.bin
    Record record;
  };

  void LoadSnapshot();
  void CheckSnapshotSets();
  // The ranges of keys.bin and vals.bin found missing: missing.bin, and the
  // files' ends short of the snapshot's data ends.
  void LoadMissingRanges();
  // Whether [offset, offset + length) of `file` touches a missing range.
  bool InMissingRange(DataFileTag file, uint64_t offset, uint64_t length) const;
  // Reads `out.size()` bytes of keys.bin or vals.bin, failing (Error) on
  // bytes the file does not hold or a missing range.
  void ReadData(DataFileTag file, uint64_t offset, MutableBytes out);
  // Compares bytes of keys.bin or vals.bin, as agreement.h's MatchSlot
  // asks; errors as ReadData.
  std::function<bool(DataFileTag, uint64_t, Bytes)> DataEquals();
  // The record of `id` in offsets.bin, or nothing past it.
  std::optional<Record> TableRecord(uint32_t id);
  // Sets the refusal, once, and lists it as a problem.
  void Refuse(const std::string& what);
  void ReplayLog();
  // Applies one decoded log record as Store::ReplayPut or Store::Delete
  // would; false (stop) when the ids run out.
  bool ApplyLogRecord(const WalEntry& entry, uint64_t end);
  // Rule 3 of agreement.h for the put `entry` (ending at `end`), which
  // takes id `id`; refuses the store when it fails.
  void CheckLogPut(uint32_t id, const WalEntry& entry, uint64_t end);
  // Whether the snapshot's last record is the log's last put.
  bool LogCovered();
  void ComputeFigures();
  Place PlaceOf(uint32_t id);
  // Checks that live record `id` lies inside the data below the data ends
  // and that its key is UTF-8 and hashes to the index entry naming it.
  // Returns what is wrong, or an empty string with *place and *key set.
  std::string CheckLiveRecord(uint32_t id, Place* place, std::string* key);
  // Reads the key, and the value unless `value` is null, at `place`.
  void ReadPlace(const Place& place, std::string* key, std::vector<std::byte>* value);
  void AddRecordProblem(uint32_t id, const std::string& what);

  std::string dir_;
  ReadSource offsets_, keys_, values_, log_;
  DirectoryFigures figures_;
  std::vector<std::string> problems_;
  std::vector<std::string> notes_;
  std::string log_problem_;  // why the log could not be replayed to its end
  std::string refusal_;
  std::string refusal_reason_;
  const char* snapshot_name_ = kSnapshotFile;  // the snapshot open would load
  bool snapshot_refused_ = false;
  std::vector<MissingRange> missing_;
  // Where the replayed puts append, as open's replay would, and what the
  // log's put records are compared with (agreement.h, rule 3).
  uint64_t replay_key_end_ = 0;
  uint64_t replay_value_end_ = 0;
  enum class Covered { kUnknown, kYes, kNo } log_covered_ = Covered::kUnknown;
  bool appending_ = false;  // a put did not locate its record
  std::vector<std::byte> scratch_;
  uint64_t record_problems_ = 0;

  // Rebuilt state, as open would have it.
  KeyIndex key_index_;
  IdSet live_;
  IdSet dead_;
  uint64_t snapshot_records_ = 0;  // ids below this have offsets.bin records
  uint64_t key_data_end_ = 0;      // of keys.bin, before replay
  uint64_t value_data_end_ = 0;
  uint64_t record_count_ = 0;
  std::vector<Record> log_records_;  // id snapshot_records_ + i, in wal.bin
  std::vector<uint32_t> live_ids_;
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_CHECK_H_
