# Checks the built plug-in as the unit's loader sees it:
#  - the dynamic symbol table defines exactly one global symbol, get_providers;
#  - it is an ELF shared object of the expected class, byte order and machine;
#  - its shared-object name (DT_SONAME) is deltanhnt.so;
#  - it has no run path (DT_RUNPATH, DT_RPATH): the loader would search it,
#    and an empty entry means the host's current directory;
#  - with SPLIT_DEBUG, its debug information is in a separate file, named by
#    its .gnu_debuglink section.
# Usage: cmake -DPLUGIN=<deltanhnt.so> -DNM=<nm> -DREADELF=<readelf>
#        -DMACHINE=<e_machine> -DCLASS=<1|2> [-DSPLIT_DEBUG=ON]
#        -P check_plugin_binary.cmake
execute_process(COMMAND "${NM}" -D --defined-only "${PLUGIN}"
    OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${NM} could not read ${PLUGIN}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(names "")
foreach(line IN LISTS lines)
    # Local symbols (lower-case type) are no exports: on MIPS the link keeps
    # some in the dynamic table for the GOT, where no other object sees them.
    if(line MATCHES "^[0-9a-fA-F]+ +[a-z] ")
        continue()
    endif()
    string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
    list(APPEND names "${name}")
endforeach()
if(NOT names STREQUAL "get_providers")
    message(FATAL_ERROR "deltanhnt.so must export get_providers only, exports: ${names}")
endif()

file(READ "${PLUGIN}" header LIMIT 20 HEX)
string(SUBSTRING "${header}" 0 8 magic)
string(SUBSTRING "${header}" 8 2 class)
string(SUBSTRING "${header}" 10 2 data)
string(SUBSTRING "${header}" 32 4 type)
string(SUBSTRING "${header}" 36 4 machine)
if(NOT magic STREQUAL "7f454c46")
    message(FATAL_ERROR "${PLUGIN} is not an ELF file")
endif()
if(NOT class STREQUAL "0${CLASS}")
    message(FATAL_ERROR "ELF class ${class}, expected 0${CLASS}")
endif()
if(NOT data STREQUAL "01")
    message(FATAL_ERROR "not little-endian (EI_DATA ${data})")
endif()
if(NOT type STREQUAL "0300")
    message(FATAL_ERROR "not a shared object (e_type ${type})")
endif()
if(NOT machine STREQUAL "${MACHINE}")
    message(FATAL_ERROR "e_machine ${machine}, expected ${MACHINE}")
endif()

execute_process(COMMAND "${READELF}" -W -d -S "${PLUGIN}"
    OUTPUT_VARIABLE dynamic RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${READELF} could not read ${PLUGIN}")
endif()
string(REGEX MATCHALL "\\(SONAME\\)[^\n]*\\[([^]\n]*)\\]" soname_entry "${dynamic}")
string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" soname "${soname_entry}")
if(NOT soname STREQUAL "deltanhnt.so")
    message(FATAL_ERROR "DT_SONAME is '${soname}', expected deltanhnt.so")
endif()
string(REGEX MATCHALL "\\((RUNPATH|RPATH)\\)[^\n]*" run_paths "${dynamic}")
if(run_paths)
    message(FATAL_ERROR "the plug-in carries a run path: ${run_paths}")
endif()
if(SPLIT_DEBUG)
    if(NOT dynamic MATCHES "\\.gnu_debuglink")
        message(FATAL_ERROR "no .gnu_debuglink: the debug information is not in a separate file")
    endif()
    if(dynamic MATCHES "\\.debug_info")
        message(FATAL_ERROR "the plug-in still carries its debug information (.debug_info)")
    endif()
endif()
message(STATUS "${PLUGIN}: ELF${CLASS} LE shared object, machine ${machine}, SONAME ${soname}, "
               "no run path, exports get_providers only")
