// keys.bin or vals.bin: an append-only data file with a user-space append
// buffer in front of it.
//
// Bytes up to the data end belong to records. Those below `flushed_` are in
// the file; those from `flushed_` to the data end are in the buffer only.
// Reads see both, so the buffer is invisible to the read path; persist,
// vacuum and teardown write it out before anything else reads the file.
//
// Reads of bytes in the file go through a read-only shared map of it where
// the address space allows, so that a read costs no system call. The map
// may reach beyond the end of the file; only bytes known to be in the file
// (below both `flushed_` and `file_size_`) are read through it, and always
// through the fault-safe accessors of map_guard.h, so a file cut short by
// another program gives "failed to fill whole buffer", not SIGBUS. Writes go
// through the descriptor, and the shared map sees them at once.
//
// The buffer is written out in whole units of kWriteUnit bytes, aligned to
// the start of the file: when an append carries the data end across a unit
// boundary, everything below that boundary goes out in one write (the
// piece that crossed it is split there; reads put it back together). Units
// of 64 KiB make system calls rare without asking the kernel for large
// page-cache folios: a write of a whole aligned 2 MiB range gets one, and
// taking such a folio costs several times the copy itself (about ten times
// on a virtual machine that hands free memory back to its host), while the
// read map gains nothing from it. Only persist, vacuum and teardown write
// out a partial unit.
// A piece of kDirectWrite bytes or more pushes the buffer out and goes
// straight to the file.
//
// Handing write-outs over (while persist or vacuum runs, SetHandOver): an
// append that crosses a unit boundary leaves the whole units in the buffer,
// and HandOver() moves them into a PendingWrite for the caller to write once
// it holds no lock (pending_write.h). Until they are taken back (every
// other write-out, flush, and the file's replacement or teardown take them
// back first, and write what did not reach the file), reads find them in
// the PendingWrite: pending_ holds [flushed_, flushed_ + its size), buf_
// the rest up to the data end. A buffer that grows to kHandOverLimit, the
// previous write still in progress, is written out at once as usual.
//
// A failed write-out is remembered: until a later write-out succeeds, every
// append first retries it and fails with it, so nothing is accepted on top
// of bytes that could not be written.
//
// Missing ranges: bytes below the data end that the file does not hold (a
// snapshot's data end past the file, or a file cut under the open store).
// Every read that touches one fails ("failed to fill whole buffer"), even
// once appends have grown the file over it with zeros. A write that would
// grow the file over a range not yet known first has it recorded
// (missing.bin, through the recorder) and fails if that cannot be done.
#ifndef VANTRE_ENGINE_DATA_FILE_H_
#define VANTRE_ENGINE_DATA_FILE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "engine/format/coding.h"
#include "engine/io/file.h"
#include "engine/io/missing_ranges.h"
#include "engine/io/pending_write.h"
#include "engine/util/prefetch.h"

namespace vantre {

class DataFile {
 public:
  static constexpr size_t kWriteUnit = 64 * 1024;
  static constexpr size_t kDirectWrite = 64 * 1024;
  static constexpr size_t kHandOverLimit = 4 * kWriteUnit;

  // Takes ownership of `file`, which is `end` bytes long; the data end
  // starts there.
  DataFile(File file, uint64_t end);
  DataFile(const DataFile&) = delete;
  DataFile& operator=(const DataFile&) = delete;
  DataFile(DataFile&&) = default;
  // Takes back a write handed over and not yet made, unwritten: the caller
  // writes out what it means to keep first (Flush).
  DataFile& operator=(DataFile&& other) noexcept;
  // Writes the buffer out; ignoring any potential errors (Flush() first to
  // see them).
  ~DataFile();

  // A position to which Rollback() can return the data end.
  struct Mark {
    uint64_t end;
  };
  Mark mark() const { return {end_}; }

