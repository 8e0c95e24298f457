#!/usr/bin/env bash
# Cross-build _vantre for 32-bit ARM hard-float Linux (armhf) and run the
# Python test suite with armhf PyPy under qemu-arm user-mode emulation.
#
# Usage: scripts/armhf.sh [pytest arguments...]
#   e.g. scripts/armhf.sh -k reopen -x
#        scripts/armhf.sh tests/python/test_basic.py::test_get
# Test paths are relative to the repository root; with none among the
# arguments the whole of tests/python is run.
#
# Runs as root on Debian 12 (x86_64).  Installs what it lacks with apt-get,
# unpacks an armhf sysroot (PyPy, libstdc++, libroaring, boost headers) into
# .armhf/sysroot without installing those packages, builds into .armhf/build,
# and exits non-zero if anything, the build or any test, fails.
#
# Environment:
#   VANTRE_ARMHF_DIR      work folder (default: <repo>/.armhf)
#   VANTRE_ARMHF_REFRESH  set to 1 to fetch and unpack the sysroot afresh
#                         (picks up new package versions)
#
# Tests see
#   VANTRE_PYTHON_CMD  the command that starts another armhf interpreter: split
#                      it with shlex.split and append the interpreter's
#                      arguments.  It names <work>/bin/pypy3-armhf (built
#                      from scripts/armhf-pypy.c), which runs
#                      "qemu-arm -L <sysroot> <sysroot>/usr/bin/pypy3 ARGS..."
#                      and passes LD_PRELOAD on to the emulated process.
#                      sys.executable itself cannot be exec'd here: the host
#                      has no binfmt_misc handler for ARM.
#   VANTRE_CC          arm-linux-gnueabihf-gcc, for helpers that the tests
#                      compile and preload into a child interpreter.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=apt-update.sh
source "$ROOT/scripts/apt-update.sh"
WORK=${VANTRE_ARMHF_DIR:-$ROOT/.armhf}
SYSROOT=$WORK/sysroot
DEBS=$WORK/debs
BUILD=$WORK/build
TRIPLE=arm-linux-gnueabihf

# Target packages: these and everything they depend on...
ROOT_PKGS=(pypy3:armhf libstdc++6:armhf libroaring-dev:armhf)
# ...plus these alone (headers; their own dependencies are not wanted).
# pypy3-dev is arch "all"; the arch-specific C-API headers (pypy_decl.h,
# pypy_macros.h) ship in pypy3 itself.  Boost is used header-only.
EXTRA_PKGS=(pypy3-dev libboost1.81-dev:armhf)
# Bump when the way the sysroot is laid out changes.
LAYOUT=1

log() { printf '== armhf: %s\n' "$*" >&2; }
die() { printf '== armhf: error: %s\n' "$*" >&2; exit 1; }

SECONDS=0
mkdir -p "$WORK"

# ---------------------------------------------------------------- host tools
apt_updated=0
apt_update() {
  if [[ $apt_updated == 0 ]]; then
    log "apt-get update"
    apt_update_retrying -o DPkg::Lock::Timeout=300 >/dev/null
    apt_updated=1
  fi
}

missing=()
need_cmd() { command -v "$1" >/dev/null 2>&1 || missing+=("$2"); }
need_pkg() {
  [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == "install ok installed" ]] ||
    missing+=("$1")
}
need_cmd "$TRIPLE-g++" "g++-$TRIPLE"
need_cmd "$TRIPLE-readelf" "binutils-$TRIPLE"
need_cmd qemu-arm qemu-user
need_cmd cmake cmake
need_cmd cc gcc
need_pkg libc6-dev  # static libc for the wrapper
need_cmd ninja ninja-build
need_pkg python3-pytest
need_pkg python3-exceptiongroup
need_pkg python3-tomli

if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  log "dpkg --add-architecture armhf"
  dpkg --add-architecture armhf
  apt_update
