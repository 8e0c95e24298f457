/*
 * Test-only fault injection, loaded with LD_PRELOAD into a child process.
 *
 *   VANTRE_FAIL_WRITE=<name>     writes (write, pwrite) to a file whose base
 *                                name is <name> fail with VANTRE_FAIL_ERRNO
 *                                (default EIO). Read at every call, so a
 *                                process can switch it on and off.
 *   VANTRE_CRASH_RENAME=<n>      the n-th rename() of the process ends it
 *                                with _exit(77) before renaming.
 *   VANTRE_CRASH_AFTER_RENAME=<n> the same, just after the n-th rename().
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static int fd_matches(int fd) {
  const char *name = getenv("VANTRE_FAIL_WRITE");
  if (name == NULL || *name == '\0') return 0;
  char link[64], path[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, sizeof path - 1);
  if (n < 0) return 0;
  path[n] = '\0';
  const char *base = strrchr(path, '/');
  base = base ? base + 1 : path;
  return strcmp(base, name) == 0;
}

static int fail_errno(void) {
  const char *e = getenv("VANTRE_FAIL_ERRNO");
  return e ? atoi(e) : EIO;
}

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

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

int rename(const char *from, const char *to) {
  ++renames;
  const char *before = getenv("VANTRE_CRASH_RENAME");
  if (before && atoi(before) == renames) _exit(77);
  int rc = NEXT(rename)(from, to);
  const char *after = getenv("VANTRE_CRASH_AFTER_RENAME");
  if (after && atoi(after) == renames) _exit(77);
  return rc;
}
