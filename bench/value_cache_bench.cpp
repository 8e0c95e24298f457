// Engine-side cost of the value cache, without the interpreter: ns per
// Lookup hit, per Lookup miss followed by Insert (what a read that misses
// the cache does), and a bare probe of a flat map of the same size as the
// floor a hit cannot beat. Prints one table; each number is the median of
// three runs. Built and run by bench/cache_bench.sh, against this tree's
// cache or an older revision's (only the public interface is used).
#include <boost/unordered/unordered_flat_map.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/state/key_index.h"
#include "engine/state/value_cache.h"

namespace {

using vantre::Bytes;
using vantre::ValueCache;

constexpr size_t kValueSize = 100;
constexpr int kRuns = 3;

long RssKiB() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

std::vector<uint64_t> RandomHashes(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> out(n);
  for (auto& h : out) h = rng() | 1;
  return out;
}

// `ops` positions into `keys`, uniformly at random.
std::vector<uint64_t> RandomPicks(const std::vector<uint64_t>& keys, size_t ops, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> out(ops);
  for (auto& h : out) h = keys[rng() % keys.size()];
  return out;
}

volatile uint64_t sink;

double NsPerOp(size_t ops, const std::function<uint64_t()>& body) {
  const auto t0 = std::chrono::steady_clock::now();
  sink = body();
  const auto t1 = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(ops);
}

// Fills `cache` with `entries` random hashes, each holding a kValueSize
// value; returns the hashes.
std::vector<uint64_t> Filled(ValueCache* cache, size_t entries) {
  const std::vector<std::byte> value(kValueSize, std::byte{7});
  auto keys = RandomHashes(entries, 1);
  for (uint64_t h : keys) cache->Insert(h, value);
  return keys;
}

struct Row {
  std::string name;
  double runs[kRuns];
  std::string note;
};

double Median(const double* v) {
  std::vector<double> s(v, v + kRuns);
  std::sort(s.begin(), s.end());
  return s[kRuns / 2];
}

// Lookups of cached keys in random order, cache holding `entries` keys.
// `one_at_a_time`: each waits for the one before (the next key depends on
// the bytes read): the latency of a hit, as a caller that does other work
// between reads sees it; otherwise independent lookups overlap.
Row Hits(size_t entries, size_t ops, bool one_at_a_time) {
  Row row{std::string(one_at_a_time ? "hit, one at a time, " : "hit, ") + std::to_string(entries) +
              " entries",
          {}, one_at_a_time ? "latency" : ""};
  ValueCache cache(entries);
  const auto keys = Filled(&cache, entries);
  const auto picks = RandomPicks(keys, ops, 2);
  for (int r = 0; r < kRuns; ++r) {
    row.runs[r] = NsPerOp(ops, [&] {
      uint64_t acc = 0;
      size_t step = 0;
      for (size_t i = 0; i < picks.size(); ++i) {
        const Bytes v = *cache.Lookup(picks[i + step]);
        // Always 0, but only known once the last byte has arrived.
        if (one_at_a_time) step = static_cast<size_t>(v.back()) - 7;
        acc += static_cast<uint64_t>(v.front()) + step;
      }
      return acc;
    });
  }
  if (!one_at_a_time) row.note = "size " + std::to_string(cache.size());
  return row;
}

// Batches of 100 hits, cache holding `entries` keys: each hash prefetched
// first, then all looked up in order, as a staged get_many would.
Row BatchHits(size_t entries, size_t ops, bool prefetch) {
  Row row{std::string(prefetch ? "hit, batches of 100 prefetched, " : "hit, batches of 100 plain, ") +
              std::to_string(entries) + " entries",
          {}, ""};
  ValueCache cache(entries);
  const auto keys = Filled(&cache, entries);
  const auto picks = RandomPicks(keys, ops - ops % 100, 2);
  for (int r = 0; r < kRuns; ++r) {
    row.runs[r] = NsPerOp(picks.size(), [&] {
      uint64_t acc = 0;
      for (size_t b = 0; b < picks.size(); b += 100) {
#ifdef VANTRE_CACHE_PREFETCH
        if (prefetch) {
          for (size_t i = b; i < b + 100; ++i) cache.Prefetch(picks[i]);
        }
#endif
        for (size_t i = b; i < b + 100; ++i) acc += static_cast<uint64_t>(cache.Lookup(picks[i])->front());
      }
      return acc;
    });
  }
  return row;
}

// A bare find in a flat map of `entries` (hash -> 40-byte payload): the
// floor of a hit.
Row Probe(size_t entries, size_t ops) {
  struct Payload {
    uint64_t a[5];
  };
  Row row{"bare probe, " + std::to_string(entries) + " entries", {}, "flat map find, no value"};
  const auto keys = RandomHashes(entries, 1);
  // The hashes are random already: used as they are, marked as mixed.
  struct IdentityHash {
    using is_avalanching = void;
    size_t operator()(uint64_t h) const noexcept { return static_cast<size_t>(h); }
  };
  boost::unordered_flat_map<uint64_t, Payload, IdentityHash> map;
  for (uint64_t h : keys) map[h] = Payload{{h, 0, 0, 0, 0}};
  const auto picks = RandomPicks(keys, ops, 2);
  for (int r = 0; r < kRuns; ++r) {
    row.runs[r] = NsPerOp(ops, [&] {
      uint64_t acc = 0;
      for (uint64_t h : picks) acc += map.find(h)->second.a[0];
      return acc;
    });
  }
  return row;
}

// A read that misses: Lookup fails, then Insert of a 100-byte value,
// evicting, with `universe` distinct keys in random order.
Row MissInsert(size_t capacity, size_t universe, size_t ops) {
  Row row{"miss + insert, cap " + std::to_string(capacity) + ", " + std::to_string(universe) + " keys",
          {}, ""};
  const std::vector<std::byte> value(kValueSize, std::byte{7});
  const auto keys = RandomHashes(universe, 3);
  ValueCache cache(capacity);
  size_t hits = 0;
  for (int r = 0; r < kRuns; ++r) {
    // Fresh picks per run: the keys of the run before are cached.
    const auto picks = RandomPicks(keys, ops, 4 + r);
    hits = 0;
    row.runs[r] = NsPerOp(ops, [&] {
      uint64_t acc = 0;
      for (uint64_t h : picks) {
        if (auto v = cache.Lookup(h)) {
          ++hits;
          acc += static_cast<uint64_t>(v->front());
        } else {
          acc += static_cast<uint64_t>(cache.Insert(h, value).front());
        }
      }
      return acc;
    });
  }
  row.note = "hit rate " + std::to_string(100 * hits / ops) + "%";
  return row;
}

// The reported growth: 11 keys read in turn through a cache of 10, so every
// read misses and evicts. Notes the resident memory gained over the runs.
Row RoundRobin(size_t ops) {
  Row row{"miss + insert, cap 10, 11 keys in turn", {}, ""};
  const std::vector<std::byte> value(kValueSize, std::byte{7});
  ValueCache cache(10);
  const long before = RssKiB();
  for (int r = 0; r < kRuns; ++r) {
    row.runs[r] = NsPerOp(ops, [&] {
      uint64_t acc = 0;
      for (size_t i = 0; i < ops; ++i) {
        const uint64_t h = i % 11 + 1;
        if (auto v = cache.Lookup(h)) {
          acc += static_cast<uint64_t>(v->front());
        } else {
          acc += static_cast<uint64_t>(cache.Insert(h, value).front());
        }
      }
      return acc;
    });
  }
  row.note = "RSS +" + std::to_string((RssKiB() - before) / 1024) + " MiB over " +
             std::to_string(kRuns * ops / 1000000) + "M reads";
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t ops = argc > 1 ? std::stoul(argv[1]) : 2000000;
  std::vector<Row> rows;
  rows.push_back(Probe(10000, ops));
  rows.push_back(Hits(10000, ops, false));
  rows.push_back(Probe(1000000, ops));
  rows.push_back(Hits(1000000, ops, false));
  rows.push_back(Hits(10000, ops, true));
  rows.push_back(Hits(1000000, ops, true));
  rows.push_back(BatchHits(1000000, ops, false));
#ifdef VANTRE_CACHE_PREFETCH
  rows.push_back(BatchHits(1000000, ops, true));
#endif
  rows.push_back(MissInsert(10000, 1000000, ops));
  rows.push_back(MissInsert(1000000, 10000000, ops));
  rows.push_back(RoundRobin(ops));

  std::printf("%-46s %9s  %-22s %s\n", "workload", "ns/op", "runs", "note");
  std::printf("%s\n", std::string(110, '-').c_str());
  for (const Row& r : rows) {
    char runs[64];
    std::snprintf(runs, sizeof runs, "%.1f %.1f %.1f", r.runs[0], r.runs[1], r.runs[2]);
    std::printf("%-46s %9.1f  %-22s %s\n", r.name.c_str(), Median(r.runs), runs, r.note.c_str());
  }
  return 0;
}
