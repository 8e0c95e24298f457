// Typed failures of the engine.
//
// The engine reports every failure by throwing one of three types, so that
// locks, descriptors and maps are released by unwinding:
//   OsError       an operating-system call failed; carries errno.
//   EngineError   the engine itself detected a failure (a short read, a write
//                 that accepted nothing, a bad argument); carries a fixed text.
//   Unrecoverable the operation cannot go on and the call must end as a
//                 panic; carries the full panic message and where it arose.
// Helpers throw OsError or EngineError; whether a failure is reported or
// fatal is decided once, by the operation, which converts with Unwrap().
#ifndef VANTRE_ENGINE_ERROR_H_
#define VANTRE_ENGINE_ERROR_H_

#include <exception>
#include <source_location>
#include <string>

namespace vantre {

// Classification of an error without an error number. Mirrors the errno
// classes that the binding maps onto OSError subclasses.
enum class ErrorKind {
  kOther,
  kNotFound,
  kPermissionDenied,
  kInterrupted,
  kWouldBlock,
  kAlreadyExists,
  kBrokenPipe,
  kUnexpectedEof,
  kWriteZero,
  kInvalidInput,
  kInvalidData,
};

// Base of the recoverable errors: OsError and EngineError.
class Error : public std::exception {
 public:
  // Text given to the user: for OsError "<strerror> (os error <n>)", for
  // EngineError its fixed text.
  const char* what() const noexcept override { return text_.c_str(); }
  const std::string& text() const { return text_; }
  // Rendering used after the panic message when the error is unwrapped.
  virtual std::string Debug() const = 0;

 protected:
  explicit Error(std::string text) : text_(std::move(text)) {}

 private:
  std::string text_;
};

class OsError final : public Error {
 public:
  explicit OsError(int code);
  int code() const { return code_; }
  std::string Debug() const override;

 private:
  int code_;
};

// Builds an OsError from the current errno. Call it before anything else
// can clobber errno.
OsError LastOsError();

class EngineError final : public Error {
 public:
  EngineError(ErrorKind kind, const char* text) : Error(text), kind_(kind) {}
  ErrorKind kind() const { return kind_; }
  std::string Debug() const override;

 private:
  ErrorKind kind_;
};

// Fixed texts of the engine's own errors. These are shown to users.
inline constexpr char kFillBufferText[] = "failed to fill whole buffer";
inline constexpr char kWriteWholeText[] = "failed to write whole buffer";
inline constexpr char kWriteBufferedText[] = "failed to write the buffered data";

// The call cannot continue; the binding raises it as a panic.
class Unrecoverable final : public std::exception {
 public:
  explicit Unrecoverable(std::string message,
                         std::source_location where = std::source_location::current())
      : message_(std::move(message)), where_(where) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::source_location& where() const { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

// Turns a recoverable error into the unrecoverable failure of the calling
// operation: "called `Result::unwrap()` on an `Err` value: <debug>".
[[noreturn]] void Unwrap(const Error& error,
                         std::source_location where = std::source_location::current());

// The index-out-of-range failure of a bounds-checked access.
[[noreturn]] void OutOfRange(unsigned long long end, unsigned long long length,
                             std::source_location where = std::source_location::current());

}  // namespace vantre

#endif  // VANTRE_ENGINE_ERROR_H_
