// Methods of Vantre. Each runs the same call frame:
//   1. parse arguments
//   2. check self's type, take a shared borrow of the object
//   3. convert arguments (before any engine lock is taken)
//   4. run the engine operation under its locks
//   5. build the result; 6. release the borrow.
// A call made on the same store while one is inside the engine on this
// thread (a finalizer run by an allocation under the store's lock) fails at
// once with RuntimeError: the engine's locks recognise their own holder.
//
// The interpreter lock (gil.h): long work runs without it (persist, vacuum,
// sync, keys, opening, large batches and values); every other call keeps it
// but gives it up before it would block on an engine lock (Gil::hook), and
// takes it back only once the engine call has returned.
#include "binding/vantre_object.h"

#include <limits>
#include <exception>
#include <new>
#include <string>

#include "binding/args.h"
#include "binding/errors.h"
#include "binding/gil.h"
#include "binding/py_ref.h"
#include "binding/results.h"
#include "engine/io/store_dir.h"
#include "engine/util/error.h"

namespace vantre::binding {
namespace {

// A shared borrow of a Vantre object for the length of one call. Holds a
// reference to self, so the object outlives the call.
class Borrow {
 public:
  explicit Borrow(PyObject* self) {
    PyTypeObject* type = VantreType();
    if (type == nullptr) return;
    if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type)) {
      const char* name = Py_TYPE(self)->tp_name;
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Vantre'", name);
      return;
    }
    auto* obj = reinterpret_cast<VantreObject*>(self);
    int32_t n = obj->state.borrows.load(std::memory_order_relaxed);
    do {
      if (n == -1) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return;
      }
    } while (!obj->state.borrows.compare_exchange_weak(n, n + 1, std::memory_order_acquire));
    if (!obj->state.db) {
      obj->state.borrows.fetch_sub(1, std::memory_order_release);
      PyErr_SetString(PyExc_ValueError, "operation on a closed store");
      return;
    }
    Py_INCREF(self);
    obj_ = obj;
  }
  ~Borrow() {
    if (obj_ != nullptr) {
      obj_->state.borrows.fetch_sub(1, std::memory_order_release);
      Py_DECREF(reinterpret_cast<PyObject*>(obj_));
    }
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

  explicit operator bool() const { return obj_ != nullptr; }
  VantreState& state() const { return obj_->state; }

 private:
  VantreObject* obj_ = nullptr;
};

constexpr const char* kNewNames[] = {"storage_path", "cache_size"};
constexpr Params kNewParams{"Vantre.__new__", kNewNames, 1};
constexpr const char* kSetBytesNames[] = {"key", "val"};
constexpr Params kSetBytesParams{"Vantre.set_bytes", kSetBytesNames, 2};
constexpr const char* kKeyNames[] = {"key"};
constexpr Params kGetBytesParams{"Vantre.get_bytes", kKeyNames, 1};
constexpr Params kDeleteParams{"Vantre.delete", kKeyNames, 1};
constexpr const char* kKeysNames[] = {"keys"};
constexpr Params kGetManyParams{"Vantre.get_many", kKeysNames, 1};

constexpr uint64_t kDefaultCacheSize = 10000;
constexpr uint64_t kMaxLength = kMaxKeyLength;

// Keys and values longer than a record's 32-bit length fields can describe
// (values: longer than this platform can read back) are refused before any
// lock, never truncated.
bool CheckLength(size_t n, const char* what, uint64_t limit = kMaxLength) {
  if (static_cast<uint64_t>(n) > limit) {
    const std::string text =
        std::string(what) + " is longer than " + std::to_string(limit) + " bytes";
    PyErr_SetString(PyExc_OverflowError, text.c_str());
    return false;
  }
  return true;
}

