# The binary contract of deltanhnt.so with the hosts in the field, whose C and
# C++ runtimes may be years older than this toolchain's:
#
# - the load-compatibility baseline (scripts/check-load-compat.py): no symbol
#   version above GLIBC_2.17, GLIBCXX_3.4.21 and CXXABI_1.3.9 (GCC 5, glibc
#   2.17), or GLIBCXX_3.4.19 and CXXABI_1.3.7 (GCC 4.8) with the old string
#   ABI; NEEDED only the C and C++ runtimes and the host's jsoncpp;
# - DELTANHNT_CXX11_ABI=OFF: the old copy-on-write std::string of GCC 4.x
#   hosts (_GLIBCXX_USE_CXX11_ABI=0) for everything built here, the plug-in,
#   the stand-in host and the tests, with a jsoncpp built the same way
#   (DELTANHNT_DEPS_PREFIX, scripts/source-deps.sh);
# - what is shipped: the ELF SONAME deltanhnt.so, no RUNPATH or RPATH, and the
#   debug information in a separate file beside the plug-in (deltanhnt.so.debug,
#   found by debuggers through the plug-in's .gnu_debuglink).

option(DELTANHNT_CXX11_ABI "std::string with the C++11 ABI (OFF: the old ABI of GCC 4.x hosts)" ON)
if(DELTANHNT_CXX11_ABI)
    set(DELTANHNT_ABI_BASELINE "c++11")
else()
    set(DELTANHNT_ABI_BASELINE "old")
    # Throughout: the host hands the plug-in std::string and Json::Value, so
    # the plug-in, the stand-in host and every test agree on one layout.
    add_compile_definitions(_GLIBCXX_USE_CXX11_ABI=0)
endif()

# The plug-in's own compilation.
function(deltanhnt_load_compat target)
    # libstdc++'s shared_ptr counts read this glibc 2.32 flag; see
    # provider/LoadCompat.cpp for the hidden flag that replaces it.
    target_compile_definitions(${target} PRIVATE
        __libc_single_threaded=deltanhnt_libc_single_threaded)
    if(NOT DELTANHNT_CXX11_ABI)
        # Sized operator delete (CXXABI_1.3.9) is GCC 5's; the unsized one,
        # which the sized one calls, is what GCC 4.8's runtime has.
        target_compile_options(${target} PRIVATE -fno-sized-deallocation)
    endif()
endfunction()

# The plug-in as shipped: its shared-object name, no run path (the unit's
# loader finds the C and C++ runtimes and jsoncpp where the unit keeps them),
# and its debug information moved to <file>.debug beside it.
function(deltanhnt_shipped_module target soname)
    target_link_options(${target} PRIVATE "LINKER:-soname,${soname}")
    set_target_properties(${target} PROPERTIES SKIP_BUILD_RPATH ON INSTALL_RPATH "")
    # Instrumented builds keep their symbols for the sanitizers' reports.
    if(NOT DELTANHNT_SANITIZE AND NOT DELTANHNT_BUILD_FUZZ)
        if(NOT CMAKE_OBJCOPY)
            message(FATAL_ERROR "no objcopy found for ${CMAKE_CXX_COMPILER}: set CMAKE_OBJCOPY")
        endif()
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND "${CMAKE_OBJCOPY}" --only-keep-debug "$<TARGET_FILE_NAME:${target}>"
                    "$<TARGET_FILE_NAME:${target}>.debug"
            COMMAND "${CMAKE_OBJCOPY}" --strip-all
                    "--add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug"
                    "$<TARGET_FILE_NAME:${target}>"
            WORKING_DIRECTORY "$<TARGET_FILE_DIR:${target}>"
            COMMENT "Moving the debug information of ${soname} to ${soname}.debug"
            VERBATIM)
        set_property(TARGET ${target} APPEND PROPERTY ADDITIONAL_CLEAN_FILES
            "$<TARGET_FILE:${target}>.debug")
    endif()
endfunction()

# Tests of the built plug-in against the baseline, in every build that has
# tests: scripts/check-load-compat.py prints the highest versions found, or
# one line per symbol above the baseline.  It runs on the build machine
# (the interpreter by path: an executable target would run under the cross
# build's emulator).
function(deltanhnt_add_load_compat_test target)
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    add_test(NAME PluginBinary.LoadCompatibility
        COMMAND "${Python3_EXECUTABLE}" "${PROJECT_SOURCE_DIR}/scripts/check-load-compat.py"
                --abi "${DELTANHNT_ABI_BASELINE}" "$<TARGET_FILE:${target}>")
    set_tests_properties(PluginBinary.LoadCompatibility PROPERTIES
        FAIL_REGULAR_EXPRESSION "FAILED")
endfunction()
