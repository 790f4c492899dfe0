# Third-party libraries, all from Debian's packages (or, for the mipsel
# target, from Debian's mipsel packages unpacked into a sysroot), except
# where a build variant compiles C++ differently from Debian: then jsoncpp
# and GoogleTest come from DELTANHNT_DEPS_PREFIX, built from Debian's sources
# with the variant's flags by scripts/source-deps.sh.

set(DELTANHNT_DEPS_PREFIX "" CACHE PATH
    "jsoncpp and GoogleTest built from source for this build (scripts/source-deps.sh); empty: the system's")

# Where a missing library is expected, for the messages below.
if(CMAKE_CROSSCOMPILING)
    set(_deltanhnt_where "in DELTANHNT_SYSROOT (${CMAKE_SYSROOT})")
else()
    set(_deltanhnt_where "on this machine (scripts/install-deps.sh)")
endif()

find_package(Boost 1.74)
if(NOT Boost_FOUND)
    message(FATAL_ERROR "no Boost 1.74 headers ${_deltanhnt_where}")
endif()

# jsoncpp: the settings object.  Found by hand so that the same lookup works
# in a cross sysroot without the package's CMake files.
if(DELTANHNT_DEPS_PREFIX)
    if(NOT EXISTS "${DELTANHNT_DEPS_PREFIX}/.source-deps")
        message(FATAL_ERROR "DELTANHNT_DEPS_PREFIX: ${DELTANHNT_DEPS_PREFIX} holds no libraries "
                            "built from source: run scripts/source-deps.sh for it first")
    endif()
    find_path(JSONCPP_INCLUDE_DIR json/json.h PATHS "${DELTANHNT_DEPS_PREFIX}/include/jsoncpp"
        NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
    find_library(JSONCPP_LIBRARY NAMES jsoncpp PATHS "${DELTANHNT_DEPS_PREFIX}/lib"
        NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
    set(GTest_DIR "${DELTANHNT_DEPS_PREFIX}/lib/cmake/GTest" CACHE PATH "GoogleTest built from source" FORCE)
else()
    find_path(JSONCPP_INCLUDE_DIR json/json.h PATH_SUFFIXES jsoncpp)
    find_library(JSONCPP_LIBRARY NAMES jsoncpp)
    if(NOT JSONCPP_INCLUDE_DIR OR NOT JSONCPP_LIBRARY)
        message(FATAL_ERROR "no jsoncpp (json/json.h and libjsoncpp) ${_deltanhnt_where}")
    endif()
endif()
if(NOT TARGET deltanhnt::jsoncpp)
    add_library(deltanhnt::jsoncpp UNKNOWN IMPORTED)
    set_target_properties(deltanhnt::jsoncpp PROPERTIES
        IMPORTED_LOCATION "${JSONCPP_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${JSONCPP_INCLUDE_DIR}")
endif()

# The host hands the plug-in a Json::Value whose strings must have the
# build's std::string ABI: Json::Value::asString tells which a jsoncpp has.
file(STRINGS "${JSONCPP_LIBRARY}" _jsoncpp_cxx11 REGEX "_ZNK4Json5Value8asStringB5cxx11Ev" LIMIT_COUNT 1)
if(DELTANHNT_CXX11_ABI AND NOT _jsoncpp_cxx11)
    message(FATAL_ERROR "${JSONCPP_LIBRARY} has the old std::string ABI: configure with "
                        "DELTANHNT_CXX11_ABI=OFF, or set DELTANHNT_DEPS_PREFIX to a jsoncpp built "
                        "with the C++11 ABI")
elseif(NOT DELTANHNT_CXX11_ABI AND _jsoncpp_cxx11)
    message(FATAL_ERROR "${JSONCPP_LIBRARY} has the C++11 std::string ABI, this build the old one "
                        "(DELTANHNT_CXX11_ABI=OFF): set DELTANHNT_DEPS_PREFIX to a jsoncpp built "
                        "with -D_GLIBCXX_USE_CXX11_ABI=0 (scripts/source-deps.sh)")
endif()

find_package(Threads REQUIRED)
