// The storage directory and the names of the files in it.
//
// The directory is fixed when the store opens: a descriptor of it is kept,
// and every later file operation (open, rename, existence check, sync) is
// made relative to that descriptor, so a changed working directory, or a
// relative path that now names another folder, never redirects what the
// store writes. Errors still name files by the path the caller gave.
#ifndef VANTRE_ENGINE_STORE_DIR_H_
#define VANTRE_ENGINE_STORE_DIR_H_

#include <sys/types.h>

#include <string>

#include "engine/io/file.h"

namespace vantre {

// These names are part of the directory's format and should not be changed.
inline constexpr char kSnapshotFile[] = "snapshot.bin";
inline constexpr char kSnapshotTmpFile[] = "snapshot.bin.tmp";
inline constexpr char kWalFile[] = "wal.bin";
inline constexpr char kOffsetsFile[] = "offsets.bin";
inline constexpr char kKeysFile[] = "keys.bin";
inline constexpr char kValsFile[] = "vals.bin";
inline constexpr char kOffsetsVacFile[] = "offsets.bin.vac";
inline constexpr char kKeysVacFile[] = "keys.bin.vac";
inline constexpr char kValsVacFile[] = "vals.bin.vac";
// The snapshot of a compacted store, written and synced before the first
// data file is switched: its presence means the switch must be completed.
inline constexpr char kSnapshotVacFile[] = "snapshot.bin.vac";
// The log's records written during a persist or vacuum, copied here to
// replace wal.bin; a leftover is truncated by the next one, and ignored by
// open unless a snapshot committed with it is waiting (below).
inline constexpr char kWalNewFile[] = "wal.bin.new";
// The snapshot of a persist (or vacuum) committed together with
// wal.bin.new: its presence means that wal.bin.new, if still there, must
// replace wal.bin, and then it must replace snapshot.bin (or become
// snapshot.bin.vac).
inline constexpr char kSnapshotNewFile[] = "snapshot.bin.new";
inline constexpr char kSnapshotVacNewFile[] = "snapshot.bin.vac.new";
// Bytes that open cut from the end of the log because they did not decode;
// kept for inspection, never read back by open.
inline constexpr char kWalCutFile[] = "wal.bin.cut";
// Ranges of keys.bin and vals.bin that the store found missing (a file
// shorter than its snapshot says, or cut under an open store); read by
// every open and by the inspection, so that a range the files later grow
// over (as zeros) never reads as data. Layout in missing_ranges.h.
inline constexpr char kMissingFile[] = "missing.bin";

// Joins a directory and a file name with one "/".
std::string JoinPath(const std::string& dir, const char* name);

class StoreDir {
 public:
  StoreDir() = default;
  StoreDir(StoreDir&&) = default;
  StoreDir& operator=(StoreDir&&) = default;

  // Opens the existing directory `path`. Throws OsError.
  static StoreDir Open(const std::string& path);

  // The path as the caller gave it, and a file's path under it, for
  // messages.
  const std::string& path() const { return path_; }
  std::string PathOf(const char* name) const { return JoinPath(path_, name); }

  // Opens the file `name` close-on-exec, relative to the directory.
  File OpenFile(const char* name, int flags, mode_t mode = 0666) const;
  // Whether `name` exists (symbolic links followed). Any failure but
  // ENOENT is thrown: an unreadable snapshot or log taken for an absent one
  // would lose what it holds.
  bool Exists(const char* name) const;
  void Rename(const char* from, const char* to) const;
  // Removes `name`; one that does not exist is not an error.
  void Remove(const char* name) const;
  // Makes the directory's entries durable (renames, creations).
  void Sync() const;

  // The lock that keeps a second store off the directory; see
  // File::TryLockExclusive.
  bool TryLock() const { return dir_.TryLockExclusive(); }
  // The lock of a read-only store: any number of them share the directory,
  // which a writer's lock excludes. False while a writer holds it.
  bool TryLockShared() const;
  void Unlock() const { dir_.Unlock(); }

 private:
  File dir_;
  std::string path_;
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_STORE_DIR_H_
