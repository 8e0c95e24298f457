# Cross toolchain for 32-bit ARM hard-float Linux (Debian's armhf).
#
# Compiler and C library: Debian's g++-arm-linux-gnueabihf cross toolchain.
# Target libraries (libroaring) and interpreter headers: an unpacked armhf
# sysroot, by default .armhf/sysroot beside this folder as laid out by
# scripts/armhf.sh.  Override with -DVANTRE_ARMHF_SYSROOT=<dir> or the
# environment variable of the same name.
#
# The sysroot holds only runtime packages plus libroaring-dev, not libc6-dev:
# the C library headers, crt files and libstdc++ come from the cross
# toolchain's own tree (/usr/arm-linux-gnueabihf), which gcc keeps searching
# under --sysroot.  What --sysroot changes is that gcc's plain /usr/include
# (the build machine's amd64 headers when the sysroot is "/") becomes the
# sysroot's usr/include, so nothing of the host's can be picked up by mistake.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# GCC notes on ARM that the passing of some aggregates changed in GCC 7.1;
# it matters only when linking against objects built by GCC < 7.1.
set(CMAKE_C_FLAGS_INIT "-Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

if(NOT VANTRE_ARMHF_SYSROOT)
  if(DEFINED ENV{VANTRE_ARMHF_SYSROOT})
    set(VANTRE_ARMHF_SYSROOT "$ENV{VANTRE_ARMHF_SYSROOT}")
  else()
    get_filename_component(VANTRE_ARMHF_SYSROOT
      "${CMAKE_CURRENT_LIST_DIR}/../.armhf/sysroot" ABSOLUTE)
  endif()
endif()
if(NOT EXISTS "${VANTRE_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf")
  message(FATAL_ERROR "armhf sysroot not found at ${VANTRE_ARMHF_SYSROOT} "
                      "(run scripts/armhf.sh, or set VANTRE_ARMHF_SYSROOT)")
endif()
# try_compile projects re-read this file; hand them the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VANTRE_ARMHF_SYSROOT)

set(CMAKE_SYSROOT "${VANTRE_ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${VANTRE_ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets try_run and add_test run target binaries through the emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L "${VANTRE_ARMHF_SYSROOT}")
