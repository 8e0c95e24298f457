// The Vantre object and the implementation of its methods. The type
// object, slot array and method table are in lib.cpp.
#ifndef VANTRE_BINDING_VANTRE_OBJECT_H_
#define VANTRE_BINDING_VANTRE_OBJECT_H_

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/db/database.h"

namespace vantre::binding {

// Native state of one Vantre object; constructed in place by tp_new and
// destroyed by tp_dealloc.
struct VantreState {
  std::string storage_path;
  std::shared_ptr<Database> db;
  // Number of method calls using the object; -1 while _close() drops the
  // Database (an exclusive borrow).
  std::atomic<int32_t> borrows{0};
};

struct VantreObject {
  PyObject_HEAD
  VantreState state;
};

// The Vantre type, created on first use. Returns a borrowed reference, or
// NULL with an error set.
PyTypeObject* VantreType();

PyObject* vantre_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
void vantre_dealloc(PyObject* self);

PyObject* vantre_set_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* vantre_get_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* vantre_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* vantre_persist(PyObject* self, PyObject* unused);
PyObject* vantre_vacuum(PyObject* self, PyObject* unused);
// Writes the buffers out and syncs the log.
PyObject* vantre_sync(PyObject* self, PyObject* unused);
// Writes the buffers out and tears the store down at once (unmapped,
// closed, unlocked); later calls raise ValueError. A second close does
// nothing.
PyObject* vantre_close(PyObject* self, PyObject* unused);
PyObject* vantre_len(PyObject* self, PyObject* unused);
PyObject* vantre_keys(PyObject* self, PyObject* unused);
PyObject* vantre_cache_stats(PyObject* self, PyObject* unused);
PyObject* vantre_clear_cache(PyObject* self, PyObject* unused);
PyObject* vantre_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Writes out the buffers of every open store; registered to run at a
// normal interpreter exit, where objects may never be freed.
PyObject* vantre_flush_at_exit(PyObject* module, PyObject* unused);

}  // namespace vantre::binding

#endif  // VANTRE_BINDING_VANTRE_OBJECT_H_
