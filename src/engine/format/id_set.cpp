#include "engine/format/id_set.h"

#include <bit>

namespace vantre {
namespace {

constexpr size_t kMaxContainers = 65536;
constexpr size_t kArrayMax = 4096;
constexpr size_t kBitmapBytes = 8192;
constexpr size_t kNoOffsetThreshold = 4;

struct ContainerHeader {
  uint32_t key;
  uint32_t cardinality;
  bool run;
};

}  // namespace

static bool HasRunContainers(const IdSet& set) {
  const roaring_array_t& ra = set.roaring.high_low_container;
  for (int32_t i = 0; i < ra.size; ++i) {
    if (ra.typecodes[i] == RUN_CONTAINER_TYPE_CODE) return true;
  }
  return false;
}

// A copy of `set` made only of array and bitmap containers, built by adding
// the values. Not roaring_bitmap_remove_run_compression: in the linked
// library it turns a small run container whose last run ends at 65535 into
// an array with a 16-bit loop that never ends, writing past the array.
static IdSet WithoutRuns(const IdSet& set) {
  IdSet plain;
  std::vector<uint32_t> batch;
  batch.reserve(kArrayMax);
  for (uint32_t v : set) {
    batch.push_back(v);
    if (batch.size() == kArrayMax) {
      plain.addMany(batch.size(), batch.data());
      batch.clear();
    }
  }
  plain.addMany(batch.size(), batch.data());
  return plain;
}

void SerializeIdSet(const IdSet& set, std::vector<std::byte>* dst) {
  // A set built by adding ranges can hold run containers; the written form
  // never does, so such a set is serialized from a copy without them.
  std::optional<IdSet> plain;
  const roaring_bitmap_t* r = &set.roaring;
  if (HasRunContainers(set)) {
    plain.emplace(WithoutRuns(set));
    r = &plain->roaring;
  }
  size_t n = roaring_bitmap_portable_size_in_bytes(r);
  size_t at = dst->size();
  dst->resize(at + n);
  size_t written = roaring_bitmap_portable_serialize(r, reinterpret_cast<char*>(dst->data() + at));
  dst->resize(at + written);
}

namespace {

// The descriptive header: the container count, each container's key,
// cardinality and kind, then the offsets (skipped: containers are read in
// order). Keys must ascend; the count is bounded and its bytes must be
// there before anything is reserved for them.
std::optional<std::vector<ContainerHeader>> ReadHeaders(ByteReader* in) {
  uint32_t cookie;
  if (!in->GetFixed32(&cookie)) return std::nullopt;
  size_t count;
  bool has_runs = false;
  Bytes run_flags;
  if ((cookie & 0xFFFF) == kRoaringRunCookie) {
    has_runs = true;
    count = (cookie >> 16) + 1;
    if (!in->GetBytes((count + 7) / 8, &run_flags)) return std::nullopt;
  } else if (cookie == kRoaringCookie) {
    uint32_t c;
    if (!in->GetFixed32(&c)) return std::nullopt;
    count = c;
  } else {
    return std::nullopt;
  }
  if (count > kMaxContainers || in->remaining() / 4 < count) return std::nullopt;
  std::vector<ContainerHeader> headers(count);
  for (size_t i = 0; i < count; ++i) {
    uint16_t key = 0, card_minus_one = 0;
    in->GetFixed16(&key);
    in->GetFixed16(&card_minus_one);
    bool run = has_runs && ((std::to_integer<unsigned>(run_flags[i / 8]) >> (i % 8)) & 1);
    if (i > 0 && key <= headers[i - 1].key) return std::nullopt;
    headers[i] = {key, static_cast<uint32_t>(card_minus_one) + 1, run};
  }
  if (!has_runs || count >= kNoOffsetThreshold) {
    if (!in->Skip(4 * count)) return std::nullopt;
  }
  return headers;
}

// Each container decoder appends the container's values (with `high`, its
// key in the upper 16 bits) and returns false on bytes that are missing or
// break the container's rules. Runs become values, never run containers
// (see WithoutRuns).
bool DecodeRuns(ByteReader* in, const ContainerHeader& h, uint32_t high,
                std::vector<uint32_t>* values) {
  uint16_t runs;
  if (!in->GetFixed16(&runs) || in->remaining() / 4 < runs) return false;
  uint64_t total = 0;
  int64_t next_free = 0;  // smallest value a following run may start at
  for (uint16_t k = 0; k < runs; ++k) {
    uint16_t start = 0, length_minus_one = 0;
    in->GetFixed16(&start);
    in->GetFixed16(&length_minus_one);
    uint32_t last = static_cast<uint32_t>(start) + length_minus_one;
    if (start < next_free || last > 0xFFFF) return false;
    next_free = static_cast<int64_t>(last) + 1;
    total += static_cast<uint64_t>(length_minus_one) + 1;
    for (uint32_t v = start; v <= last; ++v) values->push_back(high | v);
  }
  return total == h.cardinality;
}

bool DecodeArray(ByteReader* in, const ContainerHeader& h, uint32_t high,
                 std::vector<uint32_t>* values) {
  Bytes raw;
  if (!in->GetBytes(2 * static_cast<size_t>(h.cardinality), &raw)) return false;
  values->resize(h.cardinality);
  for (size_t k = 0; k < h.cardinality; ++k) {
    uint16_t v = DecodeFixed16(raw.data() + 2 * k);
    if (k > 0 && v <= ((*values)[k - 1] & 0xFFFF)) return false;
    (*values)[k] = high | v;
  }
  return true;
}

bool DecodeBitmap(ByteReader* in, const ContainerHeader& h, uint32_t high,
                  std::vector<uint32_t>* values) {
  Bytes raw;
  if (!in->GetBytes(kBitmapBytes, &raw)) return false;
  values->reserve(h.cardinality);
  for (size_t w = 0; w < kBitmapBytes / 8; ++w) {
    uint64_t word = DecodeFixed64(raw.data() + 8 * w);
    while (word != 0) {
      unsigned bit = static_cast<unsigned>(std::countr_zero(word));
      values->push_back(high | static_cast<uint32_t>(w * 64 + bit));
      word &= word - 1;
    }
  }
  return values->size() == h.cardinality;
}

}  // namespace

std::optional<IdSet> DeserializeIdSet(Bytes data) {
  ByteReader in(data);
  const std::optional<std::vector<ContainerHeader>> headers = ReadHeaders(&in);
  if (!headers) return std::nullopt;
  IdSet set;
  std::vector<uint32_t> values;
  for (const ContainerHeader& h : *headers) {
    const uint32_t high = h.key << 16;
    values.clear();
    const bool ok = h.run                       ? DecodeRuns(&in, h, high, &values)
                    : h.cardinality <= kArrayMax ? DecodeArray(&in, h, high, &values)
                                                 : DecodeBitmap(&in, h, high, &values);
    if (!ok) return std::nullopt;
    roaring_bitmap_add_many(&set.roaring, values.size(), values.data());
  }
  return set;
}

}  // namespace vantre
