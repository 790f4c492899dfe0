# The monitoring unit: MIPS32 little-endian Linux (o32).  Tests run under
# qemu-user, which, like the real hardware, faults on unaligned loads.
#
# A compiler for the target and the target's root file system (its C library,
# libstdc++, jsoncpp and the Boost headers) come from the unit's SDK or, by
# default, from Debian: the mipsel cross compiler (crossbuild-essential-mipsel)
# and the sysroot that scripts/mipsel-sysroot.sh unpacks from Debian's mipsel
# packages.  Set, as cache variables (-D) or in the environment:
#
#   DELTANHNT_SYSROOT       the target's root file system
#                           (default: build/sysroot-mipsel of this tree)
#   DELTANHNT_CROSS_PREFIX  the prefix of the SDK's compiler and binutils, with
#                           or without a directory, e.g.
#                           /opt/unit-sdk/bin/mipsel-linux-gnu-
#                           (default: mipsel-linux-gnu-): <prefix>g++,
#                           <prefix>gcc, <prefix>objcopy, ...
#   DELTANHNT_CROSS_CXX     the C++ compiler itself, when its name does not
#                           follow the prefix (e.g. clang++); the C compiler
#                           is the same name with g++/c++/clang++ replaced by
#                           gcc/cc/clang
#   DELTANHNT_CROSS_TARGET  the target triple handed to clang (--target);
#                           default mipsel-linux-gnu
#
# A sysroot that is not a target root file system, or a compiler that does not
# build for the target, stops the configuration with one message naming the
# variable to set.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

# Cache variable, else environment, else the default; kept in the cache so
# that later runs and the try_compile projects see the same choice.
macro(_deltanhnt_setting name default doc)
    if(DEFINED ${name})
    elseif(DEFINED ENV{${name}} AND NOT "$ENV{${name}}" STREQUAL "")
        set(${name} "$ENV{${name}}")
    else()
        set(${name} "${default}")
    endif()
    set(${name} "${${name}}" CACHE STRING "${doc}")
endmacro()

