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
// A failed write-out is remembered: until a later one succeeds, every
// append first retries it and fails with it, so that no record is accepted
// behind bytes that could not be written.
#ifndef VANTRE_ENGINE_WAL_WRITER_H_
#define VANTRE_ENGINE_WAL_WRITER_H_

#include <array>
#include <cstdint>
#include <string_view>

#include "engine/format/coding.h"
#include "engine/io/file.h"

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

  // Writes the buffered bytes to the file.
  void Flush();
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
  // nothing.
  void AbandonBuffer() { len_ = 0; }

 private:
  // Appends a record made of `pieces`, `total` bytes in all.
  void Append(std::initializer_list<Bytes> pieces, size_t total);

  File file_;
  uint64_t file_size_;
  std::array<std::byte, kBufferSize> buf_;
  size_t len_ = 0;
  bool writing_ = false;  // a direct write to the file is in progress
  bool failed_ = false;   // the last write-out failed
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_WAL_WRITER_H_
