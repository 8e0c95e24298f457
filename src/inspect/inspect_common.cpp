#include "inspect/inspect_common.h"

#include <cstring>
#include <new>

#include "engine/util/error.h"

namespace vantre::inspect {

using binding::PyRef;

void RaiseCurrent() {
  try {
    throw;
  } catch (const Error& e) {
    // errno and its text for a failed system call, the engine's text (with
    // EIO) for its own failures.
    const int code = e.code() != 0 ? e.code() : EIO;
    const char* text = e.kind() == ErrorKind::kOs ? std::strerror(code) : e.text().c_str();
    PyRef args(e.path().empty() ? Py_BuildValue("(is)", code, text)
                                : Py_BuildValue("(isO&)", code, text,
                                                PyUnicode_DecodeFSDefault, e.path().c_str()));
    if (args) PyErr_SetObject(PyExc_OSError, args.get());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown failure");
  }
}

bool CheckProgressArgument(PyObject* progress) {
  if (progress == Py_None || PyCallable_Check(progress)) return true;
  PyErr_SetString(PyExc_TypeError, "progress must be callable or None");
  return false;
}

Progress MakeProgress(PyObject* callable, bool* failed) {
  if (callable == Py_None) return nullptr;
  return [callable, failed](uint64_t done, uint64_t total) {
    PyRef result(PyObject_CallFunction(callable, "KK", static_cast<unsigned long long>(done),
                                       static_cast<unsigned long long>(total)));
    if (!result) {
      *failed = true;
      return false;
    }
    return result.get() != Py_False;
  };
}

PyObject* EntryTuple(const std::string& key, const std::vector<std::byte>* value) {
  PyRef text(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "replace"));
  if (!text) return nullptr;
  PyRef val;
  if (value != nullptr) {
    val = PyRef(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(value->data()),
                                          static_cast<Py_ssize_t>(value->size())));
  } else {
    Py_INCREF(Py_None);
    val = PyRef(Py_None);
  }
  if (!val) return nullptr;
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) return nullptr;
  PyTuple_SET_ITEM(pair, 0, text.release());
  PyTuple_SET_ITEM(pair, 1, val.release());
  return pair;
}

PyObject* TextList(const std::vector<std::string>& texts) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < texts.size(); ++i) {
    PyObject* text = PyUnicode_DecodeUTF8(texts[i].data(), static_cast<Py_ssize_t>(texts[i].size()),
                                          "replace");
    if (text == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list.release();
}

bool AddType(PyObject* module, PyType_Spec* spec, const char* name) {
  PyObject* type = PyType_FromSpec(spec);
  if (type == nullptr) return false;
  if (PyModule_AddObject(module, name, type) != 0) {
    Py_DECREF(type);
    return false;
  }
  return true;
}

}  // namespace vantre::inspect
