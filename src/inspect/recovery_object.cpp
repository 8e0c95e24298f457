// vantre._inspect.Recovery: what `vantre recover` copies out of a store
// directory (engine/check/recover.h), read without changing anything.
//
//   Recovery(path)                 rebuilds the directory's state read-only
//   .scan(progress) -> bool        decides what is recovered; progress as
//                                  Inspector.verify's
//   .report() -> dict              from_record_table, count, lost_records,
//                                  lost (list[str]), problems (list[str])
//   .entries(start, count)         [(key, value)] of recovered entries
#include <Python.h>

#include <string>
#include <vector>

#include "binding/py_ref.h"
#include "engine/check/recover.h"
#include "inspect/inspect_common.h"

namespace vantre::inspect {
namespace {

using binding::PyRef;

using RecoveryObject = OwnedObject<Recovery>;

Recovery* Get(PyObject* self) { return Owned<Recovery>(self, "Recovery"); }

int recovery_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return InitOwned<Recovery>(self, args, kwargs, "O&:Recovery");
}

PyObject* recovery_scan(PyObject* self, PyObject* progress) {
  Recovery* recovery = Get(self);
  if (recovery == nullptr || !CheckProgressArgument(progress)) return nullptr;
  bool failed = false;
  const Progress report = MakeProgress(progress, &failed);
  PyObject* result = Guard([&]() -> PyObject* {
    return PyBool_FromLong(recovery->Scan(report) ? 1 : 0);
  });
  if (failed) {
    Py_XDECREF(result);
    return nullptr;
  }
  return result;
}

PyObject* recovery_report(PyObject* self, PyObject*) {
  Recovery* recovery = Get(self);
  if (recovery == nullptr) return nullptr;
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  const std::pair<const char*, PyObject*> items[] = {
      {"from_record_table", PyBool_FromLong(recovery->from_record_table() ? 1 : 0)},
      {"count", PyLong_FromUnsignedLongLong(recovery->count())},
      {"lost_records", PyLong_FromUnsignedLongLong(recovery->lost_records())},
      {"lost", TextList(recovery->lost())},
      {"problems", TextList(recovery->inspector().problems())},
  };
  bool ok = true;
  for (const auto& [name, value] : items) {
    PyRef owned(value);
    ok = ok && owned && PyDict_SetItemString(dict.get(), name, owned.get()) == 0;
  }
  return ok ? dict.release() : nullptr;
}

PyObject* recovery_entries(PyObject* self, PyObject* args) {
  Recovery* recovery = Get(self);
  if (recovery == nullptr) return nullptr;
  unsigned long long start, count;
  if (!PyArg_ParseTuple(args, "KK:entries", &start, &count)) return nullptr;
  const uint64_t total = recovery->count();
  const uint64_t first = std::min<uint64_t>(start, total);
  const uint64_t n = std::min<uint64_t>(count, total - first);
  PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  std::string key;
  std::vector<std::byte> value;
  for (uint64_t i = 0; i < n; ++i) {
    PyObject* ok = Guard([&]() -> PyObject* {
      recovery->ReadEntry(first + i, &key, &value);
      Py_RETURN_NONE;
    });
    if (ok == nullptr) return nullptr;
    Py_DECREF(ok);
    PyObject* pair = EntryTuple(key, &value);
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

PyMethodDef recovery_methods[] = {
    {"scan", recovery_scan, METH_O,
     "scan($self, progress, /)\n--\n\nDecides what is recovered; False if stopped."},
    {"report", recovery_report, METH_NOARGS,
     "report($self)\n--\n\nWhat is recovered and what is not."},
    {"entries", recovery_entries, METH_VARARGS,
     "entries($self, start, count, /)\n--\n\nKeys and values of recovered entries."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot recovery_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(recovery_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(DeallocOwned<Recovery>)},
    {Py_tp_methods, recovery_methods},
    {Py_tp_doc, const_cast<char*>("Recovery(path)\n--\n\nWhat can still be read from a store directory.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec recovery_spec = {
    "vantre._inspect.Recovery", sizeof(RecoveryObject), 0, Py_TPFLAGS_DEFAULT, recovery_slots,
};

}  // namespace vantre::inspect
