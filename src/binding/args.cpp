#include "binding/args.h"

#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "engine/util/prefetch.h"

namespace vantre::binding {
namespace {

constexpr char kRangeText[] = "out of range integral type conversion attempted";
constexpr char kStrToVecText[] = "Can't extract `str` to `Vec`";
// Reservation from a sequence's declared length, which may lie.
constexpr Py_ssize_t kMaxReservedItems = 1 << 16;

// Name of an object's type without its module.
std::string TypeName(PyObject* obj) {
  const char* name = Py_TYPE(obj)->tp_name;
  const char* dot = std::strrchr(name, '.');
  return dot != nullptr ? dot + 1 : name;
}

void RaiseDowncast(PyObject* obj, const char* target) {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", TypeName(obj).c_str(),
               target);
}

// Replaces a pending TypeError with one whose text carries the argument's
// name; any other error is left as it is.
void PrefixTypeError(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef text(value != nullptr ? PyObject_Str(value) : nullptr);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  if (!text) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

void RaiseTooMany(const Params& p, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (p.required == p.names.size()) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given",
                 p.function, p.names.size(), given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given",
                 p.function, p.required, p.names.size(), given, verb);
  }
}

// Index of the parameter named `key`, or -1.
Py_ssize_t FindKeyword(const Params& p, PyObject* key) {
  for (size_t i = 0; i < p.names.size(); ++i) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, p.names[i]) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

bool CheckMissing(const Params& p, PyObject** out) {
  std::vector<const char*> missing;
  for (size_t i = 0; i < p.required; ++i) {
    if (out[i] == nullptr) missing.push_back(p.names[i]);
  }
  if (missing.empty()) return true;
  std::string list;
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) list += (i + 1 == missing.size()) ? " and " : ", ";
    list += "'";
    list += missing[i];
    list += "'";
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", p.function,
               missing.size(), missing.size() == 1 ? "argument" : "arguments", list.c_str());
  return false;
}

bool PlaceKeyword(const Params& p, PyObject* key, PyObject* value, PyObject** out) {
  Py_ssize_t i = FindKeyword(p, key);
  if (i < 0) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", p.function, key);
    return false;
  }
  if (out[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", p.function,
                 p.names[static_cast<size_t>(i)]);
    return false;
  }
  out[i] = value;
  return true;
}

}  // namespace

bool ParseFastcall(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) {
  const size_t n = p.names.size();
  for (size_t i = 0; i < n; ++i) out[i] = nullptr;
  if (nargs > static_cast<Py_ssize_t>(n)) {
    RaiseTooMany(p, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (!PlaceKeyword(p, key, args[nargs + k], out)) return false;
    }
  }
  return CheckMissing(p, out);
}

bool ParseTuple(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out) {
  const size_t n = p.names.size();
  for (size_t i = 0; i < n; ++i) out[i] = nullptr;
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > static_cast<Py_ssize_t>(n)) {
    RaiseTooMany(p, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PlaceKeyword(p, key, value, out)) return false;
    }
  }
  return CheckMissing(p, out);
}

bool ConvertText(PyObject* obj, const char* name, std::string_view* out) {
  if (!PyUnicode_Check(obj)) {
    RaiseDowncast(obj, "PyString");
    PrefixTypeError(name);
    return false;
  }
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) {
    PrefixTypeError(name);
    return false;
  }
  *out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

namespace {

// Converts a sequence element by element: refuses a str and objects that
// are not sequences, reserves for the declared length (capped: it may lie),
// then hands each item to `convert`, which returns false with an error set.
template <typename Reserve, typename Convert>
bool ConvertSequence(PyObject* obj, const char* name, Reserve reserve, Convert convert) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, kStrToVecText);
    PrefixTypeError(name);
    return false;
  }
  if (!PySequence_Check(obj)) {
    RaiseDowncast(obj, "Sequence");
    PrefixTypeError(name);
    return false;
  }
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  reserve(static_cast<size_t>(std::min(hint, kMaxReservedItems)));
  PyRef iter(PyObject_GetIter(obj));
  if (!iter) {
    PrefixTypeError(name);
    return false;
  }
  while (true) {
    PyRef item(PyIter_Next(iter.get()));
    if (!item) break;
    if (!convert(std::move(item))) return false;
  }
  if (PyErr_Occurred()) {
    PrefixTypeError(name);
    return false;
  }
  return true;
}

}  // namespace

