# .deb package of the plug-in and its host tools, made with CPack:
#
#   cmake --build <build dir> && (cd <build dir> && cpack)
#
# gives deltanhnt_<version>_<arch>.deb: amd64 from the PC build, mipsel from
# the cross build.  It holds what `cmake --install` installs:
#   <libdir>/deltanhnt/deltanhnt.so     the plug-in
#   <libdir>/libhalxhost.so.*           the stand-in host library
#   <bindir>/halx-host, ups-sim         the stand-in host and the simulated UPS
#   <includedir>/halx/*.h               the host framework's declarations

# Debian's name for the target architecture: from the processor the build
# targets, or, on a PC build for an unlisted processor, from dpkg.
set(DELTANHNT_DEB_ARCH "" CACHE STRING "Debian architecture of the .deb (empty: the target's)")
set(_deb_arch "${DELTANHNT_DEB_ARCH}")
if(NOT _deb_arch)
    string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" _cpu)
    if(_cpu MATCHES "^(x86_64|amd64)$")
        set(_deb_arch amd64)
    elseif(_cpu MATCHES "^i[3-6]86$")
        set(_deb_arch i386)
    elseif(_cpu MATCHES "^(aarch64|arm64)$")
        set(_deb_arch arm64)
    elseif(_cpu STREQUAL "mipsel" OR CMAKE_LIBRARY_ARCHITECTURE MATCHES "^mipsel-")
        set(_deb_arch mipsel)
    elseif(NOT CMAKE_CROSSCOMPILING)
        execute_process(COMMAND dpkg --print-architecture
            OUTPUT_VARIABLE _deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
    if(NOT _deb_arch)
        message(WARNING "No Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}: "
                        "set DELTANHNT_DEB_ARCH")
        set(_deb_arch "${_cpu}")
    endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME deltanhnt)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "UPS device-driver plug-in for the site-monitoring unit, with its host tools")
set(CPACK_PACKAGE_DESCRIPTION
    "deltanhnt.so lets a site-monitoring unit poll a Delta NH/NT-series UPS over a\n\
2400-baud serial line.  The package also holds the stand-in host library\n\
(libhalxhost), the host framework's headers, halx-host (loads the plug-in and\n\
polls a UPS on a serial port or the simulated UPS) and ups-sim (a simulated\n\
UPS on a pseudo-terminal or a serial port).")
set(CPACK_PACKAGE_CONTACT "deltanhnt maintainers <maintainers@deltanhnt.invalid>")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${_deb_arch}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Run-time libraries, as Debian 12 names them on every architecture (the
# cross build cannot ask dpkg-shlibdeps about mipsel binaries).
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.36), libstdc++6 (>= 12), libgcc-s1, libjsoncpp25 (>= 1.9.5), libboost-program-options1.74.0")
# Building a plug-in or host against include/halx needs these headers too.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libjsoncpp-dev, libboost-dev")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")

include(CPack)
