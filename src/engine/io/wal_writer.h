// The buffered, appending writer of wal.bin.
//
// Records collect in an 8192-byte buffer and reach the file when a later
// record does not fit, on Flush(), or at teardown. A record is never split
// between the buffer and the file: one that does not fit pushes the buffered
// bytes out first, and then goes into the emptied buffer whole, or, if it is
// at least as large as the buffer, straight to the file. So the file always
// ends at a record boundary, except after a failed direct write, which is
// cut back (see Append).
//
// Handing write-outs over (while persist or vacuum runs, SetHandOver): a
// record that would take the buffer past half full moves it into a
// PendingWrite instead of writing it, and HandOver() gives that to the
// caller to write once it holds no lock (pending_write.h). The buffer then
// fills only up to what the handed-over bytes leave of kBufferSize: a
// crash loses at most one buffer of log bytes, as without handing over,
// which is what open allows for. Every other write-out, flush,
// sync, cut or replacement of the file takes it back first, and writes
// what did not reach the file, so the file's bytes stay in the records'
// order.
//
// A failed write-out is remembered: until a later one succeeds, every
// append first retries it and fails with it, so that no record is accepted
// behind bytes that could not be written.
#ifndef VANTRE_ENGINE_WAL_WRITER_H_
#define VANTRE_ENGINE_WAL_WRITER_H_

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/format/coding.h"
#include "engine/io/file.h"
#include "engine/io/pending_write.h"

namespace vantre {

class WalWriter {
 public:
  static constexpr size_t kBufferSize = 8192;

  // Takes ownership of `file`, opened for appending; `file_size` is its
  // current length.
  WalWriter(File file, uint64_t file_size);
  WalWriter(const WalWriter&) = delete;
  WalWriter& operator=(const WalWriter&) = delete;
  // Flushes the buffer unless a direct write was in progress; ignoring any
  // potential errors.
  ~WalWriter();

  // Append one record. On failure nothing of the record stays in the
  // buffer or the file; bytes of earlier records that a failed flush did
  // write leave the buffer, the others stay.
  void AppendPut(std::string_view key, Bytes val);
  void AppendDelete(std::string_view key);
  // Whether appending a record of `total` bytes would write to the file
  // itself (the buffer full, or the record as large as it), which may first
  // wait for a handed-over write in progress.
  bool AppendWritesOut(size_t total) const;

  // Writes the buffered bytes to the file.
  void Flush();
  // Whether a record that does not fit leaves the full buffer for
  // HandOver() rather than write it out itself.
  void SetHandOver(bool on) { hand_over_ = on; }
  // Adds the full buffer left by an append, if any, to `out`.
  void HandOver(PendingWrites* out);
  // Writes them out and forces the file's data to stable storage.
  void SyncData();
  // Empties the log: cuts the file to length 0, moves its position to 0 and
  // discards the buffer, whose records a snapshot already covers.
  void Reset();
  // Makes `file` the log: opened for appending, `size` bytes long, holding
  // this log's records after those a snapshot covers. Returns the file it
  // replaces. REQUIRES: the buffer written out.
  File ReplaceFile(File file, uint64_t size);
  // Forces what was written to the file so far to stable storage; reads no
  // member a concurrent append changes, so it may run beside appends
  // (though not beside ReplaceFile).
  void SyncWritten() const { file_.SyncData(); }

  // Bytes in the file (the buffer written out: the log's length).
  uint64_t size() const { return file_size_; }
  // The file, to compare with another descriptor.
  bool SameFileAs(const File& other) const { return file_.SameFileAs(other); }

  size_t buffered() const { return len_; }
  // Drops the buffered records unwritten, for a teardown that must write
  // nothing. In a forked child the writer never runs: the PendingWrite is
  // only let go (its mutex may be held by the parent's thread).
  void AbandonBuffer() {
    pending_.reset();
    len_ = 0;
  }

 private:
  // Whether Append hands the buffer over before a record of `total` bytes
  // goes in: handing over, nothing handed over still `pending`, and the
  // record takes the buffer past half full.
  bool HandsOverFirst(bool pending, size_t total) const {
    return hand_over_ && !pending && !failed_ && len_ > 0 && total < kBufferSize / 2 &&
           total > kBufferSize / 2 - std::min(len_, kBufferSize / 2);
  }
  // Whether a record of `total` bytes finds no room beside `held` bytes
  // not yet in the file: the buffer is written out first.
  static bool Overflows(size_t held, size_t total) {
    return total > kBufferSize - std::min(held, kBufferSize);
  }
  // Appends a record made of `pieces`, `total` bytes in all.
  void Append(std::initializer_list<Bytes> pieces, size_t total);

  // Takes a handed-over write back: what reached the file is counted in
  // the log's length, the rest goes back to the buffer's front. Waits for a
  // write in progress. Afterwards nothing is handed over.
  void TakeBack();

  File file_;
  uint64_t file_size_;
  // Records fill the first kBufferSize bytes; bytes taken back from a
  // handed-over write (up to kBufferSize more) go in front of them.
  std::vector<std::byte> buf_;
  size_t len_ = 0;
  // A full buffer handed over: the log's bytes right after file_size_.
  std::shared_ptr<PendingWrite> pending_;
  bool given_ = false;  // pending_ added to a caller's PendingWrites
  bool hand_over_ = false;
  bool writing_ = false;  // a direct write to the file is in progress
  bool failed_ = false;   // the last write-out failed
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_WAL_WRITER_H_