namespace {

bool ConvertByteSequenceImpl(PyObject* obj, const char* name, ByteArg* out) {
  if (PyBytes_CheckExact(obj)) {
    out->bytes = {reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(obj)),
                  static_cast<size_t>(PyBytes_GET_SIZE(obj))};
    return true;
  }
  if (PyByteArray_CheckExact(obj)) {
    if (PyObject_GetBuffer(obj, &out->exported, PyBUF_SIMPLE) != 0) return false;
    out->bytes = {static_cast<const std::byte*>(out->exported.buf),
                  static_cast<size_t>(out->exported.len)};
    return true;
  }
  const bool ok = ConvertSequence(
      obj, name, [&](size_t n) { out->storage.reserve(n); },
      [&](PyRef item) {
        // Integers only, through __index__ as CPython's PyLong_AsLong
        // does; other interpreters would also take floats through __int__.
        PyObject* number = item.get();
        PyRef index;
        if (!PyLong_Check(number)) {
          index = PyRef(PyNumber_Index(number));
          if (!index) {
            PrefixTypeError(name);
            return false;
          }
          number = index.get();
        }
        long v = PyLong_AsLong(number);
        if (v == -1 && PyErr_Occurred()) {
          PrefixTypeError(name);
          return false;
        }
        if (v < 0 || v > 255) {
          PyErr_SetString(PyExc_OverflowError, kRangeText);
          return false;
        }
        out->storage.push_back(static_cast<std::byte>(v));
        return true;
      });
  out->bytes = out->storage;
  return ok;
}

bool ConvertTextSequenceImpl(PyObject* obj, const char* name, TextListArg* out) {
#ifndef PYPY_VERSION
  // An exact list or tuple yields its items as they stand (iterating it runs
  // no Python code), so they are read in place. The key objects of a batch
  // lie anywhere in the heap: each is prefetched a few items ahead, so that
  // their memory misses overlap instead of queueing one per key.
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    constexpr Py_ssize_t kAhead = 8;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
    PyObject** items = PySequence_Fast_ITEMS(obj);
    out->refs.reserve(static_cast<size_t>(n));
    out->texts.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (i + kAhead < n) PrefetchLine(items[i + kAhead]);
      PyObject* item = items[i];
      std::string_view text;
      if (!ConvertText(item, name, &text)) return false;
      Py_INCREF(item);
      out->refs.emplace_back(item);
      out->texts.push_back(text);
    }
    return true;
  }
#endif
  return ConvertSequence(
      obj, name,
      [&](size_t n) {
        out->refs.reserve(n);
        out->texts.reserve(n);
      },
      [&](PyRef item) {
        std::string_view text;
        if (!ConvertText(item.get(), name, &text)) return false;
        out->texts.push_back(text);
        out->refs.push_back(std::move(item));
        return true;
      });
}

}  // namespace

// No C++ exception may reach the interpreter: a sequence too large for the
// memory left is MemoryError.
bool ConvertByteSequence(PyObject* obj, const char* name, ByteArg* out) {
  try {
    return ConvertByteSequenceImpl(obj, name, out);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

bool ConvertTextSequence(PyObject* obj, const char* name, TextListArg* out) {
  try {
    return ConvertTextSequenceImpl(obj, name, out);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

bool ConvertCacheSize(PyObject* obj, const char* name, uint64_t* out) {
  PyRef index;
  PyObject* number = obj;
  if (!PyLong_Check(obj)) {
    index = PyRef(PyNumber_Index(obj));
    if (!index) {
      PrefixTypeError(name);
      return false;
    }
    number = index.get();
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(number);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PrefixTypeError(name);
    return false;
  }
  // The cache capacity is a machine word, 32 bits on the store's home
  // platforms; the same limit applies everywhere.
  if (v > std::numeric_limits<uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, kRangeText);
    return false;
  }
  *out = v;
  return true;
}

}  // namespace vantre::binding
