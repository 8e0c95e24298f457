#include "engine/format/snapshot.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "engine/io/buffered_reader.h"
#include "engine/util/error.h"
#include "engine/format/format.h"

namespace vantre {
namespace {

constexpr size_t kIndexEntrySize = 12;
constexpr size_t kReadBufferSize = 1 << 20;

std::optional<IdSet> ReadSet(BufferedReader* r, uint64_t file_size) {
  uint64_t n;
  if (!r->ReadFixed64(&n)) return std::nullopt;
  // A length the file cannot supply fails before anything is reserved.
  if (n > file_size - std::min(file_size, r->position()) ||
      n > std::numeric_limits<uint32_t>::max() || n > std::numeric_limits<size_t>::max() / 2) {
    return std::nullopt;
  }
  std::vector<std::byte> bytes(static_cast<size_t>(n));
  if (!r->ReadExact(bytes)) return std::nullopt;
  return DeserializeIdSet(bytes);
}

}  // namespace

SnapshotWriter::SnapshotWriter(const File& out) : out_(out) { buf_.reserve(kSnapshotBufferSize); }

void SnapshotWriter::Append(Bytes piece) {
  if (piece.size() > kSnapshotBufferSize - buf_.size()) WriteOut();
  if (piece.size() >= kSnapshotBufferSize) {
    size_t written;
    out_.WriteAll(piece, kWriteWholeText, &written);
    return;
  }
  buf_.insert(buf_.end(), piece.begin(), piece.end());
}

std::byte* SnapshotWriter::Reserve(size_t n) {
  if (n > kSnapshotBufferSize - buf_.size()) WriteOut();
  const size_t at = buf_.size();
  buf_.resize(at + n);
  return buf_.data() + at;
}

void SnapshotWriter::WriteOut() {
  size_t written;
  out_.WriteAll(buf_, kWriteBufferedText, &written);
  buf_.clear();
}

void SnapshotWriter::AppendSet(const IdSet& set) {
  scratch_.clear();
  SerializeIdSet(set, &scratch_);
  std::byte len[8];
  EncodeFixed64(len, scratch_.size());
  Append(len);
  Append(scratch_);
}

void SnapshotWriter::Encode(const KeyIndex& key_index, const IdSet& live, const IdSet& dead,
                            uint32_t record_count, uint64_t key_data_end,
                            uint64_t value_data_end,
                            std::span<const uint32_t> ids) {
  EncodeFixed64(Reserve(8), key_index.size());
  size_t i = 0;
  for (const KeyIndex::Entry& e : key_index) {
    std::byte* p = Reserve(kIndexEntrySize);
    EncodeFixed64(p, e.hash());
    EncodeFixed32(p + 8, ids.empty() ? e.id : ids[i++]);
  }
  AppendSet(live);
  AppendSet(dead);
  EncodeFixed32(Reserve(4), record_count);
  EncodeFixed64(Reserve(8), key_data_end);
  EncodeFixed64(Reserve(8), value_data_end);
}

void SnapshotWriter::Finish() { WriteOut(); }

void WriteSnapshot(const File& out, const KeyIndex& key_index, const IdSet& live,
                   const IdSet& dead, uint32_t record_count, uint64_t key_data_end,
                   uint64_t value_data_end) {
  SnapshotWriter writer(out);
  writer.Encode(key_index, live, dead, record_count, key_data_end, value_data_end);
  writer.Finish();
}

std::optional<SnapshotData> ReadSnapshot(const File& in) {
  const uint64_t file_size = in.Size();
  BufferedReader r(&in, static_cast<size_t>(std::min<uint64_t>(kReadBufferSize, file_size + 1)));
  SnapshotData snap;

  uint64_t entries;
  if (!r.ReadFixed64(&entries)) return std::nullopt;
  // Reserve only what the file can actually hold.
  const uint64_t available = (file_size - std::min(file_size, r.position())) / kIndexEntrySize;
  if (entries > available) return std::nullopt;
  // More entries than this machine can address cannot be loaded here.
  if (entries > std::numeric_limits<size_t>::max()) throw std::bad_alloc();
  snap.key_index.reserve(static_cast<size_t>(entries));

  std::vector<std::byte> chunk;
  uint64_t left = entries;
  while (left > 0) {
    size_t batch = static_cast<size_t>(std::min<uint64_t>(left, kMaxReservedIndexEntries));
    chunk.resize(batch * kIndexEntrySize);
    if (!r.ReadExact(chunk)) return std::nullopt;
    for (size_t i = 0; i < batch; ++i) {
      const std::byte* p = chunk.data() + i * kIndexEntrySize;
      snap.key_index.insert_or_assign(DecodeFixed64(p), DecodeFixed32(p + 8));
    }
    left -= batch;
  }

  auto live = ReadSet(&r, file_size);
  if (!live) return std::nullopt;
  snap.live = std::move(*live);
  auto dead = ReadSet(&r, file_size);
  if (!dead) return std::nullopt;
  snap.dead = std::move(*dead);

  std::byte tail[20];
  if (!r.ReadExact(tail)) return std::nullopt;
  snap.record_count = DecodeFixed32(tail);
  snap.key_data_end = DecodeFixed64(tail + 4);
  snap.value_data_end = DecodeFixed64(tail + 12);
  return snap;
}

}  // namespace vantre
