# Instrumented builds.  Both options instrument every target of the tree (the
# plug-in's objects, deltanhnt.so, the stand-in host, the tests), so that the
# plug-in that the tests dlopen is checked as well as the code that loads it.
#
# DELTANHNT_SANITIZE:  AddressSanitizer and UndefinedBehaviorSanitizer; any
#                      report ends the process (no recovery).
# DELTANHNT_BUILD_FUZZ: the same, plus libFuzzer's coverage instrumentation;
#                      clang only.  The fuzz targets add -fsanitize=fuzzer
#                      when they link (deltanhnt_fuzzer_link below).

if(DELTANHNT_BUILD_FUZZ AND NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "DELTANHNT_BUILD_FUZZ needs clang (libFuzzer); "
                        "configure with -DCMAKE_CXX_COMPILER=clang++ or the 'fuzz' preset")
endif()

if(DELTANHNT_SANITIZE OR DELTANHNT_BUILD_FUZZ)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()

# Comparison tracing lets libFuzzer solve compared values byte by byte; once
# the corpus and the dictionary hold the protocol's tokens, a long campaign
# runs about 1.6 times more executions per second without it.
option(DELTANHNT_FUZZ_TRACE_CMP "libFuzzer traces comparisons (off: faster, for long campaigns)" ON)

if(DELTANHNT_BUILD_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link)
    if(NOT DELTANHNT_FUZZ_TRACE_CMP)
        add_compile_options(-fno-sanitize-coverage=trace-cmp,indirect-calls)
    endif()
elseif(DELTANHNT_SANITIZE)
    # UBSan's vptr check makes every cast to a device class refer to that
    # class's typeinfo, which lives only inside the dlopen'ed plug-in
    # (hidden): the tests, which reach the device through the plug-in as the
    # host does, would not link.  The fuzz targets link the plug-in's code
    # statically and keep the check.
    add_compile_options(-fno-sanitize=vptr)
    add_link_options(-fno-sanitize=vptr)
endif()

# Links a fuzz target with libFuzzer's driver (its main()).
function(deltanhnt_fuzzer_link target)
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
endfunction()
