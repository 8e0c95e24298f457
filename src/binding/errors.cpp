#include "binding/errors.h"

#include <cerrno>
#include <cstdio>
#include <new>
#include <string_view>

#include "engine/error.h"

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

PyObject* ExceptionForKind(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kPermissionDenied: return PyExc_PermissionError;
    case ErrorKind::kNotFound: return PyExc_FileNotFoundError;
    case ErrorKind::kInterrupted: return PyExc_InterruptedError;
    case ErrorKind::kWouldBlock: return PyExc_BlockingIOError;
    case ErrorKind::kAlreadyExists: return PyExc_FileExistsError;
    case ErrorKind::kBrokenPipe: return PyExc_BrokenPipeError;
    default: return PyExc_OSError;
  }
}

void RaiseWithText(PyObject* type, const std::string& text) {
  PyObject* msg = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (msg == nullptr) return;
  PyErr_SetObject(type, msg);
  Py_DECREF(msg);
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
  std::fprintf(stderr, "_vantre: panic at %s:\n%s\n", where.c_str(), message.c_str());
  std::fflush(stderr);
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
  } catch (const OsError& e) {
    RaiseWithText(style == OsErrorStyle::kPlain ? PyExc_OSError : ExceptionForErrno(e.code()),
                  e.text());
  } catch (const EngineError& e) {
    RaiseWithText(style == OsErrorStyle::kPlain ? PyExc_OSError : ExceptionForKind(e.kind()),
                  e.text());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    RaisePanic(e.what(), "src/binding/errors.cpp");
  } catch (...) {
    RaisePanic("unknown failure", "src/binding/errors.cpp");
  }
}

}  // namespace vantre::binding