fi
if ((${#missing[@]})); then
  apt_update
  log "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=300 \
    "${missing[@]}" >/dev/null
fi

# ------------------------------------------------------------------ sysroot
stamp_want=$(printf '%s\n' "layout=$LAYOUT" "${ROOT_PKGS[@]}" -- "${EXTRA_PKGS[@]}")
stamp_file=$SYSROOT/.vantre-sysroot
if [[ ${VANTRE_ARMHF_REFRESH:-0} != 1 && -f $stamp_file &&
      $(<"$stamp_file") == "$stamp_want" ]]; then
  :
else
  # apt's lists must know armhf packages (a fresh machine, or lists that
  # predate --add-architecture, may not).
  apt-cache show pypy3:armhf >/dev/null 2>&1 || apt_update

  closure() {
    apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
      --no-breaks --no-replaces --no-enhances "${ROOT_PKGS[@]}" |
      grep -E '^[a-z0-9]' | sort -u
  }
  pkgs=$(closure) || die "cannot resolve ${ROOT_PKGS[*]}"

  rm -rf "$DEBS"
  mkdir -p "$DEBS"
  apt_opts=()
  if id _apt >/dev/null 2>&1; then
    chown _apt "$DEBS"   # apt drops to _apt to download
  else
    apt_opts=(-o APT::Sandbox::User=root)
  fi
  download() {
    (cd "$DEBS" && apt-get download -q "${apt_opts[@]}" $pkgs "${EXTRA_PKGS[@]}" >/dev/null)
  }
  log "downloading $(wc -w <<<"$pkgs ${EXTRA_PKGS[*]}") armhf packages"
  if ! download; then
    # Stale lists name versions the archive no longer has.
    apt_updated=0
    apt_update
    pkgs=$(closure)
    rm -f "$DEBS"/*.deb
    download || die "apt-get download failed"
  fi

  log "unpacking into $SYSROOT"
  rm -rf "$SYSROOT" "$SYSROOT.new"
  mkdir -p "$SYSROOT.new"
  for deb in "$DEBS"/*.deb; do
    dpkg-deb -x "$deb" "$SYSROOT.new"
  done
  # An absolute link would point into the build machine's own (amd64) tree:
  # make each one relative to the sysroot.
  while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    rel=$(realpath -m --relative-to="$(dirname "$link")" "$SYSROOT.new$target")
    ln -sfn "$rel" "$link"
  done < <(find "$SYSROOT.new" -type l -lname '/*' -print0)
  rm -rf "$DEBS"  # only needed for unpacking
  printf '%s\n' "$stamp_want" >"$SYSROOT.new/.vantre-sysroot"
  mv "$SYSROOT.new" "$SYSROOT"
fi

PYPY=$SYSROOT/usr/bin/pypy3
[[ -x $PYPY ]] || die "no armhf pypy3 in $SYSROOT"

# The interpreter command: a small static program that runs qemu-arm (see
# scripts/armhf-pypy.c; it passes LD_PRELOAD on to the emulated process).
mkdir -p "$WORK/bin"
WRAPPER=$WORK/bin/pypy3-armhf
if [[ ! -x $WRAPPER || $WRAPPER -ot $ROOT/scripts/armhf-pypy.c ]]; then
  cc -static -O2 -Wall -o "$WRAPPER.new" "$ROOT/scripts/armhf-pypy.c"
  mv "$WRAPPER.new" "$WRAPPER"
fi
PY_CMD=("$WRAPPER")

# What the armhf interpreter says about itself: header folder and extension
# suffix.  Cached beside the sysroot's stamp (both change together).
info_file=$SYSROOT/.vantre-pyinfo
if [[ ! -f $info_file || $info_file -ot $stamp_file ]]; then
  "${PY_CMD[@]}" -c '
import sysconfig
print(sysconfig.get_paths()["include"])
print(sysconfig.get_config_var("EXT_SUFFIX"))' >"$info_file.new" ||
    die "armhf pypy3 does not run under qemu-arm"
  mv "$info_file.new" "$info_file"
fi
{ read -r PY_INCLUDE; read -r PY_SUFFIX; } <"$info_file"
[[ $PY_SUFFIX == *arm-linux-gnueabihf.so ]] || die "unexpected extension suffix '$PY_SUFFIX'"
# Never the build machine's own headers: those are 64-bit and would make
# Py_ssize_t conversions silently truncate.
case $PY_INCLUDE in
  "$SYSROOT"/*) ;;
  *) die "interpreter headers '$PY_INCLUDE' are outside the sysroot" ;;
esac
grep -q '^#define SIZEOF_SIZE_T 4$' "$PY_INCLUDE/pypy_macros.h" ||
  die "$PY_INCLUDE/pypy_macros.h is not a 32-bit interpreter's"

# -------------------------------------------------------------------- build
log "building _vantre$PY_SUFFIX"
cmake -S "$ROOT" -B "$BUILD" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/scripts/armhf-toolchain.cmake" \
  -DVANTRE_ARMHF_SYSROOT="$SYSROOT" \
  -DVANTRE_TESTS=OFF \
  -DVANTRE_PY_INCLUDE="$PY_INCLUDE" \
  -DVANTRE_PY_SUFFIX="$PY_SUFFIX" >"$WORK/configure.log" 2>&1 ||
  { cat "$WORK/configure.log" >&2; die "cmake configure failed"; }
cmake --build "$BUILD" --target vantre_cross vantre_capi -j "$(nproc)"

MODULE=$BUILD/python/_vantre$PY_SUFFIX
[[ -f $MODULE ]] || die "$MODULE was not built"
"$TRIPLE-readelf" -h "$MODULE" | grep -q 'Machine:.*ARM$' ||
  die "$MODULE is not an ARM object"
log "built in ${SECONDS}s"

# -------------------------------------------------------------------- tests
printf -v VANTRE_PYTHON_CMD '%q' "$WRAPPER"
export VANTRE_PYTHON_CMD
# The compiler for test helpers that get loaded into a child interpreter
# (tests/python/faultshim.c).
export VANTRE_CC=$TRIPLE-gcc
# pytest and its dependencies are pure Python: take the host's.
export PYTHONPATH=$BUILD/python:/usr/lib/python3/dist-packages
# Debian's armhf stdlib comes without .pyc files; cache them (emulated
# compiling costs about as much as the tests themselves).
unset PYTHONDONTWRITEBYTECODE
export PYTHONPYCACHEPREFIX=$WORK/pycache

# Default to the whole suite unless a test path (relative to the repository
# root, or absolute; "file.py::test" too) is among the arguments.
cd "$ROOT"
targets=(tests/python)
for arg in "$@"; do
  if [[ $arg != -* && ($arg == */* || $arg == *.py*) && -e ${arg%%::*} ]]; then
    targets=()
    break
  fi
done

log "pytest under ${VANTRE_PYTHON_CMD}"
set +e
"${PY_CMD[@]}" -m pytest -o cache_dir="$WORK/pytest-cache" "${targets[@]}" "$@"
rc=$?
set -e
log "done in ${SECONDS}s (pytest exit status $rc)"
exit $rc
