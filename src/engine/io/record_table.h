// The record table: offsets.bin, one 24-byte record per record id, read and
// written through a shared read-write map of the whole file, under the
// fault guard of map_guard.h: a table cut short by another program fails
// the access instead of ending the process.
//
// Disk blocks are allocated ahead of the records that will use them,
// through the descriptor: by writing the bytes back over themselves (zeros
// where the file is sparse), an aligned 64 KiB piece at a time as the
// records reach it, or by allocating an aligned 2 MiB chunk where a record
// lands past the others. A full disk then fails that step with ENOSPC,
// where a store into a sparse page of the map would kill the process with
// SIGBUS. What the file already holds there is kept:
// records past the ones written in this process (those a replay at open is
// about to compare with the log, or an earlier process left behind) are
// what open's checks of the files read.
//
// While persist or vacuum runs (SetHandOver), the next piece, once the
// records are within half a piece of it, is handed to the caller to write
// once it holds no lock (HandOver, pending_write.h): its zeros, or what the
// file holds there read back and written over itself. Either took a put 30
// to 40 ms under the Store lock beside a vacuum on a slow disk. The piece
// counts as allocated once written, and a record that reaches it before
// then takes it back and writes it itself first, so no late write ever
// lands on a record.
//
// Growth doubles the capacity, extends the file and remaps it in place where
// the address space allows (mremap), so that the old and the new map never
// need to be held at once: on a 32-bit process the table is the largest
// thing in the address space.
#ifndef VANTRE_ENGINE_RECORD_TABLE_H_
#define VANTRE_ENGINE_RECORD_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/io/file.h"
#include "engine/io/pending_write.h"
#include "engine/format/format.h"
#include "engine/util/prefetch.h"

namespace vantre {

class RecordTable {
 public:
  RecordTable() = default;
  RecordTable(RecordTable&&) = default;
  // Both take back a piece handed over and not yet written: the writer
  // must not write through the descriptor about to be closed.
  RecordTable& operator=(RecordTable&& other) noexcept;
  ~RecordTable();

  // Takes ownership of `file` (offsets.bin, `file_size` bytes long) and maps
  // it with room for at least `min_capacity` records, extending the file
  // when it is shorter. Throws OsError; `file` is closed on failure.
  static RecordTable Open(File file, uint64_t file_size, uint32_t min_capacity);
  // Maps `file` (`file_size` bytes long) read-only, as it is: the table of
  // a read-only store, never extended, prepared or set.
  static RecordTable OpenReadOnly(File file, uint64_t file_size);

  uint32_t capacity() const { return capacity_; }
  bool SameFileAs(const File& other) const { return file_.SameFileAs(other); }

  // Record of `id`; an id outside the mapped table is Unrecoverable (index
  // out of range), a record beyond the end of the file EngineError
  // (unexpected end of file).
  Record At(uint32_t id) const;
  // Records of the `n` ids at `ids` into `out`, read under one fault guard;
  // errors as At. REQUIRES: n <= kMaxRecordsAtOnce.
  static constexpr size_t kMaxRecordsAtOnce = 16;
  void AtEach(const uint32_t* ids, size_t n, Record* out) const;
  // Starts loading record `id` into the processor's caches; ids outside the
  // table are ignored.
  void Prefetch(uint32_t id) const {
    const uint64_t at = static_cast<uint64_t>(id) * kRecordSize;
    if (at + kRecordSize <= map_.size()) PrefetchLine(map_.data() + at);
  }
  // How Prepare grows a table that `id` is beyond: doubled, or, where the
  // address space has no room for the doubled map (a 32-bit process), by
  // as much of the doubling as it has room for, halving the growth at each
  // refusal down to one allocation chunk past `id`.
  enum class Growth { kDouble, kAsRoomAllows };
  // Makes record `id` writable: grows the table once if `id` is beyond
  // it, and allocates the disk blocks under it. An id beyond twice the
  // capacity (a record count from a damaged snapshot) is refused with
  // EngineError (invalid data) rather than sized from. Throws OsError
  // (ENOSPC, ENOMEM, ...) and leaves the table as it was, though the file
  // may be longer.
  void Prepare(uint32_t id, Growth growth = Growth::kDouble);
  // Whether Prepare(id) would grow the table or write to the file itself,
  // which may first wait for a handed-over piece in progress.
  bool PrepareWrites(uint32_t id) const;
  // Stores `r` as record `id`; a record beyond the end of the file (cut
  // short by another program) is EngineError (write zero). REQUIRES:
  // Prepare(id) succeeded.
  void Set(uint32_t id, const Record& r);
  // Stores `records` as the records of ids first, first + 1, ..., as Set
  // would one by one. REQUIRES: Prepare of the first and the last id
  // succeeded.
  void SetRun(uint32_t first, std::span<const Record> records);
  // Whether pieces ahead are handed over rather than written by Prepare.
  void SetHandOver(bool on) { hand_over_ = on; }
  // When the records from `next_id` on are within half a piece of the
  // allocated end, hands the piece after it over to `out`. Never throws.
  void HandOver(uint32_t next_id, PendingWrites* out);
  // Lets a piece handed over go without taking it back, for a teardown
  // that must write nothing: in a forked child the writer never runs, and
  // its mutex may have been held by the parent's thread at the fork.
  void AbandonPending() { pending_.reset(); }
  // Writes every modified page back and waits for it.
  void SyncData() const { map_.SyncAll(file_.path()); }

 private:
  RecordTable(File file, MemoryMap map, uint32_t capacity)
      : file_(std::move(file)), map_(std::move(map)), capacity_(capacity) {}

  // Byte offset of `id`'s record; outside the map is Unrecoverable.
  size_t OffsetOf(uint32_t id) const;
  void Grow(uint64_t capacity);
  // Grow(doubled), or a smaller growth that still takes `id` (Growth).
  void GrowAsRoomAllows(uint32_t id, uint64_t doubled);
  // Takes the piece handed over back, counting it allocated if written.
  void TakeBack();
  // The piece handed over is in the file: allocated_end_ moves past it.
  void CountPieceWritten();

  File file_;
  MemoryMap map_;
  uint32_t capacity_ = 0;
  // [allocated_start_, allocated_end_) is known to have disk blocks.
  uint64_t allocated_start_ = 0;
  uint64_t allocated_end_ = 0;
  // Bytes from here on lie past the file's length at open and were never
  // allocated or written here: zeros, made by the table's growth.
  uint64_t untouched_from_ = UINT64_MAX;
  std::vector<std::byte> rewrite_;  // a piece's bytes on their way back
  // Zeros handed over for [allocated_end_, allocated_end_ + size).
  std::shared_ptr<PendingWrite> pending_;
  bool hand_over_ = false;
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_RECORD_TABLE_H_
