// Fault-safe access to the store's maps (data files and record table).
//
// A mapped page that lies wholly beyond the end of its file (another program
// cut keys.bin, vals.bin or offsets.bin short under an open store) raises SIGBUS when it
// is touched. These functions touch mapped bytes under a handler that turns
// that signal into a failed call, so the store reports a short file
// ("failed to fill whole buffer") instead of dying, and the read path stays
// free of system calls. Bytes beyond the end of the file inside its last
// page read as zeros, as the kernel provides them; such damage is caught by
// vacuum, which checks every record against the files' real lengths.
//
// Other code may install its own SIGBUS handler before or after a store
// opens (a language runtime's fault reporter, a script's signal handler).
// The handler is put back in front at every open and, when a few
// milliseconds have passed since the last check, at a record-table access
// (GuardedCopyFixed; the store reads a record before the data files' bytes
// it locates, so those accesses need not check again);
// a handler found in its place is kept as the action every fault outside a
// guarded access is handed on to. The handler itself reads only
// initial-exec thread-local storage and makes no call that may allocate.
#ifndef VANTRE_ENGINE_MAP_GUARD_H_
#define VANTRE_ENGINE_MAP_GUARD_H_

#include <cstddef>

namespace vantre {

// Installs the SIGBUS handler, or puts it back in front of one installed
// since; called at every open.
void InstallMapGuard();

// Copies `n` bytes from `src` to `dst`, either of which may lie in a map.
// False if a page of the map was not backed by the file.
bool GuardedCopy(void* dst, const void* src, size_t n);

// GuardedCopy of a fixed size, copied inline (instantiated for 24 bytes,
// one record of the record table), which also re-checks the handler's
// place when that is due.
template <size_t N>
bool GuardedCopyFixed(void* dst, const void* src);

// Copies `count` blocks of `each` bytes, the i-th from the map at
// `sources[i]`, one after another into `dst`, under one guard that also
// re-checks the handler's place when that is due. False if a page of a
// source was not backed by the file.
bool GuardedGather(void* dst, const void* const* sources, size_t count, size_t each);

// Whether the `n` mapped bytes at `mapped` equal those at `other`: 1 equal,
// 0 different, -1 if a page of the map was not backed by the file.
int GuardedEqual(const void* mapped, const void* other, size_t n);

}  // namespace vantre

#endif  // VANTRE_ENGINE_MAP_GUARD_H_
