// Owners of descriptors and memory maps, and the one wrapper per system
// call that retries EINTR and loops over short transfers.
//
// Every failure is thrown as OsError (with errno) or EngineError (short read
// or a write that accepted nothing), naming the file the descriptor was
// opened from; callers decide whether it is fatal.
#ifndef VANTRE_ENGINE_FILE_H_
#define VANTRE_ENGINE_FILE_H_

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "engine/format/coding.h"

static_assert(sizeof(off_t) == 8, "build with 64-bit file offsets");

namespace vantre {

// Owns one open descriptor; closing it is the destructor's job.
class File {
 public:
  File() = default;
  // Takes ownership of `fd`.
  explicit File(int fd) : fd_(fd) {}
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) { other.fd_ = -1; }
  File& operator=(File&& other) noexcept;
  ~File();  // Ignoring any potential errors of close.

  // Opens `path` close-on-exec with `flags`, creating with `mode` (less the
  // umask) when O_CREAT is given.
  static File Open(const std::string& path, int flags, mode_t mode = 0666);
  // The same for `name` relative to the directory `dir`; errors name
  // `path`.
  static File OpenAt(const File& dir, const char* name, int flags, mode_t mode,
                     std::string path);

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // The path the file was opened by; empty for an adopted descriptor.
  const std::string& path() const { return path_; }

  uint64_t Size() const;
  // Reads exactly out.size() bytes at `offset`; end of file first is
  // EngineError "failed to fill whole buffer".
  void ReadExactAt(MutableBytes out, uint64_t offset) const;
  // Reads up to out.size() bytes at `offset`, fewer only at end of file.
  size_t ReadAt(MutableBytes out, uint64_t offset) const;
  // Writes all of `data` at `offset`; a write that accepts nothing is
  // EngineError "failed to write whole buffer".
  void WriteAllAt(Bytes data, uint64_t offset) const;
  // Writes all of `data` at the file position; a write that accepts nothing
  // fails with `zero_text`. *written receives the bytes that did reach the
  // file, also when an error is thrown.
  void WriteAll(Bytes data, const char* zero_text, size_t* written) const;
  // Copies `length` bytes at `offset` of `src` to `at` in this file, in the
  // kernel where it can (copy_file_range), else through a buffer. A source
  // that ends first is EngineError "failed to fill whole buffer" naming
  // `src`; a write that accepts nothing is EngineError "failed to write
  // whole buffer".
  void CopyFrom(const File& src, uint64_t offset, uint64_t length, uint64_t at) const;
  void Truncate(uint64_t length) const;
  // Makes every later write go to the end of the file (O_APPEND).
  void SetAppend() const;
  // Starts writing the file's dirty pages in [offset, offset + length) to
  // the disk (sync_file_range; a length of 0 reaches the file's end), and
  // with `wait` also waits for those already being written before, and for
  // these after. Not a sync: neither the metadata nor the disk's cache is
  // flushed. A hint: failures are ignored (a later sync reports them).
  void WriteBack(uint64_t offset, uint64_t length, bool wait) const;
  // Allocates disk blocks for `length` bytes at `offset`, extending the file
  // if they lie beyond its end; a full disk fails here with ENOSPC.
  void Allocate(uint64_t offset, uint64_t length) const;
  void Seek(uint64_t offset) const;
  // Forces the file's data and metadata to stable storage (fsync).
  void Sync() const;
  // Forces the file's data (not all of its metadata) to stable storage
  // (fdatasync).
  void SyncData() const;
  // Takes an exclusive advisory lock on the open file (flock), without
  // waiting: false if another open file description holds it. The lock
  // lasts until Unlock() or until every descriptor sharing the open file
  // description is closed, a forked child's included.
  bool TryLockExclusive() const;
  // Releases the lock for every descriptor sharing the open file
  // description; ignoring any potential errors.
  void Unlock() const;
  // True if this and `other` are the same file (device and inode).
  bool SameFileAs(const File& other) const;
  void Close();  // Ignoring any potential errors.
  // Closes a file that no name refers to any more (replaced by a rename),
  // shrinking it a step at a time first: freeing a large file's blocks at
  // once holds the file system's journal for tens of milliseconds, and
  // every other write to the file system (another thread's log write-out
  // among them) waits for it. A file that still has a name is closed as it
  // is. Errors are ignored: the close frees whatever is left.
  void CloseGradually();

 private:
  int fd_ = -1;
  std::string path_;
};

// Owns one shared read-write mapping of a whole file.
class MemoryMap {
 public:
  MemoryMap() = default;
  MemoryMap(const MemoryMap&) = delete;
  MemoryMap& operator=(const MemoryMap&) = delete;
  MemoryMap(MemoryMap&& other) noexcept;
  MemoryMap& operator=(MemoryMap&& other) noexcept;
  ~MemoryMap();  // Unmaps; ignoring any potential errors.

  enum class Access { kReadWrite, kReadOnly };
  // Maps the first `length` bytes of `file`, shared. A length that does not
  // fit the address space fails with ENOMEM. Pages of the map that lie
  // wholly beyond the end of the file must not be touched.
  static MemoryMap Map(const File& file, uint64_t length, Access access = Access::kReadWrite);

  std::byte* data() const { return data_; }
  size_t size() const { return size_; }
  // Changes the length of the map to `length`, moving it if it cannot grow
  // in place; the contents are kept. On failure the map is unchanged.
  void Resize(uint64_t length);
  // Writes every modified page back and waits for it; a failure is a sync
  // failure of `path`.
  void SyncAll(const std::string& path) const;
  // Tells the kernel that access is random (no read-ahead); failure is
  // ignored.
  void AdviseRandomAccess() const;
  // Asks for huge pages wherever the file's pages can be held in them: a
  // page fault then brings in a whole aligned 2 MiB range, which one TLB
  // entry covers. For read maps: a written page would dirty its whole
  // range. Failure is ignored.
  void AdviseHugePages() const;

 private:
  static void Unmap(std::byte* data, size_t size) noexcept;

  std::byte* data_ = nullptr;
  size_t size_ = 0;
};

// Creates `path` and every missing parent with mode 0777 (less umask), as
// mkdir -p does: an existing directory is fine; a path component that is
// not a directory fails with ENOTDIR, an existing non-directory at `path`
// with EEXIST.
void CreateDirectories(const std::string& path);

}  // namespace vantre

#endif  // VANTRE_ENGINE_FILE_H_
