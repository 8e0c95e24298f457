// Fault-safe access to the data files' read maps.
//
// A mapped page that lies wholly beyond the end of its file (another program
// cut keys.bin or vals.bin short under an open store) raises SIGBUS when it
// is touched. These functions touch mapped bytes under a handler that turns
// that signal into a failed call, so the store reports a short file
// ("failed to fill whole buffer") instead of dying, and the read path stays
// free of system calls. Bytes beyond the end of the file inside its last
// page read as zeros, as the kernel provides them; such damage is caught by
// vacuum, which checks every record against the files' real lengths.
//
// The handler is installed once per process and passes every other SIGBUS
// on to the action that was in place before it.
#ifndef VANTRE_ENGINE_MAP_GUARD_H_
#define VANTRE_ENGINE_MAP_GUARD_H_

#include <cstddef>

namespace vantre {

// Installs the SIGBUS handler; safe to call more than once.
void InstallMapGuard();

// Copies `n` bytes from the map at `src` to `dst`. False if a page of the
// source was not backed by the file.
bool GuardedCopy(void* dst, const void* src, size_t n);

// Whether the `n` mapped bytes at `mapped` equal those at `other`: 1 equal,
// 0 different, -1 if a page of the map was not backed by the file.
int GuardedEqual(const void* mapped, const void* other, size_t n);

}  // namespace vantre

#endif  // VANTRE_ENGINE_MAP_GUARD_H_
