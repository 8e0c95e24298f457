// Decoding of wal.bin from its first byte, shared by open (which applies
// each record to the Store) and the read-only inspection and recovery
// (which apply it to the state they rebuild and add their checks).
//
// The log is read until the first record that does not decode: the bytes
// from there on are its undecodable tail. A read error is thrown as
// OsError, never taken for the end of the log: the records behind it would
// be lost, and open would cut them off.
#ifndef VANTRE_ENGINE_LOG_REPLAY_H_
#define VANTRE_ENGINE_LOG_REPLAY_H_

#include <cstdint>
#include <functional>

#include "engine/format/wal_entry.h"
#include "engine/io/file.h"

namespace vantre {

struct LogReplay {
  uint64_t size = 0;          // of the file
  uint64_t decoded_end = 0;   // end of the last record that decoded
  uint64_t records = 0;       // records handed to the callback
  bool stopped = false;       // the callback asked to stop
  // Bytes after the last record that decoded.
  uint64_t tail_bytes() const { return size - decoded_end; }
};

// Called with each decoded record and the offset just past it; returns
// false to stop the replay there (decoded_end then stays at the record
// before). The entry's buffers are reused for the next record.
using LogRecordSink = std::function<bool(const WalEntry& entry, uint64_t end)>;

// Decodes `log` from byte 0, handing each record to `apply` in order.
LogReplay ReplayLogFile(const File& log, const LogRecordSink& apply);

}  // namespace vantre

#endif  // VANTRE_ENGINE_LOG_REPLAY_H_
