// The C interface over Database: converts pointers and lengths to the
// engine's views, runs one Database method, and turns every C++ exception
// into a status code and a filled vantre_error. No exception leaves a
// function of this file.
#include "capi/vantre_capi.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/db/database.h"
#include "engine/format/format.h"
#include "engine/util/error.h"

// A handle: the Database, and the number of calls using it (-1 while
// vantre_close drops it), so that a close never frees what a call in
// another thread is using.
struct vantre_db {
  std::shared_ptr<vantre::Database> db;
  std::atomic<int32_t> users{0};
};

namespace {

using vantre::Bytes;
using vantre::Error;
using vantre::ErrorKind;


void CopyText(char* dst, size_t cap, const std::string& text) {
  const size_t n = std::min(text.size(), cap - 1);
  std::memcpy(dst, text.data(), n);
  dst[n] = '\0';
}

void Fill(vantre_error* err, int kind, int os_errno, const std::string& message,
          const std::string& file) {
  err->kind = kind;
  err->os_errno = os_errno;
  CopyText(err->message, sizeof err->message, message);
  CopyText(err->file, sizeof err->file, file);
}

void FillFrom(vantre_error* err, const Error& e) {
  Fill(err, static_cast<int>(e.kind()), e.code(), e.text(), e.path());
}

// Runs `body` (which returns a status) and turns what it throws into a
// status: an Error is reported, Unrecoverable is fatal (with its cause's
// data when it has one), an allocation failure is VANTRE_NO_MEMORY.
// The failure of the calling thread's last call given a NULL error. On the
// heap, so that the thread-local storage this library needs stays a few
// bytes: the engine's initial-exec variables make all of it static, and
// the static space left for libraries loaded at run time is small.
thread_local std::unique_ptr<vantre_error> last_error;

vantre_error* LastError() {
  if (!last_error) last_error = std::make_unique<vantre_error>();
  return last_error.get();
}

template <typename F>
int Run(vantre_error* err, F&& body) noexcept {
  if (err == nullptr) {
    try {
      err = LastError();
    } catch (const std::bad_alloc&) {
      return VANTRE_NO_MEMORY;
    }
  }
  try {
    return body();
  } catch (const Error& e) {
    FillFrom(err, e);
    return VANTRE_FAILED;
  } catch (const vantre::Unrecoverable& e) {
    if (e.cause()) {
      FillFrom(err, *e.cause());
      CopyText(err->message, sizeof err->message, e.what());
    } else {
      Fill(err, VANTRE_KIND_NONE, 0, e.what(), "");
    }
    return VANTRE_FATAL;
  } catch (const std::bad_alloc&) {
    Fill(err, VANTRE_KIND_NONE, ENOMEM, "out of memory", "");
    return VANTRE_NO_MEMORY;
  } catch (const std::exception& e) {
    Fill(err, VANTRE_KIND_NONE, 0, e.what(), "");
    return VANTRE_FATAL;
  } catch (...) {
    Fill(err, VANTRE_KIND_NONE, 0, "unknown failure", "");
    return VANTRE_FATAL;
  }
}

bool LengthFits(size_t n, const char* what, uint64_t limit, vantre_error* err) {
  if (static_cast<uint64_t>(n) <= limit) return true;
  if (err == nullptr) {
    try {
      err = LastError();
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  Fill(err, static_cast<int>(ErrorKind::kInvalidInput), 0,
       std::string(what) + " is longer than " + std::to_string(limit) + " bytes", "");
  return false;
}

// Runs `body(database)` as one call on the handle; VANTRE_CLOSED once the
// handle is closed or while it is being closed.
template <typename F>
int Using(vantre_db* h, vantre_error* err, F&& body) noexcept {
  int32_t n = h->users.load(std::memory_order_relaxed);
  do {
    if (n < 0) return VANTRE_CLOSED;
  } while (!h->users.compare_exchange_weak(n, n + 1, std::memory_order_acquire));
  int status = VANTRE_CLOSED;
  if (h->db) status = Run(err, [&] { return body(*h->db); });
  h->users.fetch_sub(1, std::memory_order_release);
  return status;
}

// Grows a malloc'ed array to hold at least `need` elements; throws
// std::bad_alloc, leaving it as it was, on failure.
template <typename T>
void Reserve(T** data, size_t* cap, size_t need) {
  if (need <= *cap) return;
  size_t grown = std::max(need, *cap + *cap / 2);
  if (grown > std::numeric_limits<size_t>::max() / sizeof(T)) grown = need;
  if (need > std::numeric_limits<size_t>::max() / sizeof(T)) throw std::bad_alloc();
  void* p = std::realloc(*data, grown * sizeof(T));
  if (p == nullptr) throw std::bad_alloc();
  *data = static_cast<T*>(p);
  *cap = grown;
}

// Appends entries to a batch whose arrays were reserved for `n` entries.
class BatchWriter {
 public:
  BatchWriter(vantre_batch* batch, size_t n) : batch_(batch) {
    if (n > batch_->entries_cap) {
      size_t offsets_cap = batch_->entries_cap, lengths_cap = batch_->entries_cap;
      Reserve(&batch_->offsets, &offsets_cap, n);
      Reserve(&batch_->lengths, &lengths_cap, n);
      batch_->entries_cap = std::min(offsets_cap, lengths_cap);
    }
    batch_->count = n;
    std::fill_n(batch_->lengths, n, -1);
  }
  void Set(size_t i, Bytes value) {
    if (value.size() > std::numeric_limits<size_t>::max() - used_) throw std::bad_alloc();
    Reserve(&batch_->data, &batch_->data_cap, used_ + value.size());
    if (!value.empty()) std::memcpy(batch_->data + used_, value.data(), value.size());
    batch_->offsets[i] = used_;
    batch_->lengths[i] = static_cast<int64_t>(value.size());
    used_ += value.size();
  }

 private:
  vantre_batch* batch_;
  size_t used_ = 0;
};

}  // namespace

extern "C" {

int vantre_open(const char* path, uint64_t cache_capacity, int flags, vantre_db** out,
                vantre_error* err) {
  return Run(err, [&] {
    vantre::OpenOptions options;
    options.read_only = (flags & VANTRE_OPEN_READ_ONLY) != 0;
    options.create = (flags & VANTRE_OPEN_NO_CREATE) == 0;
    auto handle = std::make_unique<vantre_db>();
    handle->db = vantre::Database::Open(path, cache_capacity, options);
    *out = handle.release();
    return VANTRE_OK;
  });
}

size_t vantre_open_notice(vantre_db* h, const char* path, char* out, size_t cap) {
  std::string notice;
  vantre_error ignored;
  Using(h, &ignored, [&](vantre::Database& db) {
    notice = db.OpenNotice(path);
    return VANTRE_OK;
  });
  if (cap > 0) CopyText(out, cap, notice);
  return notice.size();
}

int vantre_close(vantre_db* h, vantre_error* err) {
  int32_t idle = 0;
  if (!h->users.compare_exchange_strong(idle, -1, std::memory_order_acquire)) {
    return idle < 0 ? VANTRE_CLOSED : VANTRE_BUSY;
  }
  std::shared_ptr<vantre::Database> db = std::move(h->db);
  h->db.reset();
  h->users.store(0, std::memory_order_release);
  if (!db) return VANTRE_OK;
  // The buffers written out, then the Database dropped whatever happened.
  // A forked child's close writes nothing and leaves the lock to the parent.
  return Run(err, [&] {
    try {
      db->Flush();
    } catch (const Error& e) {
      if (e.kind() != ErrorKind::kWrongProcess) throw;
    }
    return VANTRE_OK;
  });
}

void vantre_free(vantre_db* h) {
  if (h == nullptr) return;
  vantre_error ignored;
  vantre_close(h, &ignored);  // ignoring any potential errors
  delete h;
}

int vantre_put(vantre_db* h, const char* key, size_t key_len, const void* val, size_t val_len,
               vantre_error* err) {
  if (!LengthFits(key_len, "key", vantre::kMaxKeyLength, err) ||
      !LengthFits(val_len, "value", vantre::kMaxValueLength, err)) {
    return VANTRE_FAILED;
  }
  return Using(h, err, [&](vantre::Database& db) {
    db.Put({key, key_len}, {static_cast<const std::byte*>(val), val_len});
    return VANTRE_OK;
  });
}

int vantre_get(vantre_db* h, const char* key, size_t key_len, vantre_buf* out,
               vantre_error* err) {
  return Using(h, err, [&](vantre::Database& db) {
    const bool found = db.Get({key, key_len}, [&](Bytes value) {
      Reserve(&out->data, &out->cap, std::max<size_t>(value.size(), 1));
      if (!value.empty()) std::memcpy(out->data, value.data(), value.size());
      out->len = value.size();
    });
    return found ? VANTRE_OK : VANTRE_ABSENT;
  });
}

int vantre_get_many(vantre_db* h, const char* const* keys, const size_t* key_lens, size_t n,
                    vantre_batch* out, vantre_error* err) {
  return Using(h, err, [&](vantre::Database& db) {
    std::vector<std::string_view> views(n);
    for (size_t i = 0; i < n; ++i) views[i] = {keys[i], key_lens[i]};
    BatchWriter writer(out, n);
    db.GetMany(views, [&](size_t i, Bytes value) { writer.Set(i, value); });
    return VANTRE_OK;
  });
}

int vantre_get_many_packed(vantre_db* h, const char* keys, const size_t* key_lens, size_t n,
                           vantre_batch* out, vantre_error* err) {
  return Using(h, err, [&](vantre::Database& db) {
    std::vector<std::string_view> views(n);
    for (size_t i = 0, at = 0; i < n; at += key_lens[i], ++i) views[i] = {keys + at, key_lens[i]};
    BatchWriter writer(out, n);
    db.GetMany(views, [&](size_t i, Bytes value) { writer.Set(i, value); });
    return VANTRE_OK;
  });
}

int vantre_delete(vantre_db* h, const char* key, size_t key_len, vantre_error* err) {
  if (!LengthFits(key_len, "key", vantre::kMaxKeyLength, err)) return VANTRE_FAILED;
  return Using(h, err, [&](vantre::Database& db) {
    return db.Delete({key, key_len}) ? VANTRE_OK : VANTRE_ABSENT;
  });
}

int vantre_len(vantre_db* h, uint64_t* out, vantre_error* err) {
  return Using(h, err, [&](vantre::Database& db) {
    *out = db.Len();
    return VANTRE_OK;
  });
}

int vantre_keys(vantre_db* h, vantre_batch* out, vantre_error* err) {
  return Using(h, err, [&](vantre::Database& db) {
    const std::vector<std::string> keys = db.Keys();
    BatchWriter writer(out, keys.size());
    for (size_t i = 0; i < keys.size(); ++i) writer.Set(i, vantre::AsBytes(keys[i]));
    return VANTRE_OK;
  });
}

int vantre_cache_stats(vantre_db* h, uint64_t* entries, uint64_t* capacity, vantre_error* err) {
  return Using(h, err, [&](vantre::Database& db) {
    const vantre::Database::CacheStats stats = db.GetCacheStats();
    *entries = stats.entries;
    *capacity = stats.capacity;
    return VANTRE_OK;
  });
}

// The operations without arguments or results.
#define VANTRE_SIMPLE_CALL(name, method)                                                  \
  int name(vantre_db* h, vantre_error* err) {                                             \
    return Using(h, err, [](vantre::Database& db) {                                       \
      db.method();                                                                        \
      return VANTRE_OK;                                                                   \
    });                                                                                   \
  }
VANTRE_SIMPLE_CALL(vantre_clear_cache, ClearCache)
VANTRE_SIMPLE_CALL(vantre_persist, Persist)
VANTRE_SIMPLE_CALL(vantre_vacuum, Vacuum)
VANTRE_SIMPLE_CALL(vantre_sync, Sync)
VANTRE_SIMPLE_CALL(vantre_flush, Flush)
#undef VANTRE_SIMPLE_CALL

uint64_t vantre_max_value_length(void) { return vantre::kMaxValueLength; }

void vantre_last_error(vantre_error* out) {
  if (last_error) {
    *out = *last_error;
  } else {
    Fill(out, VANTRE_KIND_NONE, 0, "no failure", "");
  }
}

void vantre_buf_free(vantre_buf* buf) {
  std::free(buf->data);
  *buf = vantre_buf{};
}

void vantre_batch_free(vantre_batch* batch) {
  std::free(batch->data);
  std::free(batch->offsets);
  std::free(batch->lengths);
  *batch = vantre_batch{};
}

}  // extern "C"
