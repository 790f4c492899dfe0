# Warnings for the project's own targets; errors when
# DELTANHNT_WARNINGS_AS_ERRORS is on (as in CI).
function(deltanhnt_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
        -Wcast-align -Wnull-dereference -Waddress-of-packed-member)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        target_compile_options(${target} PRIVATE -Wcast-align=strict -Wduplicated-cond -Wlogical-op)
    endif()
    if(DELTANHNT_WARNINGS_AS_ERRORS)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