  // Appends `data` at the data end and returns the offset it was placed at.
  // On failure (a write-out or a direct write) the data end is unchanged.
  uint64_t Append(Bytes data);
  // Whether Append of `length` bytes would write to the file itself (a
  // direct write, a failed write-out retried, whole units outside handing
  // over or past kHandOverLimit), which may first wait for a handed-over
  // write in progress.
  bool AppendWritesOut(size_t length) const {
    return failed_ || length >= kDirectWrite || WritesOutUnits(length);
  }
  // Appends the `length` bytes at `offset` of `src`, copied file to file
  // without passing through this process where the kernel can, and returns
  // the offset they were placed at. The bytes must be in src's file (its
  // buffer written out); bytes that are not fail with "failed to fill whole
  // buffer". On failure the data end is unchanged.
  uint64_t AppendCopy(const DataFile& src, uint64_t offset, uint64_t length);
  // Forgets everything appended since `mark`: bytes already in the file
  // stay there as garbage beyond the data end.
  void Rollback(Mark mark);
  // When `offset` is the data end: takes the `length` bytes the file holds
  // there as appended, without writing them (they were compared with what
  // an append would write). Otherwise nothing. Throws as Flush.
  void AdoptThrough(uint64_t offset, uint64_t length);

  // Reads out.size() bytes at `offset` from the map, the buffer or the
  // file. Bytes that are not there fail with "failed to fill whole buffer".
  void Read(MutableBytes out, uint64_t offset) const;
  // Whether the `expected.size()` bytes at `offset` equal `expected`.
  // Errors as Read.
  bool Equals(uint64_t offset, Bytes expected, std::vector<std::byte>* scratch) const;

  // Starts loading the mapped bytes at `offset` into the processor's
  // caches, if they are mapped; a hint only (a prefetch never faults).
  void Prefetch(uint64_t offset) const {
    if (offset < read_map_.size()) PrefetchLine(read_map_.data() + offset);
  }

  // Fails as Read would, before anything is allocated, when a large range
  // cannot lie in the file or the buffer: a damaged record must not make
  // the store allocate (or zero-fill) what its length claims.
  void CheckInFile(uint64_t offset, size_t length) const;

  // Writes the buffered bytes to the file.
  void Flush();
  // Whether appends leave whole units for HandOver() rather than write them
  // out themselves.
  void SetHandOver(bool on) { hand_over_ = on; }
  // Moves the buffer's whole units into a PendingWrite added to `out`, when
  // there are any and the previous one is written. Never throws for the
  // file: a range that cannot be prepared for the write is left in the
  // buffer, for the next write-out to fail with.
  void HandOver(PendingWrites* out);
  // Writes the buffered bytes and forces the file's data to stable storage.
  void SyncData();
  // Moves the data end to `end`. REQUIRES: the buffer is empty. An end past
  // the file leaves a missing range up to it that reads refuse.
  void SetEnd(uint64_t end);
  // Adds [start, end) to the missing ranges.
  void AddMissing(uint64_t start, uint64_t end);
  struct Range {
    uint64_t start;
    uint64_t end;
  };
  const std::vector<Range>& missing() const { return missing_; }
  // Where a range found missing at a write-out is recorded before the file
  // grows over it, and as which file. "*recorder" must outlive this file's
  // writes; without one, such a write-out fails.
  void SetRecorder(const MissingRangeRecorder* recorder, DataFileTag tag) {
    recorder_ = recorder;
    tag_ = tag;
  }
  const MissingRangeRecorder* recorder() const { return recorder_; }
  DataFileTag tag() const { return tag_; }
  // Gives back the read map's address space; later reads map again only
  // once the file has doubled since.
  void ReleaseReadMap();

