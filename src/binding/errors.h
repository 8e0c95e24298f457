// The one place where engine failures become Python exceptions.
//
//   vantre::Error          -> OSError (a subclass chosen by errno or kind,
//                             or plain OSError for vacuum), or RuntimeError
//                             for a call from the wrong process or from
//                             inside a call on the same store; the error's
//                             text as its single argument
//   vantre::Unrecoverable  -> PanicException, after a diagnostic on
//                             standard error (none for calls made by the
//                             vantre package, which raises its own error)
//   std::bad_alloc         -> MemoryError
// Both exceptions made from an Error carry its data as attributes: `errno`
// (int or None), `kind` (str) and `file` (str or None).
#ifndef VANTRE_BINDING_ERRORS_H_
#define VANTRE_BINDING_ERRORS_H_

#include <Python.h>

#include <string>

namespace vantre::binding {

enum class OsErrorStyle {
  kBySubclass,  // the OSError subclass chosen by errno (constructor, persist)
  kPlain,       // OSError itself, whatever the errno (vacuum)
};

// The PanicException class, created once per process. Returns a borrowed
// reference, or NULL with an error set.
PyObject* PanicExceptionType();

// Raises PanicException with `message` after writing the diagnostic, which
// names `where` (file:line:column), to standard error; the diagnostic is
// left out when the calling Python code is the vantre package's.
void RaisePanic(const std::string& message, const std::string& where);

// Translates the C++ exception being handled into a Python exception.
// REQUIRES: called from inside a catch block.
void RaiseCurrentException(OsErrorStyle style);

// Runs `body`, which returns a new reference or NULL with an error set, and
// turns any C++ exception it throws into a Python exception. No C++
// exception may unwind through the interpreter.
template <typename F>
PyObject* Guard(OsErrorStyle style, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    RaiseCurrentException(style);
    return nullptr;
  }
}

}  // namespace vantre::binding

#endif  // VANTRE_BINDING_ERRORS_H_
