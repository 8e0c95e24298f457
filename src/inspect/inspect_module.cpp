// vantre._inspect: the read-only directory inspection of the engine
// (engine/check/check.h) for the command-line tool. One type, Inspector:
//
//   Inspector(path)                   rebuilds the directory's state read-only
//   .figures() -> dict                counts and sizes (DirectoryFigures)
//   .problems() -> list[str]          problems found so far
//   .refusal() -> str | None          why open refuses the store (the same text)
//   .notes() -> list[str]             facts that are not damage (wal.bin.cut)
//   .verify(progress) -> bool         verifies every live record; progress is
//                                     None or called as progress(done, total)
//                                     and stops the work by returning False
//   .live_count() -> int
//   .entries(start, count, values)    [(key, value or None)] of live records
//                                     start .. start + count, in key order;
//                                     None for a damaged record
//
// and Recovery (recovery_object.cpp), what `vantre recover` copies.
//
// Failures: OSError with errno and file for the operating system's, OSError
// (EIO) with the engine's text for records outside their files,
// MemoryError.
#include <Python.h>

#include <string>
#include <vector>

#include "binding/py_ref.h"
#include "engine/check/check.h"
#include "engine/util/error.h"
#include "inspect/inspect_common.h"

namespace vantre::inspect {
namespace {

using binding::PyRef;

using InspectorObject = OwnedObject<DirectoryInspector>;

DirectoryInspector* Get(PyObject* self) { return Owned<DirectoryInspector>(self, "Inspector"); }

// ------------------------------------------------------------- methods

int inspector_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return InitOwned<DirectoryInspector>(self, args, kwargs, "O&:Inspector");
}

// Adds name -> value to `dict`; false with an error set on failure.
bool SetItem(PyObject* dict, const char* name, PyObject* value) {
  PyRef owned(value);
  return owned && PyDict_SetItemString(dict, name, owned.get()) == 0;
}

PyObject* inspector_figures(PyObject* self, PyObject*) {
  DirectoryInspector* inspector = Get(self);
  if (inspector == nullptr) return nullptr;
  const DirectoryFigures& f = inspector->figures();
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  const std::pair<const char*, uint64_t> counts[] = {
      {"live_keys", f.live_keys},
      {"records", f.records},
      {"dead_records", f.dead_records},
      {"record_capacity", f.record_capacity},
      {"offsets_bytes", f.offsets_bytes},
      {"keys_bytes", f.keys_bytes},
      {"values_bytes", f.values_bytes},
      {"snapshot_bytes", f.snapshot_bytes},
      {"log_bytes", f.log_bytes},
      {"log_records", f.log_records},
      {"log_torn_bytes", f.log_torn_bytes},
      {"live_data_bytes", f.live_data_bytes},
      {"reclaimable_bytes", f.reclaimable_bytes},
      {"cut_file_bytes", f.cut_file_bytes},
  };
  for (const auto& [name, value] : counts) {
    if (!SetItem(dict.get(), name, PyLong_FromUnsignedLongLong(value))) return nullptr;
  }
  const std::pair<const char*, bool> flags[] = {
      {"snapshot_present", f.snapshot_present},
      {"snapshot_decoded", f.snapshot_decoded},
      {"vacuum_pending", f.vacuum_pending},
      {"switch_pending", f.switch_pending},
      {"store_present", f.store_present},
  };
  for (const auto& [name, value] : flags) {
    if (!SetItem(dict.get(), name, PyBool_FromLong(value ? 1 : 0))) return nullptr;
  }
  return dict.release();
}

PyObject* inspector_problems(PyObject* self, PyObject*) {
  DirectoryInspector* inspector = Get(self);
  return inspector == nullptr ? nullptr : TextList(inspector->problems());
}

PyObject* inspector_refusal(PyObject* self, PyObject*) {
  DirectoryInspector* inspector = Get(self);
  if (inspector == nullptr) return nullptr;
  if (inspector->refusal().empty()) Py_RETURN_NONE;
  const std::string& text = inspector->refusal();
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* inspector_notes(PyObject* self, PyObject*) {
  DirectoryInspector* inspector = Get(self);
  return inspector == nullptr ? nullptr : TextList(inspector->notes());
}

PyObject* inspector_verify(PyObject* self, PyObject* progress) {
  DirectoryInspector* inspector = Get(self);
  if (inspector == nullptr || !CheckProgressArgument(progress)) return nullptr;
  // An exception raised by the callback stops the work and is re-raised
  // once the engine has returned.
  bool failed = false;
  const Progress report = MakeProgress(progress, &failed);
  PyObject* result = Guard([&]() -> PyObject* {
    const bool finished = inspector->Verify(report);
    return PyBool_FromLong(finished ? 1 : 0);
  });
  if (failed) {
    Py_XDECREF(result);
    return nullptr;
  }
  return result;
}

PyObject* inspector_live_count(PyObject* self, PyObject*) {
  DirectoryInspector* inspector = Get(self);
  if (inspector == nullptr) return nullptr;
  return PyLong_FromUnsignedLongLong(inspector->live_count());
}

PyObject* inspector_entries(PyObject* self, PyObject* args) {
  DirectoryInspector* inspector = Get(self);
  if (inspector == nullptr) return nullptr;
  unsigned long long start, count;
  int with_values;
  if (!PyArg_ParseTuple(args, "KKp:entries", &start, &count, &with_values)) return nullptr;
  const uint64_t total = inspector->live_count();
  const uint64_t first = std::min<uint64_t>(start, total);
  const uint64_t n = std::min<uint64_t>(count, total - first);
  PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  std::string key;
  std::vector<std::byte> value;
  for (uint64_t i = 0; i < n; ++i) {
    bool damaged = false;
    PyObject* ok = Guard([&]() -> PyObject* {
      try {
        inspector->ReadEntry(first + i, &key, with_values ? &value : nullptr);
      } catch (const EngineError& e) {
        // A damaged record: left out (None), as a read of it fails.
        if (e.kind() != ErrorKind::kInvalidData && e.kind() != ErrorKind::kUnexpectedEof) throw;
        damaged = true;
      }
      Py_RETURN_NONE;
    });
    if (ok == nullptr) return nullptr;
    Py_DECREF(ok);
    if (damaged) {
      Py_INCREF(Py_None);
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_None);
      continue;
    }
    PyObject* pair = EntryTuple(key, with_values ? &value : nullptr);
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

// ------------------------------------------------------ type and module

PyMethodDef inspector_methods[] = {
    {"figures", inspector_figures, METH_NOARGS, "figures($self)\n--\n\nCounts and sizes."},
    {"problems", inspector_problems, METH_NOARGS,
     "problems($self)\n--\n\nProblems found so far, one sentence each."},
    {"refusal", inspector_refusal, METH_NOARGS,
     "refusal($self)\n--\n\nWhy open refuses the store, or None when it opens it."},
    {"notes", inspector_notes, METH_NOARGS,
     "notes($self)\n--\n\nFacts about the directory that are not damage."},
    {"verify", inspector_verify, METH_O,
     "verify($self, progress, /)\n--\n\nVerifies every live record; False if stopped."},
    {"live_count", inspector_live_count, METH_NOARGS, "live_count($self)\n--\n\n"},
    {"entries", inspector_entries, METH_VARARGS,
     "entries($self, start, count, values, /)\n--\n\nKeys and values of live records."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot inspector_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(inspector_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(DeallocOwned<DirectoryInspector>)},
    {Py_tp_methods, inspector_methods},
    {Py_tp_doc, const_cast<char*>("Inspector(path)\n--\n\nRead-only view of a store directory.")},
    {0, nullptr},
};

PyType_Spec inspector_spec = {
    "vantre._inspect.Inspector",
    sizeof(InspectorObject),
    0,
    Py_TPFLAGS_DEFAULT,
    inspector_slots,
};

PyModuleDef inspect_module = {
    PyModuleDef_HEAD_INIT, "vantre._inspect", "Read-only inspection of a store directory.",
    -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vantre::inspect

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__inspect() {
  using namespace vantre::inspect;
  PyRef module(PyModule_Create(&inspect_module));
  if (!module) return nullptr;
  if (!AddType(module.get(), &inspector_spec, "Inspector") ||
      !AddType(module.get(), &recovery_spec, "Recovery")) {
    return nullptr;
  }
  return module.release();
}
