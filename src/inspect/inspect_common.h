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

// The Recovery type's spec (recovery_object.cpp).
extern PyType_Spec recovery_spec;

}  // namespace vantre::inspect

#endif  // VANTRE_INSPECT_COMMON_H_