// Opens the store; a directory held by another Vantre object is tried again
// after a collection, since the holder may be an object that is no longer
// reachable but not yet freed (PyPy frees objects late).
std::shared_ptr<Database> OpenDatabase(const std::string& path, uint64_t cache_size,
                                       OpenOptions options) {
  for (int attempt = 0;; ++attempt) {
    try {
      Gil gil;
      gil.Release();  // a replay of a long log takes a while
      return Database::Open(path, cache_size, options);
    } catch (const EngineError& e) {
      if (e.kind() != ErrorKind::kWouldBlock || attempt == 2) throw;
    }
    PyRef gc(PyImport_ImportModule("gc"));
    PyRef collected(gc ? PyObject_CallMethod(gc.get(), "collect", nullptr) : nullptr);
    if (!collected) PyErr_Clear();
  }
}

// The call frame of a method without arguments: the borrow of self, then
// `body(state)` with C++ failures turned into Python ones.
template <typename F>
PyObject* RunNoArgs(PyObject* self, OsErrorStyle style, F body) {
  Borrow borrow(self);
  if (!borrow) return nullptr;
  return Guard(style, [&]() -> PyObject* { return body(borrow.state()); });
}

// Reports the failure being handled through the unraisable-exception hook,
// naming the store. REQUIRES: called from inside a catch block.
void ReportUnraisable(const std::string& storage_path) {
  RaiseCurrentException(OsErrorStyle::kBySubclass);
  PyRef where(PyUnicode_FromFormat("Vantre(%s) writing out its buffers", storage_path.c_str()));
  PyErr_WriteUnraisable(where.get());
}

}  // namespace

PyObject* vantre_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  // The keyword-only extensions `readonly` and `create` (truth values) are
  // taken out of the keywords before the positional parameters are parsed.
  OpenOptions options;
  PyRef rest;
  if (kwargs != nullptr) {
    for (auto [name, flag] : {std::pair{"readonly", &options.read_only}, {"create", &options.create}}) {
      PyObject* arg = PyDict_GetItemString(kwargs, name);
      if (arg == nullptr) continue;
      const int truth = PyObject_IsTrue(arg);
      if (truth < 0) return nullptr;
      *flag = truth != 0;
      if (!rest) rest = PyRef(PyDict_Copy(kwargs));
      if (!rest || PyDict_DelItemString(rest.get(), name) != 0) return nullptr;
    }
  }
  PyObject* argv[2];
  if (!ParseTuple(kNewParams, args, rest ? rest.get() : kwargs, argv)) return nullptr;
  std::string_view path;
  if (!ConvertText(argv[0], "storage_path", &path)) return nullptr;
  uint64_t cache_size = kDefaultCacheSize;
  if (argv[1] != nullptr && !ConvertCacheSize(argv[1], "cache_size", &cache_size)) return nullptr;

  return Guard(OsErrorStyle::kBySubclass, [&]() -> PyObject* {
    std::shared_ptr<Database> db = OpenDatabase(std::string(path), cache_size, options);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;  // the store is torn down here
    auto* obj = reinterpret_cast<VantreObject*>(self);
    new (&obj->state) VantreState();
    obj->state.storage_path = std::string(path);
    obj->state.db = std::move(db);
    // Open kept the bytes it cut from the log; the caller is told where.
    // The text is built here rather than through a format string: 64-bit
    // variadic arguments are not read alike by every interpreter's C API.
    const std::string notice = obj->state.db->OpenNotice(obj->state.storage_path);
    if (!notice.empty() && PyErr_WarnEx(PyExc_RuntimeWarning, notice.c_str(), 1) != 0) {
      Py_DECREF(self);
      return nullptr;
    }
    return self;
  });
}

