#include "engine/io/store_dir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/util/error.h"

namespace vantre {

std::string JoinPath(const std::string& dir, const char* name) {
  std::string path = dir;
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

StoreDir StoreDir::Open(const std::string& path) {
  StoreDir d;
  d.dir_ = File::Open(path, O_RDONLY | O_DIRECTORY);
  d.path_ = path;
  return d;
}

File StoreDir::OpenFile(const char* name, int flags, mode_t mode) const {
  return File::OpenAt(dir_, name, flags, mode, PathOf(name));
}

bool StoreDir::Exists(const char* name) const {
  struct stat st;
  if (::fstatat(dir_.fd(), name, &st, 0) == 0) return true;
  if (errno == ENOENT) return false;
  throw LastOsError(PathOf(name));
}

void StoreDir::Rename(const char* from, const char* to) const {
  // A file renamed over another has its delayed blocks written out within
  // the rename on ext4, with the file locked: a put appending to it
  // meanwhile (to the new log, or to a compacted data file) waits for all
  // of them, 150 ms for the records a vacuum carried at 10 million keys.
  // Written back first, without that lock, they leave the rename next to
  // nothing to do; a step at a time, each waited for once the next has
  // started, so that no one step holds the file system's journal long (a
  // put's write waits for it). A hint only: the rename is the same without
  // it.
  try {
    const File file = OpenFile(from, O_RDONLY | O_NONBLOCK);
    constexpr uint64_t kStep = 16 << 20;
    const uint64_t size = file.Size();
    for (uint64_t at = 0; at < size; at += kStep) {
      file.WriteBack(at, kStep, /*wait=*/false);
      if (at >= kStep) file.WriteBack(at - kStep, kStep, /*wait=*/true);
    }
    file.WriteBack(0, 0, /*wait=*/true);
  } catch (const Error&) {
    // Ignoring any potential errors: the rename reports what matters.
  }
  if (::renameat(dir_.fd(), from, dir_.fd(), to) != 0) throw LastOsError(PathOf(from));
}

void StoreDir::Remove(const char* name) const {
  if (::unlinkat(dir_.fd(), name, 0) != 0 && errno != ENOENT) throw LastOsError(PathOf(name));
}

void StoreDir::Sync() const { dir_.Sync(); }

bool StoreDir::TryLockShared() const {
  int rc;
  do {
    rc = ::flock(dir_.fd(), LOCK_SH | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return true;
  if (errno == EWOULDBLOCK) return false;
  throw LastOsError(path_);
}

}  // namespace vantre
