# Configures the project with the target toolchain file and settings that
# must be refused: the configuration has to fail, and its error has to be the
# one expected message, naming the variable to set.
# Usage: cmake -DSOURCE=<tree> -DTOOLCHAIN=<file> -DWORK=<scratch dir>
#        -DEXPECTED=<regex> -DSETTINGS=<-DVAR=value|ENV:VAR=value|...>
#        [-DEMPTY_SYSROOT=<dir>] -P check_configure_fails.cmake
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
if(EMPTY_SYSROOT)
    # A sysroot with headers but no C library or libstdc++.
    file(MAKE_DIRECTORY "${EMPTY_SYSROOT}/usr/include")
endif()

string(REPLACE "|" ";" settings "${SETTINGS}")
set(arguments "")
set(environment "")
foreach(setting IN LISTS settings)
    if(setting MATCHES "^ENV:(.*)")
        list(APPEND environment "${CMAKE_MATCH_1}")
    else()
        list(APPEND arguments "${setting}")
    endif()
endforeach()

# The build tool named up front: a configuration stopped in the toolchain
# file would otherwise also report that it has none.
find_program(NINJA NAMES ninja ninja-build REQUIRED)
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env --unset=DELTANHNT_SYSROOT --unset=DELTANHNT_CROSS_PREFIX
            --unset=DELTANHNT_CROSS_CXX --unset=DELTANHNT_CROSS_TARGET ${environment}
            ${CMAKE_COMMAND} -S "${SOURCE}" -B "${WORK}/build" -G Ninja
            "-DCMAKE_MAKE_PROGRAM=${NINJA}" "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}"
            -DDELTANHNT_BUILD_TESTS=OFF ${arguments}
    RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE errors)
file(REMOVE_RECURSE "${WORK}")
if(NOT failed)
    message(FATAL_ERROR "the configuration succeeded with ${SETTINGS}")
endif()
string(REGEX MATCHALL "CMake Error" error_count "${errors}")
list(LENGTH error_count error_count)
if(NOT error_count EQUAL 1)
    message(FATAL_ERROR "expected one error, got ${error_count}:\n${errors}")
endif()
# The message as CMake wraps it, joined back into one line.
string(REGEX REPLACE "\n +" " " joined "${errors}")
if(NOT joined MATCHES "${EXPECTED}")
    message(FATAL_ERROR "expected an error matching '${EXPECTED}', got:\n${errors}")
endif()
string(REGEX MATCH "DELTANHNT_[A-Z_]+:[^\n]*" first "${joined}")
message(STATUS "refused as expected: ${first}")