get_filename_component(_deltanhnt_source "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
_deltanhnt_setting(DELTANHNT_SYSROOT "${_deltanhnt_source}/build/sysroot-mipsel"
    "The target's root file system: C library, libstdc++, jsoncpp, Boost headers")
_deltanhnt_setting(DELTANHNT_CROSS_PREFIX "mipsel-linux-gnu-"
    "Prefix of the target compiler and binutils (with or without a directory)")
_deltanhnt_setting(DELTANHNT_CROSS_CXX ""
    "The target C++ compiler, when its name does not follow DELTANHNT_CROSS_PREFIX")
_deltanhnt_setting(DELTANHNT_CROSS_TARGET "mipsel-linux-gnu" "Target triple for clang (--target)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
    DELTANHNT_SYSROOT DELTANHNT_CROSS_PREFIX DELTANHNT_CROSS_CXX DELTANHNT_CROSS_TARGET)

# Which variable named the compiler, for the messages below.
if(DELTANHNT_CROSS_CXX)
    set(_deltanhnt_cxx_var DELTANHNT_CROSS_CXX)
    set(_deltanhnt_cxx "${DELTANHNT_CROSS_CXX}")
    string(REGEX REPLACE "clang\\+\\+([-0-9.]*)$" "clang\\1" _deltanhnt_cc "${_deltanhnt_cxx}")
    string(REGEX REPLACE "g\\+\\+([-0-9.]*)$" "gcc\\1" _deltanhnt_cc "${_deltanhnt_cc}")
    string(REGEX REPLACE "c\\+\\+([-0-9.]*)$" "cc\\1" _deltanhnt_cc "${_deltanhnt_cc}")
else()
    set(_deltanhnt_cxx_var DELTANHNT_CROSS_PREFIX)
    set(_deltanhnt_cxx "${DELTANHNT_CROSS_PREFIX}g++")
    set(_deltanhnt_cc "${DELTANHNT_CROSS_PREFIX}gcc")
endif()
set(_deltanhnt_hint "set DELTANHNT_CROSS_PREFIX (e.g. /opt/unit-sdk/bin/mipsel-linux-gnu-) or DELTANHNT_CROSS_CXX to the unit SDK's compiler")

find_program(_deltanhnt_cxx_path NAMES "${_deltanhnt_cxx}" NO_CACHE NO_CMAKE_FIND_ROOT_PATH)
if(NOT _deltanhnt_cxx_path)
    # Named all the same, so that CMake adds no error of its own about a
    # missing compiler.
    set(CMAKE_CXX_COMPILER "${_deltanhnt_cxx}")
    message(FATAL_ERROR "${_deltanhnt_cxx_var}: no compiler ${_deltanhnt_cxx} found: ${_deltanhnt_hint}")
endif()
find_program(_deltanhnt_cc_path NAMES "${_deltanhnt_cc}" NO_CACHE NO_CMAKE_FIND_ROOT_PATH)
set(CMAKE_CXX_COMPILER "${_deltanhnt_cxx_path}")
if(_deltanhnt_cc_path)
    set(CMAKE_C_COMPILER "${_deltanhnt_cc_path}")
endif()
set(_deltanhnt_target_flags "")
if(_deltanhnt_cxx MATCHES "clang")
    set(CMAKE_CXX_COMPILER_TARGET "${DELTANHNT_CROSS_TARGET}")
    set(CMAKE_C_COMPILER_TARGET "${DELTANHNT_CROSS_TARGET}")
    set(_deltanhnt_target_flags "--target=${DELTANHNT_CROSS_TARGET}")
endif()

get_filename_component(_deltanhnt_sysroot "${DELTANHNT_SYSROOT}" ABSOLUTE)
if(NOT IS_DIRECTORY "${_deltanhnt_sysroot}/usr/include")
    message(FATAL_ERROR "DELTANHNT_SYSROOT: ${_deltanhnt_sysroot} is not a root file system of the "
                        "target (no usr/include): set DELTANHNT_SYSROOT to the unit SDK's sysroot, "
                        "or run scripts/mipsel-sysroot.sh for Debian's")
endif()
# A cross compiler may bring a C library of its own; the plug-in must be
# built against the unit's.
file(GLOB _deltanhnt_libc "${_deltanhnt_sysroot}/lib/libc.so.6" "${_deltanhnt_sysroot}/lib/*/libc.so.6"
    "${_deltanhnt_sysroot}/usr/lib/libc.so.6" "${_deltanhnt_sysroot}/usr/lib/*/libc.so.6")
if(NOT _deltanhnt_libc)
    message(FATAL_ERROR "DELTANHNT_SYSROOT: ${_deltanhnt_sysroot} holds no C library of the target "
                        "(no libc.so.6 in lib/ or usr/lib/): set DELTANHNT_SYSROOT to the unit SDK's "
                        "sysroot, or run scripts/mipsel-sysroot.sh for Debian's")
endif()
set(CMAKE_SYSROOT "${_deltanhnt_sysroot}")

# Once per compiler and sysroot (not in try_compile projects): the compiler
# must build for MIPS32 little-endian o32 Linux, and link a C++ program
# against the sysroot.
get_property(_deltanhnt_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
set(_deltanhnt_checked "${_deltanhnt_cxx_path}|${_deltanhnt_target_flags}|${_deltanhnt_sysroot}")
if(NOT _deltanhnt_in_try_compile AND NOT DELTANHNT_TOOLCHAIN_CHECKED STREQUAL _deltanhnt_checked)
    execute_process(
        COMMAND "${_deltanhnt_cxx_path}" ${_deltanhnt_target_flags} "--sysroot=${_deltanhnt_sysroot}"
                -dM -E -x c++ /dev/null
        RESULT_VARIABLE _deltanhnt_failed OUTPUT_VARIABLE _deltanhnt_macros ERROR_VARIABLE _deltanhnt_err)
    if(_deltanhnt_failed
       OR NOT _deltanhnt_macros MATCHES "#define __mips__ 1"
       OR NOT _deltanhnt_macros MATCHES "#define _MIPSEL 1"
       OR NOT _deltanhnt_macros MATCHES "#define _MIPS_SIM _ABIO32"
       OR NOT _deltanhnt_macros MATCHES "#define __linux__ 1")
        message(FATAL_ERROR "${_deltanhnt_cxx_var}: ${_deltanhnt_cxx_path} ${_deltanhnt_target_flags} "
                            "does not build for MIPS32 little-endian Linux (o32): ${_deltanhnt_hint}")
    endif()
    set(_deltanhnt_probe "${CMAKE_BINARY_DIR}/CMakeFiles/deltanhnt-toolchain-probe")
    file(MAKE_DIRECTORY "${_deltanhnt_probe}")
    file(WRITE "${_deltanhnt_probe}/probe.cpp"
        "#include <string>\nint main(int argc, char**) { return static_cast<int>(std::string(\"x\").size()) - argc; }\n")
    execute_process(
        COMMAND "${_deltanhnt_cxx_path}" ${_deltanhnt_target_flags} "--sysroot=${_deltanhnt_sysroot}"
                probe.cpp -o probe
        WORKING_DIRECTORY "${_deltanhnt_probe}"
        RESULT_VARIABLE _deltanhnt_failed OUTPUT_VARIABLE _deltanhnt_err ERROR_VARIABLE _deltanhnt_err)
    if(_deltanhnt_failed)
        string(REGEX MATCH "[^\n]*(error|cannot find|No such file)[^\n]*" _deltanhnt_first "${_deltanhnt_err}")
        message(FATAL_ERROR "DELTANHNT_SYSROOT: ${_deltanhnt_cxx_path} cannot link a C++ program against "
                            "${_deltanhnt_sysroot} (${_deltanhnt_first}): set DELTANHNT_SYSROOT to the unit "
                            "SDK's sysroot with its C library and libstdc++, or run scripts/mipsel-sysroot.sh")
    endif()
    set(DELTANHNT_TOOLCHAIN_CHECKED "${_deltanhnt_checked}" CACHE INTERNAL "")
endif()

# Libraries and headers from the sysroot only (and, when a build adds them,
# from its own prefixes of libraries built from source); programs from the
# build machine.
set(CMAKE_FIND_ROOT_PATH "${_deltanhnt_sysroot}")
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Target programs run with the sysroot as their root: its dynamic loader, C
# library, libstdc++ and libraries, as on the unit.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel -L "${_deltanhnt_sysroot}")