  uint64_t end() const { return end_; }
  // The file's length on disk now.
  uint64_t FileSize() const { return file_.Size(); }
  bool SameFileAs(const File& other) const { return file_.SameFileAs(other); }
  const std::string& path() const { return file_.path(); }
  // Drops the buffered bytes unwritten (and with them the data end's part
  // beyond the file), for a teardown that must write nothing.
  void Abandon() {
    // In a forked child the writer never runs: the PendingWrite is only let
    // go (its mutex may be held by the parent's thread; it is not taken).
    pending_.reset();
    buf_.clear();
    end_ = flushed_;
  }
  // Writes the buffer out and gives up the file.
  File Release() &&;
  // File::WriteBack of the file's bytes [from, to), which must be out of
  // the buffer.
  void WriteBack(uint64_t from, uint64_t to, bool wait) const { file_.WriteBack(from, to - from, wait); }
  // A DataFile that reads `file`, another descriptor of this one's file, as
  // this one stands: the same data end and missing ranges, nothing
  // buffered. For a thread that reads what lies below the data end while
  // this one goes on appending. REQUIRES: the buffer written out.
  DataFile ReaderOf(File file) const;

 private:
  // "failed to fill whole buffer", naming the file.
  [[noreturn]] void ShortFile() const;
  // ShortFile() if [offset, offset + length) overlaps a missing range.
  void CheckOutsideHole(uint64_t offset, uint64_t length) const {
    if (!missing_.empty()) CheckOutsideMissing(offset, length);
  }
  void CheckOutsideMissing(uint64_t offset, uint64_t length) const;
  // Before a write at `at`: a file now shorter than `at` (cut under the
  // open store) has the range in between recorded as missing first.
  void NoteCutBefore(uint64_t at);
  // Writes the buffered bytes below `upto` (a data end position at or
  // after `flushed_`) to the file and drops them from the buffer.
  // REQUIRES: nothing handed over (TakeBack).
  void WriteOut(uint64_t upto);
  // The file offset of buf_[0].
  uint64_t buffered_from() const { return flushed_ + (pending_ ? pending_->size() : 0); }
  // Whether a buffered append of `length` bytes writes the whole units it
  // completes out itself, rather than leave them for HandOver() (handing
  // over, and the buffer has room for them).
  bool WritesOutUnits(size_t length) const {
    const uint64_t end = end_ + length;
    return end - end % kWriteUnit > buffered_from() &&
           (!hand_over_ || buf_.size() + length >= kHandOverLimit);
  }
  // Takes a handed-over write back: what reached the file is counted in it,
  // the rest goes back to the buffer's front. Waits for a write in
  // progress. Afterwards nothing is handed over.
  void TakeBack();
  // The same when the write is complete; false, and nothing changed,
  // otherwise.
  bool TakeBackIfWritten();
  // After the write handed over was taken back with its first `done`
  // bytes in the file: counts them, returns the rest to the buffer's
  // front, keeps the byte buffer for the next one.
  void Settle(size_t done);
  // The mapped bytes at [offset, offset + length), if they are all in the
  // file (below the buffer, or past the data end) and the map can cover
  // them.
  const std::byte* Mapped(uint64_t offset, size_t length) const;
  // Maps at least `needed` bytes of the file, if the address space allows.
  // Failure is not an error: reads then use the descriptor, and mapping is
  // not tried again until the file has doubled.
  void Remap(uint64_t needed) const;

  File file_;
  uint64_t end_;        // the data end
  uint64_t flushed_;    // file offset of buf_[0]; buf_ holds [flushed_, end_)
  uint64_t file_size_;  // bytes the file is known to hold
  bool failed_ = false;  // the last write-out failed
  // Bytes below the data end that the file did not hold when they were
  // found (SetEnd, AddMissing, NoteCutBefore): refused by every read
  // ("failed to fill whole buffer") even once appends have extended the
  // file beyond them.
  std::vector<Range> missing_;
  const MissingRangeRecorder* recorder_ = nullptr;
  DataFileTag tag_ = DataFileTag::kKeys;
  std::vector<std::byte> buf_;
  // A write-out handed over: bytes [flushed_, flushed_ + size).
  std::shared_ptr<PendingWrite> pending_;
  std::vector<std::byte> spare_;  // a buffer to use again
  bool hand_over_ = false;
  mutable MemoryMap read_map_;      // read-only map of the file's start
  mutable uint64_t map_refused_ = 0;  // a map this large could not be made
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_DATA_FILE_H_
