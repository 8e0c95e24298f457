// Typed failures of the engine.
//
// The engine reports every failure by throwing, so that locks, descriptors
// and maps are released by unwinding:
//   Error          a failure the operation may report: its kind, the errno
//                  of the system call that failed (0 for the engine's own
//                  failures), the file it concerns and a text. Built where
//                  the failure happens (OsError, EngineError).
//   Unrecoverable  the call cannot go on and must end as a panic; carries
//                  the panic message, where it arose and, when it came
//                  from an Error, that Error as its cause.
// Helpers only throw. Whether an Error is reported or fatal is decided by
// the operation, in one place per operation (Database), which converts a
// fatal one with Unwrap().
#ifndef VANTRE_ENGINE_ERROR_H_
#define VANTRE_ENGINE_ERROR_H_

#include <exception>
#include <optional>
#include <source_location>
#include <string>

namespace vantre {

// What failed, for errors without an errno and for the binding's choice of
// exception.
enum class ErrorKind {
  kOs,             // a system call failed: see code()
  kWouldBlock,     // the directory is held by another open store
  kUnexpectedEof,  // a read reached the end of the file first
  kWriteZero,      // a write accepted nothing
  kInvalidInput,   // an argument the engine cannot use (a path with NUL)
  kInvalidData,    // bytes on disk that do not decode or do not fit
  kReentered,      // a call on a store from inside a call on it
  kWrongProcess,   // a call from a process other than the one that opened it
};

class Error : public std::exception {
 public:
  const char* what() const noexcept override { return text_.c_str(); }
  ErrorKind kind() const { return kind_; }
  // errno of the failed system call, or of the condition (EIO for damaged
  // files); 0 for the engine's own failures.
  int code() const { return code_; }
  // The file the failure concerns, as the store names it; may be empty.
  const std::string& path() const { return path_; }
  // Text given to the user: for a failed system call "<strerror> (os error
  // <n>)", otherwise the engine's text.
  const std::string& text() const { return text_; }
  // Whether the failed call was a sync (fsync, fdatasync, msync): the
  // kernel may have dropped the pages it could not write.
  bool sync_failure() const { return sync_failure_; }

  // Names the file, unless one is named already.
  Error& About(const std::string& path) {
    if (path_.empty()) path_ = path;
    return *this;
  }
  // Rendering used after the panic message when the error is unwrapped:
  // "OsError { code: 5, message: "..." }" or "EngineError { kind: ...,
  // message: "..." }".
  std::string Debug() const;

  // A file whose bytes cannot be used as they are: reported with EIO.
  static Error Damaged(std::string path, std::string text);
  // The refusal of a store whose earlier sync failed (`cause`): its errno,
  // and a text saying the store must be reopened.
  static Error SyncLost(const Error& cause);

 protected:
  Error(ErrorKind kind, int code, std::string text, std::string path, bool sync_failure = false)
      : kind_(kind), code_(code), path_(std::move(path)), text_(std::move(text)),
        sync_failure_(sync_failure) {}

 private:
  ErrorKind kind_;
  int code_;
  std::string path_;
  std::string text_;
  bool sync_failure_;
};

// A failed system call.
class OsError final : public Error {
 public:
  explicit OsError(int code, std::string path = {});
  // The failure of a sync call.
  static OsError OfSync(int code, std::string path);

 private:
  OsError(int code, std::string path, bool sync_failure);
};

// Builds an OsError from the current errno. Call it before anything else
// can clobber errno.
OsError LastOsError(const std::string& path = {});

// A failure the engine detects itself, with a fixed text.
class EngineError final : public Error {
 public:
  EngineError(ErrorKind kind, std::string text, std::string path = {})
      : Error(kind, 0, std::move(text), std::move(path)) {}
};

// Fixed texts of the engine's own errors. These are shown to users.
inline constexpr char kFillBufferText[] = "failed to fill whole buffer";
inline constexpr char kWriteWholeText[] = "failed to write whole buffer";
inline constexpr char kWriteBufferedText[] = "failed to write the buffered data";
inline constexpr char kForeignKeyText[] =
    "a record of the key index locates another key's bytes: the store is damaged";

// The call cannot continue; the binding raises it as a panic.
class Unrecoverable final : public std::exception {
 public:
  explicit Unrecoverable(std::string message,
                         std::source_location where = std::source_location::current())
      : message_(std::move(message)), where_(where) {}
  Unrecoverable(std::string message, const Error& cause, std::source_location where)
      : message_(std::move(message)), where_(where), cause_(cause) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::source_location& where() const { return where_; }
  // The reportable failure this one was made from, if any.
  const std::optional<Error>& cause() const { return cause_; }

 private:
  std::string message_;
  std::source_location where_;
  std::optional<Error> cause_;
};

// Turns a recoverable error into the unrecoverable failure of the calling
// operation: "called `Result::unwrap()` on an `Err` value: <debug>".
[[noreturn]] void Unwrap(const Error& error,
                         std::source_location where = std::source_location::current());

// Runs `step`; an Error it throws is fatal to the operation.
template <typename F>
decltype(auto) Fatal(F&& step, std::source_location where = std::source_location::current()) {
  try {
    return step();
  } catch (const Error& e) {
    Unwrap(e, where);
  }
}

// The index-out-of-range failure of a bounds-checked access.
[[noreturn]] void OutOfRange(unsigned long long end, unsigned long long length,
                             std::source_location where = std::source_location::current());

}  // namespace vantre

#endif  // VANTRE_ENGINE_ERROR_H_
