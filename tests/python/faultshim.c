/*
 * Test-only fault injection, loaded with LD_PRELOAD into a child process.
 *
 *   VANTRE_FAIL_WRITE=<name>     writes (write, pwrite) to a file whose base
 *                                name is <name> fail with VANTRE_FAIL_ERRNO
 *                                (default EIO). Read at every call, so a
 *                                process can switch it on and off.
 *   VANTRE_CRASH_RENAME=<n>      the n-th rename of the process ends it
 *                                with _exit(77) before renaming.
 *   VANTRE_CRASH_AFTER_RENAME=<n> the same, just after the n-th rename.
 *   VANTRE_FAIL_RENAME=<name>    the first VANTRE_FAIL_RENAME_TIMES (default 1)
 *                                renameat() calls whose source's base name is
 *                                <name> fail with VANTRE_FAIL_ERRNO (later
 *                                ones go through).
 *   VANTRE_FAIL_SYNC=<n>         while set, syncs (fsync, fdatasync, msync) are
 *                                counted and the n-th fails with
 *                                VANTRE_FAIL_ERRNO; unsetting it resets the count.
 *   VANTRE_FAIL_SYNC_AFTER=<name> the first fsync after a renameat() whose
 *                                target's base name is <name> fails with
 *                                VANTRE_FAIL_ERRNO.
 *   VANTRE_FAIL_TRUNCATE=<name>  ftruncate of a file whose base name is <name>
 *                                fails with VANTRE_FAIL_ERRNO while set.
 *   VANTRE_SYNC_DELAY_MS=<n>     every sync (fsync, fdatasync, msync) first
 *                                sleeps n milliseconds: a persist or vacuum
 *                                then lasts long enough for other threads to
 *                                run beside it, whatever the machine.
 *   VANTRE_TRACE=<path>          appends one line per fsync, fdatasync,
 *                                rename and ftruncate to <path>: the call and
 *                                the base names of its files.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static const char *base_name(const char *path) {
  const char *base = strrchr(path, '/');
  return base ? base + 1 : path;
}

/* Base name of the file open on `fd`, in `buf`. */
static const char *fd_name(int fd, char *buf, size_t size) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, buf, size - 1);
  if (n < 0) return "?";
  buf[n] = '\0';
  return base_name(buf);
}

static int fd_matches(int fd) {
  const char *name = getenv("VANTRE_FAIL_WRITE");
  if (name == NULL || *name == '\0') return 0;
  char path[PATH_MAX];
  return strcmp(fd_name(fd, path, sizeof path), name) == 0;
}

static void trace(const char *call, const char *a, const char *b) {
  const char *out = getenv("VANTRE_TRACE");
  if (out == NULL || *out == '\0') return;
  FILE *f = fopen(out, "a");
  if (f == NULL) return;
  fprintf(f, "%s %s%s%s\n", call, a, b ? " " : "", b ? b : "");
  fclose(f);
}

static void trace_fd(const char *call, int fd) {
  char path[PATH_MAX];
  trace(call, fd_name(fd, path, sizeof path), NULL);
}

static int fail_errno(void);

static int syncs;
static int fail_next_fsync;

static void sync_delay(void) {
  const char *ms = getenv("VANTRE_SYNC_DELAY_MS");
  if (ms != NULL && *ms != '\0') usleep((useconds_t)atoi(ms) * 1000);
}

/* Whether this sync is the one VANTRE_FAIL_SYNC names. */
static int sync_fails(void) {
  const char *n = getenv("VANTRE_FAIL_SYNC");
  if (n == NULL || *n == '\0') {
    syncs = 0;
    return 0;
  }
  return ++syncs == atoi(n);
}

int fsync(int fd) {
  sync_delay();
  trace_fd("fsync", fd);
  if (sync_fails() || fail_next_fsync) {
    fail_next_fsync = 0;
    errno = fail_errno();
    return -1;
  }
  return NEXT(fsync)(fd);
}

int fdatasync(int fd) {
  sync_delay();
  trace_fd("fdatasync", fd);
  if (sync_fails()) { errno = fail_errno(); return -1; }
  return NEXT(fdatasync)(fd);
}

int msync(void *addr, size_t len, int flags) {
  sync_delay();
  if (sync_fails()) { errno = fail_errno(); return -1; }
  return NEXT(msync)(addr, len, flags);
}

/* Whether an ftruncate of `fd` is to fail (VANTRE_FAIL_TRUNCATE). */
static int truncate_fails(int fd) {
  const char *name = getenv("VANTRE_FAIL_TRUNCATE");
  if (name == NULL || *name == '\0') return 0;
  char path[PATH_MAX];
  return strcmp(fd_name(fd, path, sizeof path), name) == 0;
}

int ftruncate(int fd, off_t length) {
  trace_fd("ftruncate", fd);
  if (truncate_fails(fd)) { errno = fail_errno(); return -1; }
  return NEXT(ftruncate)(fd, length);
}

int ftruncate64(int fd, off64_t length) {
  trace_fd("ftruncate", fd);
  if (truncate_fails(fd)) { errno = fail_errno(); return -1; }
  return NEXT(ftruncate64)(fd, length);
}

static int fail_errno(void) {
  const char *e = getenv("VANTRE_FAIL_ERRNO");
  return e ? atoi(e) : EIO;
}


ssize_t write(int fd, const void *buf, size_t n) {
  if (fd_matches(fd)) { errno = fail_errno(); return -1; }
  return NEXT(write)(fd, buf, n);
}

ssize_t pwrite(int fd, const void *buf, size_t n, off_t off) {
  if (fd_matches(fd)) { errno = fail_errno(); return -1; }
  return NEXT(pwrite)(fd, buf, n, off);
}

ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t off) {
  if (fd_matches(fd)) { errno = fail_errno(); return -1; }
  return NEXT(pwrite64)(fd, buf, n, off);
}

static int renames;
static int rename_failed;

int renameat(int fromfd, const char *from, int tofd, const char *to) {
  ++renames;
  const char *fail = getenv("VANTRE_FAIL_RENAME");
  const char *times = getenv("VANTRE_FAIL_RENAME_TIMES");
  if (fail && rename_failed < (times ? atoi(times) : 1) && strcmp(base_name(from), fail) == 0) {
    ++rename_failed;
    errno = fail_errno();
    return -1;
  }
  trace("rename", base_name(from), base_name(to));
  const char *before = getenv("VANTRE_CRASH_RENAME");
  if (before && atoi(before) == renames) _exit(77);
  int rc = NEXT(renameat)(fromfd, from, tofd, to);
  const char *sync_after = getenv("VANTRE_FAIL_SYNC_AFTER");
  if (rc == 0 && sync_after && strcmp(base_name(to), sync_after) == 0) fail_next_fsync = 1;
  const char *after = getenv("VANTRE_CRASH_AFTER_RENAME");
  if (after && atoi(after) == renames) _exit(77);
  return rc;
}
