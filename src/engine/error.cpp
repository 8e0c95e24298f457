#include "engine/error.h"

#include <cerrno>
#include <cstring>

namespace vantre {
namespace {

std::string StrError(int code) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  return text;
}

const char* KindName(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNotFound: return "NotFound";
    case ErrorKind::kPermissionDenied: return "PermissionDenied";
    case ErrorKind::kInterrupted: return "Interrupted";
    case ErrorKind::kWouldBlock: return "WouldBlock";
    case ErrorKind::kAlreadyExists: return "AlreadyExists";
    case ErrorKind::kBrokenPipe: return "BrokenPipe";
    case ErrorKind::kUnexpectedEof: return "UnexpectedEof";
    case ErrorKind::kWriteZero: return "WriteZero";
    case ErrorKind::kInvalidInput: return "InvalidInput";
    case ErrorKind::kInvalidData: return "InvalidData";
    case ErrorKind::kOther: break;
  }
  return "Other";
}

}  // namespace

OsError::OsError(int code)
    : Error(StrError(code) + " (os error " + std::to_string(code) + ")"), code_(code) {}

std::string OsError::Debug() const {
  return "OsError { code: " + std::to_string(code_) + ", message: \"" + StrError(code_) + "\" }";
}

OsError LastOsError() { return OsError(errno); }

std::string EngineError::Debug() const {
  return std::string("EngineError { kind: ") + KindName(kind_) + ", message: \"" + text() + "\" }";
}

void Unwrap(const Error& error, std::source_location where) {
  throw Unrecoverable("called `Result::unwrap()` on an `Err` value: " + error.Debug(), where);
}

void OutOfRange(unsigned long long end, unsigned long long length, std::source_location where) {
  throw Unrecoverable("range end index " + std::to_string(end) +
                          " out of range for slice of length " + std::to_string(length),
                      where);
}

}  // namespace vantre