void vantre_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  VantreState& state = reinterpret_cast<VantreObject*>(self)->state;
  // Buffered writes that cannot be written out are lost: say so, as the
  // interpreter reports other errors it cannot raise.
  if (state.db) {
    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    try {
      Gil gil;
      state.db->Flush(gil.hook());
    } catch (...) {
      ReportUnraisable(state.storage_path);
    }
    PyErr_Restore(et, ev, tb);
  }
  // Dropping the handle tears the store down: map unmapped, files closed,
  // directory unlocked.
  state.~VantreState();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyObject* vantre_set_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  PyObject* argv[2];
  if (!ParseFastcall(kSetBytesParams, args, nargs, kwnames, argv)) return nullptr;
  Borrow borrow(self);
  if (!borrow) return nullptr;
  std::string_view key;
  if (!ConvertText(argv[0], "key", &key)) return nullptr;
  ByteArg val;
  if (!ConvertByteSequence(argv[1], "val", &val)) return nullptr;
  if (!CheckLength(key.size(), "key") ||
      !CheckLength(val.bytes.size(), "value", kMaxValueLength)) {
    return nullptr;
  }

  return Guard(OsErrorStyle::kBySubclass, [&]() -> PyObject* {
    Gil gil;
    if (val.bytes.size() >= kReleaseForBytes) gil.Release();
    borrow.state().db->Put(key, val.bytes, gil.hook());
    gil.Reacquire();
    Py_RETURN_NONE;
  });
}

PyObject* vantre_get_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  PyObject* argv[1];
  if (!ParseFastcall(kGetBytesParams, args, nargs, kwnames, argv)) return nullptr;
  Borrow borrow(self);
  if (!borrow) return nullptr;
  std::string_view key;
  if (!ConvertText(argv[0], "key", &key)) return nullptr;

  return Guard(OsErrorStyle::kBySubclass, [&]() -> PyObject* {
    CopiedValue value;
    Gil gil;
    borrow.state().db->Get(
        key,
        [&](Bytes found) {
          if (found.size() >= kReleaseForBytes) gil.Release();
          value.Set(found);
        },
        gil.hook());
    gil.Reacquire();
    return value.New();
  });
}

PyObject* vantre_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  PyObject* argv[1];
  if (!ParseFastcall(kDeleteParams, args, nargs, kwnames, argv)) return nullptr;
  Borrow borrow(self);
  if (!borrow) return nullptr;
  std::string_view key;
  if (!ConvertText(argv[0], "key", &key)) return nullptr;
  if (!CheckLength(key.size(), "key")) return nullptr;

  return Guard(OsErrorStyle::kBySubclass, [&]() -> PyObject* {
    Gil gil;
    const bool deleted = borrow.state().db->Delete(key, gil.hook());
    gil.Reacquire();
    return PyBool_FromLong(deleted ? 1 : 0);
  });
}

PyObject* vantre_persist(PyObject* self, PyObject*) {
  return RunNoArgs(self, OsErrorStyle::kBySubclass, [](VantreState& st) -> PyObject* {
    Gil gil;
    gil.Release();
    st.db->Persist();
    gil.Reacquire();
    Py_RETURN_NONE;
  });
}

PyObject* vantre_sync(PyObject* self, PyObject*) {
  return RunNoArgs(self, OsErrorStyle::kBySubclass, [](VantreState& st) -> PyObject* {
    Gil gil;
    gil.Release();
    st.db->Sync();
    gil.Reacquire();
    Py_RETURN_NONE;
  });
}

PyObject* vantre_close(PyObject* self, PyObject*) {
  PyTypeObject* type = VantreType();
  if (type == nullptr) return nullptr;
  if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Vantre'",
                 Py_TYPE(self)->tp_name);
    return nullptr;
  }
  VantreState& state = reinterpret_cast<VantreObject*>(self)->state;
  // Taken exclusively: no other call may be using the Database it drops.
  int32_t idle = 0;
  if (!state.borrows.compare_exchange_strong(idle, -1, std::memory_order_acquire)) {
    PyErr_SetString(PyExc_RuntimeError,
                    "the store is in use by another call; close it once that call returns");
    return nullptr;
  }
  std::shared_ptr<Database> db = std::move(state.db);
  state.db.reset();
  state.borrows.store(0, std::memory_order_release);
  if (!db) Py_RETURN_NONE;
  return Guard(OsErrorStyle::kBySubclass, [&]() -> PyObject* {
    // The buffers written out, then the Database dropped whatever happened:
    // maps unmapped, files closed, directory unlocked. A forked child
    // writes nothing and leaves the lock to the parent.
    std::exception_ptr failure;
    try {
      Gil gil;
      db->Flush(gil.hook());
    } catch (const Error& e) {
      if (e.kind() != ErrorKind::kWrongProcess) failure = std::current_exception();
    }
    db.reset();
    if (failure) std::rethrow_exception(failure);
    Py_RETURN_NONE;
  });
}

