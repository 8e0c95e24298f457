#include "engine/io/record_table.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <new>
#include <utility>

#include "engine/io/map_guard.h"
#include "engine/util/error.h"

namespace vantre {
namespace {

// Disk blocks are allocated in aligned chunks of this many bytes where a
// record lands past the ones before it; as the records grow, in pieces of
// kRewrite.
constexpr uint64_t kAllocationChunk = 2 << 20;

// The pieces written back ahead of the records: a larger write makes the
// kernel take a large page-cache folio, which costs several times the copy
// (see data_file.h).
constexpr size_t kRewrite = 64 << 10;
static_assert(kRewrite <= PendingWrite::kMaxZeros);

}  // namespace

RecordTable RecordTable::Open(File file, uint64_t file_size, uint32_t min_capacity) {
  const uint64_t capacity = std::clamp<uint64_t>(file_size / kRecordSize, min_capacity,
                                                 std::numeric_limits<uint32_t>::max());
  const uint64_t length = std::max(file_size, capacity * kRecordSize);
  if (length > file_size) file.Truncate(length);
  InstallMapGuard();
  MemoryMap map = MemoryMap::Map(file, length);
  map.AdviseRandomAccess();
  RecordTable table(std::move(file), std::move(map), static_cast<uint32_t>(capacity));
  table.untouched_from_ = file_size;
  return table;
}

RecordTable RecordTable::OpenReadOnly(File file, uint64_t file_size) {
  const uint64_t capacity =
      std::min<uint64_t>(file_size / kRecordSize, std::numeric_limits<uint32_t>::max());
  MemoryMap map;
  if (capacity > 0) {
    map = MemoryMap::Map(file, capacity * kRecordSize, MemoryMap::Access::kReadOnly);
    map.AdviseRandomAccess();
  }
  return RecordTable(std::move(file), std::move(map), static_cast<uint32_t>(capacity));
}

size_t RecordTable::OffsetOf(uint32_t id) const {
  const uint64_t end = static_cast<uint64_t>(id) * kRecordSize + kRecordSize;
  if (end > map_.size()) OutOfRange(end, map_.size());
  return static_cast<size_t>(end - kRecordSize);
}

Record RecordTable::At(uint32_t id) const {
  std::byte raw[kRecordSize];
  if (!GuardedCopyFixed<kRecordSize>(raw, map_.data() + OffsetOf(id))) {
    throw EngineError(ErrorKind::kUnexpectedEof, kFillBufferText, file_.path());
  }
  return DecodeRecord(raw);
}

void RecordTable::AtEach(const uint32_t* ids, size_t n, Record* out) const {
  if (n > kMaxRecordsAtOnce) throw Unrecoverable("too many records at once");
  const void* sources[kMaxRecordsAtOnce] = {};
  for (size_t i = 0; i < n; ++i) sources[i] = map_.data() + OffsetOf(ids[i]);
  std::byte raw[kMaxRecordsAtOnce * kRecordSize];
  if (!GuardedGather(raw, sources, n, kRecordSize)) {
    throw EngineError(ErrorKind::kUnexpectedEof, kFillBufferText, file_.path());
  }
  for (size_t i = 0; i < n; ++i) out[i] = DecodeRecord(raw + i * kRecordSize);
}

void RecordTable::Set(uint32_t id, const Record& r) {
  std::byte raw[kRecordSize];
  EncodeRecord(raw, r);
  if (!GuardedCopyFixed<kRecordSize>(map_.data() + OffsetOf(id), raw)) {
    throw EngineError(ErrorKind::kWriteZero, kWriteWholeText, file_.path());
  }
}

void RecordTable::SetRun(uint32_t first, std::span<const Record> records) {
  if (records.empty()) return;
  OffsetOf(static_cast<uint32_t>(first + (records.size() - 1)));  // inside the map
  std::vector<std::byte> raw(records.size() * kRecordSize);
  for (size_t i = 0; i < records.size(); ++i) EncodeRecord(raw.data() + i * kRecordSize, records[i]);
  if (!GuardedCopy(map_.data() + OffsetOf(first), raw.data(), raw.size())) {
    throw EngineError(ErrorKind::kWriteZero, kWriteWholeText, file_.path());
  }
}

void RecordTable::Grow(uint64_t capacity) {
  if (capacity > std::numeric_limits<uint32_t>::max()) throw OsError(EFBIG, file_.path());
  const uint64_t length = capacity * kRecordSize;
  file_.Truncate(length);
  map_.Resize(length);
  map_.AdviseRandomAccess();
  capacity_ = static_cast<uint32_t>(capacity);
}

RecordTable& RecordTable::operator=(RecordTable&& other) noexcept {
  if (this == &other) return *this;
  if (pending_) pending_->TakeBack();
  file_ = std::move(other.file_);
  map_ = std::move(other.map_);
  capacity_ = std::exchange(other.capacity_, 0);
  allocated_start_ = other.allocated_start_;
  allocated_end_ = other.allocated_end_;
  untouched_from_ = other.untouched_from_;
  rewrite_ = std::move(other.rewrite_);
  pending_ = std::move(other.pending_);
  hand_over_ = other.hand_over_;
  return *this;
}

RecordTable::~RecordTable() {
  if (pending_) pending_->TakeBack();
}

void RecordTable::CountPieceWritten() {
  allocated_end_ = pending_->at() + pending_->size();
  untouched_from_ = std::max(untouched_from_, allocated_end_);
}

void RecordTable::TakeBack() {
  if (!pending_) return;
  if (pending_->TakeBack() == pending_->size()) CountPieceWritten();
  pending_.reset();
}

void RecordTable::HandOver(uint32_t next_id, PendingWrites* out) {
  if (!hand_over_ || out->room() == 0) return;
  if (pending_) {
    if (!pending_->TakeBackIfWritten()) return;
    CountPieceWritten();
    pending_.reset();
  }
  const uint64_t next = static_cast<uint64_t>(next_id) * kRecordSize;
  // Only ahead of records that are being written in order.
  if (next < allocated_start_ || next > allocated_end_ || allocated_end_ - next >= kRewrite / 2) {
    return;
  }
  // The same piece Prepare would write next: zeros past untouched_from_,
  // before it what the file holds, read back.
  uint64_t stop =
      std::min<uint64_t>(map_.size(), allocated_end_ - allocated_end_ % kRewrite + kRewrite);
  const bool zeros = allocated_end_ >= untouched_from_;
  if (!zeros) stop = std::min(stop, untouched_from_);
  if (stop <= allocated_end_) return;
  const auto length = static_cast<size_t>(stop - allocated_end_);
  try {
    pending_ = zeros ? PendingWrite::Zeros(file_.fd(), allocated_end_, length)
                     : PendingWrite::Rewrite(file_.fd(), allocated_end_, length);
    out->Add(pending_);
  } catch (const std::bad_alloc&) {
    // Prepare writes the piece itself.
  }
}

void RecordTable::GrowAsRoomAllows(uint32_t id, uint64_t doubled) {
  // Each refused map leaves the file at the refused length; the next Grow
  // cuts it back (only zeros lie past the old capacity).
  const uint64_t least =
      std::min(doubled, static_cast<uint64_t>(id) + 1 + kAllocationChunk / kRecordSize);
  uint64_t capacity = doubled;
  for (;;) {
    try {
      Grow(capacity);
      return;
    } catch (const OsError& e) {
      if (e.code() != ENOMEM || capacity <= least) throw;
    }
    capacity = std::max(capacity_ + (capacity - capacity_) / 2, least);
  }
}

bool RecordTable::PrepareWrites(uint32_t id) const {
  if (id >= capacity_) return true;
  const uint64_t begin = static_cast<uint64_t>(id) * kRecordSize;
  const uint64_t end = begin + kRecordSize;
  if (begin < allocated_start_) return true;
  if (end <= allocated_end_) return false;
  // A piece handed over ahead and written covers it once counted.
  return !(pending_ && end <= pending_->at() + pending_->size() && pending_->Written());
}

void RecordTable::Prepare(uint32_t id, Growth growth) {
  if (id >= capacity_) {
    const uint64_t doubled = 2 * std::max<uint64_t>(capacity_, 1);
    if (id >= doubled) {
      throw EngineError(ErrorKind::kInvalidData, "record id beyond the record table", file_.path());
    }
    if (growth == Growth::kAsRoomAllows) {
      GrowAsRoomAllows(id, doubled);
    } else {
      Grow(doubled);
    }
  }
  const uint64_t begin = static_cast<uint64_t>(id) * kRecordSize;
  const uint64_t end = begin + kRecordSize;
  if (begin >= allocated_start_ && end <= allocated_end_) return;
  TakeBack();
  if (begin >= allocated_start_ && end <= allocated_end_) return;
  const uint64_t table_end = map_.size();
  if (begin < allocated_start_ || begin > allocated_end_) {
    // The records before `begin` in its chunk must be kept: allocate the
    // chunk's blocks without touching its bytes.
    const uint64_t start = begin - begin % kAllocationChunk;
    const uint64_t stop = std::min(table_end, start + kAllocationChunk);
    file_.Allocate(start, stop - start);
    allocated_start_ = start;
    allocated_end_ = stop;
    untouched_from_ = std::max(untouched_from_, stop);
  }
  // The next piece, up to its aligned end, is written back with what it
  // holds (zeros where the file is sparse) when a record first reaches it:
  // written pages are in the page cache, so the map's first store to each
  // costs no block allocation, and records already there (past the ones
  // this process wrote) are kept. A piece at a time, and bytes past
  // untouched_from_, known to be zeros, written unread: a put holds the
  // Store lock meanwhile, and beside a vacuum, reading a whole chunk where
  // the table's growth had just made a hole (the kernel building its pages,
  // in large folios) took a put 15 to 30 ms, writing the chunk's zeros 6 to
  // 9 ms.
  while (end > allocated_end_) {
    uint64_t stop = std::min(table_end, allocated_end_ - allocated_end_ % kRewrite + kRewrite);
    if (rewrite_.empty()) rewrite_.resize(kRewrite);
    if (allocated_end_ < untouched_from_) {
      stop = std::min(stop, untouched_from_);
      file_.ReadExactAt({rewrite_.data(), static_cast<size_t>(stop - allocated_end_)},
                        allocated_end_);
    } else {
      std::fill(rewrite_.begin(), rewrite_.end(), std::byte{0});
    }
    file_.WriteAllAt({rewrite_.data(), static_cast<size_t>(stop - allocated_end_)},
                     allocated_end_);
    allocated_end_ = stop;
    untouched_from_ = std::max(untouched_from_, stop);
  }
}

}  // namespace vantre
