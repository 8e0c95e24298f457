/*
 * System-call fault injection for the reliability harness, loaded with
 * LD_PRELOAD into a child interpreter and driven through ctypes.
 *
 * Only calls on the store directory are counted: paths under the prefix
 * given to vantre_fi_track(), descriptors opened from such paths, and maps
 * made from those descriptors. The interpreter's own calls (imports,
 * malloc's mmap, standard output) pass untouched.
 *
 *   vantre_fi_track(dir)        start tracking paths under `dir`
 *   vantre_fi_arm(n, mode)      count calls from now; fail the n-th (n > 0)
 *   vantre_fi_arm_thread(n, mode)  the same, counting and failing only the
 *                               calling thread's calls: other threads (a
 *                               writer beside a persist) run untouched,
 *                               but for MODE_STICKY's later writes
 *   vantre_fi_disarm()          stop counting; returns the calls counted
 *   vantre_fi_injected()        name of the call that was failed, or ""
 *   vantre_fi_injected_file()   base name of the file a failed read or write
 *                               was on, or ""
 *
 * Modes: an errno value (EIO, ENOSPC, ...) makes the call fail with it;
 * MODE_EINTR makes it and its next 20 retries fail with EINTR (only calls
 * that can be interrupted); MODE_SHORT makes a read or write transfer half
 * of what was asked (at least one byte); MODE_STICKY fails a write with EIO
 * and every later write to the same file too, as a full disk or a file-size
 * limit does (other calls run).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#define MODE_EINTR (-1)
#define MODE_SHORT (-2)
#define MODE_STICKY (-3)
#define STORM 20
#define MAX_FD 4096
#define MAX_MAPS 64

enum { K_PLAIN = 0, K_INTERRUPTIBLE = 1, K_TRANSFER = 3 };

static char prefix[4096];
static size_t prefix_len;
static unsigned char tracked[MAX_FD];
static struct { void *addr; size_t len; } maps[MAX_MAPS];
static int armed, mode, storm;
static int thread_only;
static pthread_t armed_thread;
static long fail_at, calls;
static const char *injected = "";
static char injected_file[256];

void vantre_fi_track(const char *dir) {
  snprintf(prefix, sizeof prefix, "%s", dir);
  prefix_len = strlen(prefix);
}
void vantre_fi_arm(long n, int m) {
  fail_at = n;
  mode = m;
  calls = 0;
  storm = 0;
  injected = "";
  injected_file[0] = '\0';
  thread_only = 0;
  armed = 1;
}
void vantre_fi_arm_thread(long n, int m) {
  armed_thread = pthread_self();
  vantre_fi_arm(n, m);
  thread_only = 1;
}
long vantre_fi_disarm(void) {
  armed = 0;
  storm = 0;
  return calls;
}
const char *vantre_fi_injected(void) { return injected; }
const char *vantre_fi_injected_file(void) { return injected_file; }

/* Writes the base name of the file open on `fd` to `out`. */
static void file_name(int fd, char *out, size_t size) {
  char link[64], path[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, sizeof path - 1);
  if (n < 0) return;
  path[n] = '\0';
  const char *base = strrchr(path, '/');
  snprintf(out, size, "%s", base ? base + 1 : path);
}

/* Notes the base name of the file open on `fd` as the injected call's. */
static void note_file(int fd) { file_name(fd, injected_file, sizeof injected_file); }

static int path_tracked(const char *path) {
  return prefix_len && path && strncmp(path, prefix, prefix_len) == 0;
}
static int fd_tracked(int fd) { return fd >= 0 && fd < MAX_FD && tracked[fd]; }
static int map_tracked(void *addr) {
  for (int i = 0; i < MAX_MAPS; i++)
    if (maps[i].addr == addr) return 1;
  return 0;
}

/* Decides the fate of one tracked call of `kind`. Returns 0 to let it run,
 * 1 to fail it with errno set, 2 to make it short. */
