#include "engine/db/log_replay.h"

#include "engine/io/buffered_reader.h"

namespace vantre {
namespace {

constexpr size_t kReplayBufferSize = 64 * 1024;

}  // namespace

LogReplay ReplayLogFile(const File& log, const LogRecordSink& apply) {
  LogReplay result;
  result.size = log.Size();
  BufferedReader reader(&log, kReplayBufferSize);
  WalEntry entry;
  while (ReadWalEntry(&reader, &entry)) {
    if (!apply(entry, reader.position())) {
      result.stopped = true;
      break;
    }
    result.decoded_end = reader.position();
    ++result.records;
  }
  // A file that grew while it was read (inspection beside a writer) ends
  // where the decoding ended, not before.
  if (result.size < result.decoded_end) result.size = result.decoded_end;
  return result;
}

}  // namespace vantre
