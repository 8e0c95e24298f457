#include "binding/results.h"

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

}  // namespace vantre::binding
