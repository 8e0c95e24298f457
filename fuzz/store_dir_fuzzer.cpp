// Fuzzes a whole storage directory: the input is cut into the five files
// of a store, which is then opened, read key by key, listed, persisted and
// vacuumed. Errors are fine (they are how a damaged store is reported);
// crashes, out-of-bounds reads, hangs and unbounded allocation are not.
//
// Input: five times (length u32 little-endian, that many bytes), for
// snapshot.bin, wal.bin, offsets.bin, keys.bin, vals.bin in that order; a
// length beyond the end of the input takes what is left.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/engine.h"
#include "engine/error.h"
#include "engine/format.h"
#include "engine/snapshot.h"
#include "fuzz_util.h"

namespace {

using namespace vantre;

constexpr const char* kFiles[] = {kSnapshotFile, kWalFile, kOffsetsFile, kKeysFile, kValsFile};

// The only use of the engine's entry points: switching them to another
// front door changes this function alone. Every step runs even when an
// earlier one failed, as a user who catches the exception would go on.
void ExerciseStore(const std::string& dir) {
  OpenStore open;
  try {
    open = Open(dir, 16);
  } catch (const Error&) {
    return;
  } catch (const Unrecoverable&) {
    return;
  }
  Store& store = open.store->store;
  auto step = [](auto&& fn) {
    try {
      fn();
    } catch (const Error&) {
    } catch (const Unrecoverable&) {
    }
  };
  std::vector<std::string> keys;
  step([&] { keys = store.Keys(); });
  step([&] {
    for (const std::string& key : keys) (void)store.Read(key);
  });
  (void)store.Len();
  step([&] { Persist(*open.store, *open.wal); });
  step([&] { Vacuum(*open.store, *open.wal); });
  step([&] {
    for (const std::string& key : store.Keys()) (void)store.Read(key);
  });
}

// Known fault F7 (issue "Failure paths", item 7): open and vacuum trust the
// snapshot's record count and data ends: the count sizes the record table
// and vacuum's renumbering, and a data end beyond its file lets a damaged
// record's length pass the check that keeps reads from allocating what it
// claims. Until that is fixed, inputs whose snapshot claims more records
// than offsets.bin (or the minimum table) can hold, or data ends beyond the
// data files, are skipped when VANTRE_FUZZ_SKIP_KNOWN=1, so that the run
// goes on to find other faults.
bool KnownFaultF7(Bytes snapshot, uint64_t offsets_size, uint64_t keys_size,
                  uint64_t values_size) {
  static const bool skip = [] {
    const char* v = std::getenv("VANTRE_FUZZ_SKIP_KNOWN");
    return v != nullptr && std::strcmp(v, "1") == 0;
  }();
  if (!skip) return false;
  std::optional<SnapshotData> snap;
  try {
    snap = ReadSnapshot(fuzz::MemoryFile(reinterpret_cast<const uint8_t*>(snapshot.data()),
                                         snapshot.size()));
  } catch (const Error&) {
    return false;
  }
  return snap && (snap->record_count >
                      std::max<uint64_t>(offsets_size / kRecordSize, kMinRecordCapacity) ||
                  snap->key_data_end > keys_size || snap->value_data_end > values_size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes parts[std::size(kFiles)];
  for (Bytes& part : parts) {
    uint32_t length = 0;
    if (size >= 4) {
      std::memcpy(&length, data, 4);  // Little-endian hosts only: a fuzzing harness.
      data += 4;
      size -= 4;
    }
    const size_t take = length < size ? length : size;
    part = Bytes(reinterpret_cast<const std::byte*>(data), take);
    data += take;
    size -= take;
  }
  if (KnownFaultF7(parts[0], parts[2].size(), parts[3].size(), parts[4].size())) return -1;  // -1: not added to the corpus
  fuzz::TempDir dir;
  for (size_t i = 0; i < std::size(kFiles); ++i) {
    fuzz::WriteWholeFile(dir.path() + "/" + kFiles[i],
                         reinterpret_cast<const uint8_t*>(parts[i].data()), parts[i].size());
  }
  ExerciseStore(dir.path());
  return 0;
}