PyObject* vantre_vacuum(PyObject* self, PyObject*) {
  return RunNoArgs(self, OsErrorStyle::kPlain, [](VantreState& st) -> PyObject* {
    Gil gil;
    gil.Release();
    st.db->Vacuum();
    gil.Reacquire();
    Py_RETURN_NONE;
  });
}

PyObject* vantre_len(PyObject* self, PyObject*) {
  return RunNoArgs(self, OsErrorStyle::kBySubclass, [](VantreState& st) -> PyObject* {
    Gil gil;
    const uint64_t n = st.db->Len(gil.hook());
    gil.Reacquire();
    return NewInt(n);
  });
}

PyObject* vantre_keys(PyObject* self, PyObject*) {
  return RunNoArgs(self, OsErrorStyle::kBySubclass, [](VantreState& st) -> PyObject* {
    Gil gil;
    gil.Release();  // a listing reads every key from keys.bin
    const std::vector<std::string> keys = st.db->Keys();
    gil.Reacquire();
    return NewTextList(keys);
  });
}

PyObject* vantre_cache_stats(PyObject* self, PyObject*) {
  return RunNoArgs(self, OsErrorStyle::kBySubclass, [](VantreState& st) -> PyObject* {
    Gil gil;
    const Database::CacheStats stats = st.db->GetCacheStats(gil.hook());
    gil.Reacquire();
    PyRef a(NewInt(stats.entries));
    PyRef b(NewInt(stats.capacity));
    PyObject* tuple = NewTuple(2);
    PyTuple_SET_ITEM(tuple, 0, a.release());
    PyTuple_SET_ITEM(tuple, 1, b.release());
    return tuple;
  });
}

PyObject* vantre_clear_cache(PyObject* self, PyObject*) {
  return RunNoArgs(self, OsErrorStyle::kBySubclass, [](VantreState& st) -> PyObject* {
    Gil gil;
    st.db->ClearCache(gil.hook());
    gil.Reacquire();
    Py_RETURN_NONE;
  });
}

PyObject* vantre_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  PyObject* argv[1];
  if (!ParseFastcall(kGetManyParams, args, nargs, kwnames, argv)) return nullptr;
  Borrow borrow(self);
  if (!borrow) return nullptr;
  TextListArg keys;
  if (!ConvertTextSequence(argv[0], "keys", &keys)) return nullptr;

  return Guard(OsErrorStyle::kBySubclass, [&]() -> PyObject* {
    const size_t n = keys.texts.size();
    CopiedValues values(n);
    Gil gil;
    if (n >= kReleaseForKeys) gil.Release();
    borrow.state().db->GetMany(
        keys.texts,
        [&](size_t i, Bytes value) {
          if (value.size() >= kReleaseForBytes) gil.Release();
          values.Set(i, value);
        },
        gil.hook());
    gil.Reacquire();
    PyRef list(NewList(static_cast<Py_ssize_t>(n)));
    for (size_t i = 0; i < n; ++i) {
      PyObject* key = keys.refs[i].get();
      PyRef text;
      if (PyUnicode_CheckExact(key)) {
        Py_INCREF(key);
        text = PyRef(key);
      } else {
        text = PyRef(NewText(keys.texts[i]));
      }
      PyRef value(values.New(i));
      PyObject* pair = NewTuple(2);
      PyTuple_SET_ITEM(pair, 0, text.release());
      PyTuple_SET_ITEM(pair, 1, value.release());
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
  });
}

PyObject* vantre_flush_at_exit(PyObject*, PyObject*) {
  for (const FlushFailure& failure : Database::FlushAllOpen()) {
    try {
      std::rethrow_exception(failure.error);
    } catch (...) {
      ReportUnraisable(failure.dir);
    }
  }
  Py_RETURN_NONE;
}

}  // namespace vantre::binding
