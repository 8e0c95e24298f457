#include "engine/util/error.h"

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
    case ErrorKind::kWouldBlock: return "WouldBlock";
    case ErrorKind::kUnexpectedEof: return "UnexpectedEof";
    case ErrorKind::kWriteZero: return "WriteZero";
    case ErrorKind::kInvalidInput: return "InvalidInput";
    case ErrorKind::kInvalidData: return "InvalidData";
    case ErrorKind::kReentered: return "Reentered";
    case ErrorKind::kWrongProcess: return "WrongProcess";
    case ErrorKind::kOs: break;
  }
  return "Other";
}

}  // namespace

std::string Error::Debug() const {
  if (kind_ == ErrorKind::kOs) {
    return "OsError { code: " + std::to_string(code_) + ", message: \"" + StrError(code_) + "\" }";
  }
  return std::string("EngineError { kind: ") + KindName(kind_) + ", message: \"" + text_ + "\" }";
}

Error Error::Damaged(std::string path, std::string text) {
  return Error(ErrorKind::kInvalidData, EIO, std::move(text), std::move(path));
}

Error Error::SyncLost(const Error& cause) {
  std::string text = "an earlier sync";
  if (!cause.path().empty()) text += " of " + cause.path();
  text += " failed (" + cause.text() +
          "), so writes since the last persist may not be on disk; reopen the store";
  return Error(cause.kind(), cause.code(), std::move(text), cause.path());
}

OsError::OsError(int code, std::string path) : OsError(code, std::move(path), false) {}

OsError::OsError(int code, std::string path, bool sync_failure)
    : Error(ErrorKind::kOs, code, StrError(code) + " (os error " + std::to_string(code) + ")",
            std::move(path), sync_failure) {}

OsError OsError::OfSync(int code, std::string path) { return OsError(code, std::move(path), true); }

OsError LastOsError(const std::string& path) { return OsError(errno, path); }

void Unwrap(const Error& error, std::source_location where) {
  throw Unrecoverable("called `Result::unwrap()` on an `Err` value: " + error.Debug(), error, where);
}

void OutOfRange(unsigned long long end, unsigned long long length, std::source_location where) {
  throw Unrecoverable("range end index " + std::to_string(end) +
                          " out of range for slice of length " + std::to_string(length),
                      where);
}

}  // namespace vantre
