# The monitoring unit: MIPS32 little-endian Linux, built with Debian's
# mipsel cross compiler against a sysroot of Debian's mipsel packages (made by
# scripts/mipsel-sysroot.sh).  Tests run under qemu-user, which, like the
# real hardware, faults on unaligned loads.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

set(DELTANHNT_MIPSEL_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../../build/sysroot-mipsel"
    CACHE PATH "Unpacked mipsel packages (scripts/mipsel-sysroot.sh)")
get_filename_component(DELTANHNT_MIPSEL_SYSROOT "${DELTANHNT_MIPSEL_SYSROOT}" ABSOLUTE)
set(DELTANHNT_MIPSEL_LIBC /usr/mipsel-linux-gnu CACHE PATH "The cross toolchain's C library")

set(CMAKE_FIND_ROOT_PATH "${DELTANHNT_MIPSEL_SYSROOT}" "${DELTANHNT_MIPSEL_SYSROOT}/usr"
    "${DELTANHNT_MIPSEL_LIBC}")
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Libraries of the sysroot are found at run time through the build's RPATH;
# the C library and libstdc++ through qemu's -L prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel -L "${DELTANHNT_MIPSEL_LIBC}"
    -E "LD_LIBRARY_PATH=${DELTANHNT_MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu")
