#include "binding/errors.h"

#include <cerrno>
#include <cstdio>
#include <new>
#include <string_view>

#include "engine/util/error.h"

namespace vantre::binding {
namespace {

PyObject* panic_type = nullptr;

constexpr char kPanicDoc[] =
    "Raised when the store's native code meets a failure it cannot recover from.\n"
    "\n"
    "It derives from BaseException, like SystemExit, so that ordinary\n"
    "`except Exception` clauses do not swallow it and it normally propagates\n"
    "to the top of the program.";

PyObject* ExceptionForErrno(int code) {
  switch (code) {
    case EPERM:
    case EACCES: return PyExc_PermissionError;
    case ENOENT: return PyExc_FileNotFoundError;
    case EINTR: return PyExc_InterruptedError;
    case EAGAIN: return PyExc_BlockingIOError;
    case EEXIST: return PyExc_FileExistsError;
    case EPIPE: return PyExc_BrokenPipeError;
    case ECONNABORTED: return PyExc_ConnectionAbortedError;
    case ECONNRESET: return PyExc_ConnectionResetError;
    case ETIMEDOUT: return PyExc_TimeoutError;
    case ECONNREFUSED: return PyExc_ConnectionRefusedError;
    default: return PyExc_OSError;
  }
}

PyObject* ExceptionFor(const Error& e, OsErrorStyle style) {
  switch (e.kind()) {
    case ErrorKind::kReentered:
    case ErrorKind::kWrongProcess: return PyExc_RuntimeError;
    case ErrorKind::kWouldBlock: return style == OsErrorStyle::kPlain ? PyExc_OSError
                                                                    : PyExc_BlockingIOError;
    case ErrorKind::kOs: return style == OsErrorStyle::kPlain ? PyExc_OSError
                                                              : ExceptionForErrno(e.code());
    default: return PyExc_OSError;
  }
}

const char* KindName(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kOs: return "os";
    case ErrorKind::kWouldBlock: return "would_block";
    case ErrorKind::kUnexpectedEof: return "unexpected_eof";
    case ErrorKind::kWriteZero: return "write_zero";
    case ErrorKind::kInvalidInput: return "invalid_input";
    case ErrorKind::kInvalidData: return "invalid_data";
    case ErrorKind::kReentered: return "reentered";
    case ErrorKind::kWrongProcess: return "wrong_process";
  }
  return "other";
}

// The error's data as attributes of the raised exception, so that callers
// need not parse its text: errno (None without one), kind, and the file it
// concerns (None without one). The text itself stays the exception's
// single argument. Failures to set them are ignored.
void AttachErrorData(const Error* e) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr) {
    PyObject* code = e != nullptr && e->code() != 0 ? PyLong_FromLong(e->code()) : (Py_INCREF(Py_None), Py_None);
    PyObject* kind = e != nullptr ? PyUnicode_FromString(KindName(e->kind())) : (Py_INCREF(Py_None), Py_None);
    PyObject* file = e != nullptr && !e->path().empty()
                         ? PyUnicode_DecodeFSDefaultAndSize(e->path().data(),
                                                            static_cast<Py_ssize_t>(e->path().size()))
                         : (Py_INCREF(Py_None), Py_None);
    if (code == nullptr || kind == nullptr || file == nullptr ||
        PyObject_SetAttrString(value, "errno", code) != 0 ||
        PyObject_SetAttrString(value, "kind", kind) != 0 ||
        PyObject_SetAttrString(value, "file", file) != 0) {
      PyErr_Clear();
    }
    Py_XDECREF(code);
    Py_XDECREF(kind);
    Py_XDECREF(file);
  }
  PyErr_Restore(type, value, tb);
}

void RaiseWithText(PyObject* type, const std::string& text) {
  PyObject* msg = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (msg == nullptr) return;
  PyErr_SetObject(type, msg);
  Py_DECREF(msg);
}

// True when the Python code that called into the module belongs to the
// vantre package (its globals' __name__ is "vantre" or "vantre.<name>"):
// the package raises its own exception for the failure, in its own words,
// so the diagnostic would only repeat it as internals on standard error,
// once per failed call, with no way for its callers to turn it off.
// Programs that call Vantre themselves keep the diagnostic.
bool CalledByPackage() {
  PyObject* globals = PyEval_GetGlobals();  // borrowed; NULL outside any frame
  if (globals == nullptr || !PyDict_Check(globals)) return false;
  PyObject* name = PyDict_GetItemString(globals, "__name__");  // borrowed
  if (name == nullptr || !PyUnicode_Check(name)) return false;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  const std::string_view module(text, static_cast<size_t>(size));
  return module == "vantre" || module.starts_with("vantre.");
}

// Source path relative to the project root, for the diagnostic.
std::string_view ProjectPath(std::string_view path) {
  size_t at = path.rfind("/src/");
  return at == std::string_view::npos ? path : path.substr(at + 1);
}

}  // namespace

PyObject* PanicExceptionType() {
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                           PyExc_BaseException, nullptr);
  }
  return panic_type;
}

void RaisePanic(const std::string& message, const std::string& where) {
  if (!CalledByPackage()) {
    std::fprintf(stderr, "_vantre: panic at %s:\n%s\n", where.c_str(), message.c_str());
    std::fflush(stderr);
  }
  PyObject* type = PanicExceptionType();
  if (type == nullptr) return;
  RaiseWithText(type, message);
}

void RaiseCurrentException(OsErrorStyle style) {
  try {
    throw;
  } catch (const Unrecoverable& e) {
    const auto& loc = e.where();
    std::string where = std::string(ProjectPath(loc.file_name())) + ":" +
                        std::to_string(loc.line()) + ":" + std::to_string(loc.column());
    RaisePanic(e.what(), where);
    AttachErrorData(e.cause() ? &*e.cause() : nullptr);
  } catch (const Error& e) {
    RaiseWithText(ExceptionFor(e, style), e.text());
    AttachErrorData(&e);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    RaisePanic(e.what(), "src/binding/errors.cpp");
  } catch (...) {
    RaisePanic("unknown failure", "src/binding/errors.cpp");
  }
}

}  // namespace vantre::binding