static int decide(const char *name, int kind) {
  if (!armed) return 0;
  if (thread_only && !pthread_equal(pthread_self(), armed_thread)) return 0;
  if (storm > 0 && (kind & K_INTERRUPTIBLE)) {
    storm--;
    errno = EINTR;
    return 1;
  }
  if (++calls != fail_at) return 0;
  if (mode == MODE_EINTR) {
    if (!(kind & K_INTERRUPTIBLE)) return 0;
    injected = name;
    storm = STORM;
    errno = EINTR;
    return 1;
  }
  if (mode == MODE_SHORT) {
    if (kind != K_TRANSFER) return 0;
    injected = name;
    return 2;
  }
  if (mode == MODE_STICKY) {
    if (strncmp(name, "write", 5) != 0 && strncmp(name, "pwrite", 6) != 0) return 0;
    injected = name;
    errno = EIO;
    return 1;
  }
  injected = name;
  errno = mode;
  return 1;
}

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))
#define REAL(name) static __typeof__(&name) real_##name; \
  if (!real_##name) real_##name = NEXT(name)

/* ------------------------------------------------------------ by path */
/* A path relative to a tracked directory descriptor is tracked too. */
static int at_tracked(int dirfd, const char *path) {
  return path_tracked(path) || (path && path[0] != '/' && fd_tracked(dirfd));
}
static int open_common(const char *name, int fd_or_neg, int tracked_path) {
  (void)name;
  if (fd_or_neg >= 0 && fd_or_neg < MAX_FD) tracked[fd_or_neg] = (unsigned char)tracked_path;
  return fd_or_neg;
}

#define OPEN_WRAPPER(fn, ...)                                                  \
  int fn(__VA_ARGS__, int flags, ...) {                                        \
    REAL(fn);                                                                  \
    mode_t m = 0;                                                              \
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {              \
      va_list ap;                                                              \
      va_start(ap, flags);                                                     \
      m = va_arg(ap, mode_t);                                                  \
      va_end(ap);                                                              \
    }                                                                          \
    const int t = OPEN_TRACKED;                                                \
    if (t && decide(#fn, K_INTERRUPTIBLE) == 1) return -1;                     \
    return open_common(#fn, OPEN_CALL, t);                                     \
  }
#define OPEN_TRACKED path_tracked(path)
#define OPEN_CALL real_open(path, flags, m)
OPEN_WRAPPER(open, const char *path)
#undef OPEN_CALL
#define OPEN_CALL real_open64(path, flags, m)
OPEN_WRAPPER(open64, const char *path)
#undef OPEN_CALL
#undef OPEN_TRACKED
#define OPEN_TRACKED at_tracked(dirfd, path)
#define OPEN_CALL real_openat(dirfd, path, flags, m)
OPEN_WRAPPER(openat, int dirfd, const char *path)
#undef OPEN_CALL
#define OPEN_CALL real_openat64(dirfd, path, flags, m)
OPEN_WRAPPER(openat64, int dirfd, const char *path)
#undef OPEN_CALL
#undef OPEN_TRACKED

int renameat(int fromfd, const char *from, int tofd, const char *to) {
  REAL(renameat);
  if ((at_tracked(fromfd, from) || at_tracked(tofd, to)) && decide("rename", K_PLAIN)) return -1;
  return real_renameat(fromfd, from, tofd, to);
}
int fstatat(int dirfd, const char *path, struct stat *st, int flags) {
  REAL(fstatat);
  if (at_tracked(dirfd, path) && decide("stat", K_PLAIN)) return -1;
  return real_fstatat(dirfd, path, st, flags);
}
int fstatat64(int dirfd, const char *path, struct stat64 *st, int flags) {
  REAL(fstatat64);
  if (at_tracked(dirfd, path) && decide("stat", K_PLAIN)) return -1;
  return real_fstatat64(dirfd, path, st, flags);
}

int rename(const char *from, const char *to) {
  REAL(rename);
  if ((path_tracked(from) || path_tracked(to)) && decide("rename", K_PLAIN)) return -1;
  return real_rename(from, to);
}
int mkdir(const char *path, mode_t m) {
  REAL(mkdir);
  if (path_tracked(path) && decide("mkdir", K_PLAIN)) return -1;
  return real_mkdir(path, m);
}
int stat(const char *path, struct stat *st) {
  REAL(stat);
  if (path_tracked(path) && decide("stat", K_PLAIN)) return -1;
  return real_stat(path, st);
}
int stat64(const char *path, struct stat64 *st) {
  REAL(stat64);
  if (path_tracked(path) && decide("stat", K_PLAIN)) return -1;
  return real_stat64(path, st);
}

/* ------------------------------------------------------- by descriptor */
#define FD_CALL(ret, fn, kind, params, args)                         \
  ret fn params {                                                    \
    REAL(fn);                                                        \
    if (fd_tracked(fd) && decide(#fn, kind) == 1) return (ret)-1;    \
    return real_##fn args;                                           \
  }
FD_CALL(int, fsync, K_INTERRUPTIBLE, (int fd), (fd))
FD_CALL(int, fdatasync, K_INTERRUPTIBLE, (int fd), (fd))
FD_CALL(int, ftruncate, K_INTERRUPTIBLE, (int fd, off_t n), (fd, n))
FD_CALL(int, ftruncate64, K_INTERRUPTIBLE, (int fd, off64_t n), (fd, n))
FD_CALL(int, fallocate, K_INTERRUPTIBLE, (int fd, int m, off_t o, off_t n), (fd, m, o, n))
FD_CALL(int, fallocate64, K_INTERRUPTIBLE, (int fd, int m, off64_t o, off64_t n), (fd, m, o, n))
FD_CALL(off_t, lseek, K_PLAIN, (int fd, off_t o, int w), (fd, o, w))
FD_CALL(off64_t, lseek64, K_PLAIN, (int fd, off64_t o, int w), (fd, o, w))
FD_CALL(int, fstat, K_PLAIN, (int fd, struct stat *st), (fd, st))
FD_CALL(int, fstat64, K_PLAIN, (int fd, struct stat64 *st), (fd, st))
FD_CALL(int, flock, K_INTERRUPTIBLE, (int fd, int op), (fd, op))

/* posix_fallocate reports its error as the return value, not in errno. */
#define FALLOCATE_CALL(fn, off)                                      \
  int fn(int fd, off o, off n) {                                     \
    REAL(fn);                                                        \
    if (fd_tracked(fd) && decide(#fn, K_INTERRUPTIBLE) == 1) return errno; \
    return real_##fn(fd, o, n);                                      \
  }
FALLOCATE_CALL(posix_fallocate, off_t)
FALLOCATE_CALL(posix_fallocate64, off64_t)

int close(int fd) {
  REAL(close);
  int fail = fd_tracked(fd) && decide("close", K_INTERRUPTIBLE) == 1;
  int saved = errno;
  if (fd >= 0 && fd < MAX_FD) tracked[fd] = 0;
  int rc = real_close(fd);  /* a failed close still releases the descriptor */
  if (fail) {
    errno = saved;
    return -1;
  }
  return rc;
}

/* In MODE_STICKY, whether this write goes to the file a failed write went
 * to: it fails the same way, uncounted. */
static int sticky_failure(const char *name, int fd) {
  if (!armed || mode != MODE_STICKY || injected_file[0] == '\0') return 0;
  if (strncmp(name, "write", 5) != 0 && strncmp(name, "pwrite", 6) != 0) return 0;
  char name_of_fd[sizeof injected_file] = "";
  file_name(fd, name_of_fd, sizeof name_of_fd);
  const int same = strcmp(name_of_fd, injected_file) == 0;
  if (same) errno = EIO;
  return same;
}

/* Reads and writes: may also be made short. */
#define XFER_CALL(fn, params, args, half_args)                       \
  ssize_t fn params {                                                \
    REAL(fn);                                                        \
    if (fd_tracked(fd)) {                                            \
      if (sticky_failure(#fn, fd)) return -1;                        \
      int d = decide(#fn, K_TRANSFER);                               \
      if (d != 0) note_file(fd);                                     \
      if (d == 1) return -1;                                         \
      if (d == 2 && n > 1) return real_##fn half_args;               \
    }                                                                \
    return real_##fn args;                                           \
  }
XFER_CALL(read, (int fd, void *b, size_t n), (fd, b, n), (fd, b, n / 2))
XFER_CALL(write, (int fd, const void *b, size_t n), (fd, b, n), (fd, b, n / 2))
XFER_CALL(pread, (int fd, void *b, size_t n, off_t o), (fd, b, n, o), (fd, b, n / 2, o))
XFER_CALL(pread64, (int fd, void *b, size_t n, off64_t o), (fd, b, n, o), (fd, b, n / 2, o))
XFER_CALL(pwrite, (int fd, const void *b, size_t n, off_t o), (fd, b, n, o), (fd, b, n / 2, o))
XFER_CALL(pwrite64, (int fd, const void *b, size_t n, off64_t o), (fd, b, n, o),
          (fd, b, n / 2, o))

/* A copy between files fails or falls short as a write to the target does. */
ssize_t copy_file_range(int in, off64_t *in_off, int fd, off64_t *out_off, size_t n,
                        unsigned flags) {
  REAL(copy_file_range);
  if (fd_tracked(fd) || fd_tracked(in)) {
    int d = decide("copy_file_range", K_TRANSFER);
    if (d == 1) return -1;
    if (d == 2 && n > 1) return real_copy_file_range(in, in_off, fd, out_off, n / 2, flags);
  }
  return real_copy_file_range(in, in_off, fd, out_off, n, flags);
}

/* ---------------------------------------------------------------- maps */
static void *map_common(const char *name, int fd, void *p, size_t len) {
  (void)name;
  if (p != MAP_FAILED && fd_tracked(fd)) {
    for (int i = 0; i < MAX_MAPS; i++)
      if (maps[i].addr == NULL) {
        maps[i].addr = p;
        maps[i].len = len;
        break;
      }
  }
  return p;
}
void *mmap(void *a, size_t len, int prot, int flags, int fd, off_t o) {
  REAL(mmap);
  if (fd_tracked(fd) && decide("mmap", K_PLAIN)) return MAP_FAILED;
  return map_common("mmap", fd, real_mmap(a, len, prot, flags, fd, o), len);
}
void *mmap64(void *a, size_t len, int prot, int flags, int fd, off64_t o) {
  REAL(mmap64);
  if (fd_tracked(fd) && decide("mmap", K_PLAIN)) return MAP_FAILED;
  return map_common("mmap", fd, real_mmap64(a, len, prot, flags, fd, o), len);
}
int munmap(void *a, size_t len) {
  REAL(munmap);
  if (!map_tracked(a)) return real_munmap(a, len);
  if (decide("munmap", K_PLAIN)) return -1;
  for (int i = 0; i < MAX_MAPS; i++)
    if (maps[i].addr == a) maps[i].addr = NULL;
  return real_munmap(a, len);
}
int msync(void *a, size_t len, int flags) {
  REAL(msync);
  if (map_tracked(a) && decide("msync", K_PLAIN)) return -1;
  return real_msync(a, len, flags);
}
