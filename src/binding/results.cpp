#include "binding/results.h"

#include <new>

#include "engine/util/error.h"

namespace vantre::binding {
namespace {

PyObject* Check(PyObject* obj, const char* what) {
  if (obj == nullptr) {
    const bool no_memory = PyErr_ExceptionMatches(PyExc_MemoryError);
    PyErr_Clear();
    if (no_memory) throw std::bad_alloc();
    throw Unrecoverable(std::string("failed to create ") + what);
  }
  return obj;
}

}  // namespace

PyObject* NewBytes(std::span<const std::byte> bytes) {
  return Check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size())),
               "bytes object");
}

PyObject* NewText(std::string_view text) {
  return Check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"),
               "str object");
}

PyObject* NewInt(uint64_t v) { return Check(PyLong_FromUnsignedLongLong(v), "int object"); }

PyObject* NewList(Py_ssize_t size) { return Check(PyList_New(size), "list object"); }

PyObject* NewTuple(Py_ssize_t size) { return Check(PyTuple_New(size), "tuple object"); }

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
