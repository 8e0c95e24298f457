// Helpers shared by the types of vantre._inspect: C++ failures turned into
// Python exceptions, the progress callback, and (key, value) pairs.
#ifndef VANTRE_INSPECT_COMMON_H_
#define VANTRE_INSPECT_COMMON_H_

#include <Python.h>

#include <cstddef>
#include <string>
#include <vector>

#include "binding/py_ref.h"
#include "engine/check/check.h"

namespace vantre::inspect {

// Translates the C++ exception being handled: OSError with errno and the
// file for the operating system's failures, OSError with the engine's text
// for its own, MemoryError. REQUIRES: inside a catch.
void RaiseCurrent();

template <typename F>
PyObject* Guard(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    RaiseCurrent();
    return nullptr;
  }
}

// Wraps the Python callable `callable` (or None: no reporting) as the
// engine's Progress. An exception it raises stops the work; *failed is set
// and the exception stays set for the caller to return.
Progress MakeProgress(PyObject* callable, bool* failed);

// Checks that `progress` is None or callable; false with TypeError set.
bool CheckProgressArgument(PyObject* progress);

// A (str, bytes or None) tuple; null with an error set on failure.
PyObject* EntryTuple(const std::string& key, const std::vector<std::byte>* value);

// A list of str, decoded leniently.
PyObject* TextList(const std::vector<std::string>& texts);

// Adds `type` made from `spec` to `module` as `name`; false on failure.
bool AddType(PyObject* module, PyType_Spec* spec, const char* name);

// A Python object that owns one engine object built from a directory path
// (`T(std::string)`); null until __init__ succeeds. Both types of the
// module are such objects, and share their slots below.
template <typename T>
struct OwnedObject {
  PyObject_HEAD
  T* value;
};

// The object's engine object; null with ValueError set before __init__.
template <typename T>
T* Owned(PyObject* self, const char* type_name) {
  T* value = reinterpret_cast<OwnedObject<T>*>(self)->value;
  if (value == nullptr) PyErr_Format(PyExc_ValueError, "%s is not initialised", type_name);
  return value;
}

// tp_init: __init__(path) builds the engine object; `format` is
// "O&:<type name>". A failure leaves any earlier object in place.
template <typename T>
int InitOwned(PyObject* self, PyObject* args, PyObject* kwargs, const char* format) {
  static const char* names[] = {"path", nullptr};
  PyObject* path_bytes = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names),
                                   PyUnicode_FSConverter, &path_bytes)) {
    return -1;
  }
  binding::PyRef path_ref(path_bytes);
  std::string path(PyBytes_AS_STRING(path_bytes), static_cast<size_t>(PyBytes_GET_SIZE(path_bytes)));
  auto* obj = reinterpret_cast<OwnedObject<T>*>(self);
  PyObject* ok = Guard([&]() -> PyObject* {
    auto* made = new T(path);
    delete obj->value;
    obj->value = made;
    Py_RETURN_NONE;
  });
  if (ok == nullptr) return -1;
  Py_DECREF(ok);
  return 0;
}

// tp_dealloc: the engine object, the memory, then the heap type.
template <typename T>
void DeallocOwned(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<OwnedObject<T>*>(self)->value;
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

// The Recovery type's spec (recovery_object.cpp).
extern PyType_Spec recovery_spec;

}  // namespace vantre::inspect

#endif  // VANTRE_INSPECT_COMMON_H_
