/*
 * Starts armhf PyPy under qemu-arm user emulation, as
 *   qemu-arm -L SYSROOT SYSROOT/usr/bin/pypy3 ARGS...
 * where SYSROOT is the folder "sysroot" beside the folder holding this
 * program (scripts/armhf.sh builds it into <work>/bin, statically linked).
 *
 * LD_PRELOAD, as the tests set it to inject faults into a child interpreter,
 * names ARM objects meant for the emulated process: it is handed to the guest
 * with qemu's -E and taken out of qemu-arm's own environment, whose x86-64
 * loader would print an error for each of them.  This program is static so
 * that the loader never sees it either.
 */
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv) {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n < 0) {
    perror("pypy3-armhf: /proc/self/exe");
    return 127;
  }
  self[n] = '\0';
  for (int up = 0; up < 2; ++up) { /* <work>/bin/pypy3-armhf -> <work> */
    char *slash = strrchr(self, '/');
    if (slash == NULL) {
      fprintf(stderr, "pypy3-armhf: odd location %s\n", self);
      return 127;
    }
    *slash = '\0';
  }
  size_t len = strlen(self);
  char *sysroot = malloc(len + sizeof "/sysroot");
  char *pypy = malloc(len + sizeof "/sysroot/usr/bin/pypy3");
  char **args = calloc((size_t)argc + 8, sizeof *args);
  if (sysroot == NULL || pypy == NULL || args == NULL) return 127;
  sprintf(sysroot, "%s/sysroot", self);
  sprintf(pypy, "%s/sysroot/usr/bin/pypy3", self);

  int k = 0;
  args[k++] = "qemu-arm";
  args[k++] = "-L";
  args[k++] = sysroot;
  const char *preload = getenv("LD_PRELOAD");
  if (preload != NULL && *preload != '\0') {
    /* qemu splits -E's argument at commas; a preload list has none. */
    char *set = malloc(strlen(preload) + sizeof "LD_PRELOAD=");
    if (set == NULL) return 127;
    sprintf(set, "LD_PRELOAD=%s", preload);
    args[k++] = "-E";
    args[k++] = set;
  }
  unsetenv("LD_PRELOAD");
  args[k++] = pypy;
  for (int i = 1; i < argc; ++i) args[k++] = argv[i];
  args[k] = NULL;

  execvp(args[0], args);
  perror("pypy3-armhf: qemu-arm");
  return 127;
}
