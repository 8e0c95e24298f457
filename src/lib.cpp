// Module entry: the initialisation function, the Vantre type's slots and
// method table, and the module definition.
#include <Python.h>

#include "binding/errors.h"
#include "binding/gil.h"
#include "binding/py_ref.h"
#include "binding/vantre_object.h"

namespace vantre::binding {
namespace {

PyMethodDef vantre_methods[] = {
    {"set_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vantre_set_bytes)),
     METH_FASTCALL | METH_KEYWORDS, "set_bytes($self, key, val)\n--\n\n"},
    {"get_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vantre_get_bytes)),
     METH_FASTCALL | METH_KEYWORDS, "get_bytes($self, key)\n--\n\n"},
    {"delete", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vantre_delete)),
     METH_FASTCALL | METH_KEYWORDS, "delete($self, key)\n--\n\n"},
    {"persist", vantre_persist, METH_NOARGS, "persist($self)\n--\n\n"},
    {"vacuum", vantre_vacuum, METH_NOARGS, "vacuum($self)\n--\n\n"},
    // Beside the public methods: used by the vantre package only.
    {"_sync", vantre_sync, METH_NOARGS, "_sync($self)\n--\n\n"},
    {"_close", vantre_close, METH_NOARGS, "_close($self)\n--\n\n"},
    {"len", vantre_len, METH_NOARGS, "len($self)\n--\n\n"},
    {"keys", vantre_keys, METH_NOARGS, "keys($self)\n--\n\n"},
    {"cache_stats", vantre_cache_stats, METH_NOARGS, "cache_stats($self)\n--\n\n"},
    {"clear_cache", vantre_clear_cache, METH_NOARGS, "clear_cache($self)\n--\n\n"},
    {"get_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vantre_get_many)),
     METH_FASTCALL | METH_KEYWORDS, "get_many($self, keys)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot vantre_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(vantre_new)},
    {Py_tp_methods, vantre_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(vantre_dealloc)},
    {Py_tp_doc, const_cast<char*>("Vantre(storage_path, cache_size=...)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec vantre_spec = {
    "Vantre",
    sizeof(VantreObject),
    0,
    Py_TPFLAGS_DEFAULT,
    vantre_slots,
};

PyMethodDef flush_at_exit_def = {"_flush_open_stores", vantre_flush_at_exit, METH_NOARGS,
                                 nullptr};

PyModuleDef vantre_module = {
    PyModuleDef_HEAD_INIT, "_vantre", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Once-initialised cells for the module and the type.
PyObject* module_cell = nullptr;
PyObject* type_cell = nullptr;

// Writes every open store's buffers out at a normal interpreter exit:
// objects kept alive until then may never be deallocated.
bool RegisterExitFlush() {
  PyRef atexit(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  PyRef func(PyCFunction_NewEx(&flush_at_exit_def, nullptr, nullptr));
  if (!func) return false;
  PyRef result(PyObject_CallMethod(atexit.get(), "register", "O", func.get()));
  return static_cast<bool>(result);
}

PyObject* CreateModule() {
  PyRef module(PyModule_Create2(&vantre_module, 3));
  if (!module) return nullptr;
  PyTypeObject* type = VantreType();
  if (type == nullptr) return nullptr;
  Py_INCREF(type);
  if (PyModule_AddObject(module.get(), "Vantre", reinterpret_cast<PyObject*>(type)) != 0) {
    Py_DECREF(type);
    return nullptr;
  }
  PyObject* all = PyObject_GetAttrString(module.get(), "__all__");
  if (all == nullptr) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return nullptr;
    if (PyModule_AddObject(module.get(), "__all__", all) != 0) {
      Py_DECREF(all);
      return nullptr;
    }
    Py_INCREF(all);
  }
  PyRef all_ref(all);
  PyRef name(PyUnicode_FromString("Vantre"));
  if (!name || PyList_Append(all, name.get()) != 0) {
    PyErr_SetString(PyExc_RuntimeError, "could not append __name__ to __all__");
    return nullptr;
  }
  if (PanicExceptionType() == nullptr) return nullptr;
  if (!RegisterExitFlush()) return nullptr;
  return module.release();
}

// The type's name has no module prefix, which some interpreters warn about
// while creating it; the warning is silenced for that one call, as it would
// otherwise fail the import where warnings are errors.
PyObject* CreateTypeQuietly() {
  PyRef warnings(PyImport_ImportModule("warnings"));
  if (!warnings) return nullptr;
  PyRef guard(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
  if (!guard) return nullptr;
  PyRef entered(PyObject_CallMethod(guard.get(), "__enter__", nullptr));
  if (!entered) return nullptr;
  PyRef filtered(PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore",
                                     PyExc_DeprecationWarning));
  PyObject* type = filtered ? PyType_FromSpec(&vantre_spec) : nullptr;
  PyObject *et, *ev, *tb;
  PyErr_Fetch(&et, &ev, &tb);
  PyRef exited(PyObject_CallMethod(guard.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
  PyErr_Restore(et, ev, tb);
  if (!exited && type != nullptr) PyErr_Clear();
  return type;
}

}  // namespace

PyTypeObject* VantreType() {
  if (type_cell == nullptr) {
    type_cell = CreateTypeQuietly();
    if (type_cell == nullptr) {
      PyErr_PrintEx(0);
      RaisePanic("failed to create type object for Vantre", "src/lib.cpp");
      return nullptr;
    }
    // A name without a module prefix: the module is the default one.
    PyRef module_name(PyUnicode_FromString("builtins"));
    if (!module_name || PyObject_SetAttrString(type_cell, "__module__", module_name.get()) != 0) {
      Py_CLEAR(type_cell);
      return nullptr;
    }
  }
  return reinterpret_cast<PyTypeObject*>(type_cell);
}

}  // namespace vantre::binding

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__vantre() {
  using vantre::binding::module_cell;
  if (module_cell == nullptr) {
    vantre::binding::module_thread = PyThread_get_thread_ident();
    PyObject* module = vantre::binding::CreateModule();
    if (module == nullptr) return nullptr;
    module_cell = module;
  }
  Py_INCREF(module_cell);
  return module_cell;
}
