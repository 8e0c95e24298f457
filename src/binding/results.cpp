#include "binding/results.h"

#include <cstring>
#include <new>

namespace vantre::binding {
namespace {

// The arguments given to the constructors below are always valid, so a
// failure is a failed allocation, whatever the interpreter reports for it
// (PyPy raises SystemError around its internal MemoryError).
PyObject* Check(PyObject* obj) {
  if (obj == nullptr) {
    PyErr_Clear();
    throw std::bad_alloc();
  }
  return obj;
}

}  // namespace

PyObject* NewBytes(std::span<const std::byte> bytes) {
  return Check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size())));
}

PyObject* NewText(std::string_view text) {
  return Check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyObject* NewInt(uint64_t v) { return Check(PyLong_FromUnsignedLongLong(v)); }

PyObject* NewList(Py_ssize_t size) { return Check(PyList_New(size)); }

PyObject* NewTuple(Py_ssize_t size) { return Check(PyTuple_New(size)); }

PyObject* NewTextList(const std::vector<std::string>& texts) {
  PyObject* list = NewList(static_cast<Py_ssize_t>(texts.size()));
  try {
    for (size_t i = 0; i < texts.size(); ++i) {
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), NewText(texts[i]));
    }
  } catch (...) {
    Py_DECREF(list);
    throw;
  }
  return list;
}

void CopiedValue::Set(std::span<const std::byte> value) {
  found_ = true;
  size_ = value.size();
  if (size_ <= kInline) {
    if (size_ > 0) std::memcpy(inline_, value.data(), size_);
  } else {
    heap_.assign(value.begin(), value.end());
  }
}

PyObject* CopiedValue::New() const {
  if (!found_) {
    Py_INCREF(Py_None);
    return Py_None;
  }
  return NewBytes({size_ <= kInline ? inline_ : heap_.data(), size_});
}

void CopiedValues::Set(size_t i, std::span<const std::byte> value) {
  starts_[i] = bytes_.size();
  lengths_[i] = value.size();
  bytes_.insert(bytes_.end(), value.begin(), value.end());
}

PyObject* CopiedValues::New(size_t i) const {
  if (starts_[i] == kAbsent) {
    Py_INCREF(Py_None);
    return Py_None;
  }
  return NewBytes({bytes_.data() + starts_[i], static_cast<size_t>(lengths_[i])});
}

}  // namespace vantre::binding
