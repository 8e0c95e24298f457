// Fuzzes a whole storage directory: the input is cut into the five files
// of a store, which is then opened, read key by key, listed, persisted and
// vacuumed. Errors are fine (they are how a damaged store is reported);
// crashes, out-of-bounds reads, hangs and unbounded allocation are not.
//
// Input: five times (length u32 little-endian, that many bytes), for
// snapshot.bin, wal.bin, offsets.bin, keys.bin, vals.bin in that order; a
// length beyond the end of the input takes what is left.
#include <cstring>
#include <string>
#include <vector>

#include "engine/db/database.h"
#include "engine/util/error.h"
#include "engine/format/format.h"
#include "fuzz_util.h"

namespace {

using namespace vantre;

constexpr const char* kFiles[] = {kSnapshotFile, kWalFile, kOffsetsFile, kKeysFile, kValsFile};

// Every step runs even when an earlier one failed, as a user who catches
// the exception would go on.
void ExerciseStore(const std::string& dir) {
  std::shared_ptr<Database> db;
  try {
    db = Database::Open(dir, 16);
  } catch (const Error&) {
    return;
  } catch (const Unrecoverable&) {
    return;
  }
  auto step = [](auto&& fn) {
    try {
      fn();
    } catch (const Error&) {
    } catch (const Unrecoverable&) {
    }
  };
  auto read_all = [&] {
    const std::vector<std::string> keys = db->Keys();
    for (const std::string& key : keys) db->Get(key, [](Bytes) {});
    std::vector<std::string_view> views(keys.begin(), keys.end());
    db->GetMany(views, [](size_t, Bytes) {});
  };
  step(read_all);
  (void)db->Len();
  step([&] { db->Persist(); });
  step([&] { db->Vacuum(); });
  step(read_all);
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
  fuzz::TempDir dir;
  for (size_t i = 0; i < std::size(kFiles); ++i) {
    fuzz::WriteWholeFile(dir.path() + "/" + kFiles[i],
                         reinterpret_cast<const uint8_t*>(parts[i].data()), parts[i].size());
  }
  ExerciseStore(dir.path());
  return 0;
}
