# Third-party libraries, all from Debian's packages (or, for the mipsel
# target, from Debian's mipsel packages unpacked into a sysroot).

find_package(Boost 1.74 REQUIRED)

# jsoncpp: the settings object.  Found by hand so that the same lookup works
# in a cross sysroot without the package's CMake files.
find_path(JSONCPP_INCLUDE_DIR json/json.h PATH_SUFFIXES jsoncpp REQUIRED)
find_library(JSONCPP_LIBRARY NAMES jsoncpp REQUIRED)
if(NOT TARGET deltanhnt::jsoncpp)
    add_library(deltanhnt::jsoncpp UNKNOWN IMPORTED)
    set_target_properties(deltanhnt::jsoncpp PROPERTIES
        IMPORTED_LOCATION "${JSONCPP_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${JSONCPP_INCLUDE_DIR}")
endif()

find_package(Threads REQUIRED)
