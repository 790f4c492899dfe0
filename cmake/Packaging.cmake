# .deb packages of the plug-in, the stand-in host and the tools, made with
# CPack, one per install component:
#
#   cmake --build <build dir> && (cd <build dir> && cpack)
#
# gives, in <build dir>/packages/, amd64 from the PC build and mipsel from
# the cross build:
#   deltanhnt-plugin   <libdir>/deltanhnt/deltanhnt.so: all that a unit needs
#   libhalxhost1       <libdir>/libhalxhost.so.1*: the stand-in host library
#                      (shlibs file, ldconfig trigger)
#   libhalxhost-dev    <includedir>/halx/*.h, libhalxhost.so, the CMake
#                      package halxhost and the pkg-config files halx and
#                      halxhost
#   deltanhnt-tools    halx-host, ups-sim, their manual pages, an example
#                      settings file and scenario scripts
# each with its copyright file and Debian changelog.  The run-time
# dependencies are computed by dpkg-shlibdeps from the packaged binaries
# (cmake/DebDependencies.cmake); the plug-in's debug information stays in
# the build tree (deltanhnt.so.debug), to be kept with each release.

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

set(_maintainer "deltanhnt maintainers <maintainers@deltanhnt.invalid>")
set(_hostlib_package "libhalxhost${PROJECT_VERSION_MAJOR}")

# The packages: component, package name, section, summary, description.
set(_components plugin hostlib hostdev)
if(DELTANHNT_BUILD_TOOLS)
    list(APPEND _components tools)
endif()
set(_plugin_package deltanhnt-plugin)
set(_plugin_section misc)
set(_plugin_summary "UPS device-driver plug-in for the site-monitoring unit")
set(_plugin_description
    "deltanhnt.so lets a site-monitoring unit poll a Delta NH/NT-series UPS over a
2400-baud serial line: nine queries per poll cycle, one 338-byte record
reported per cycle, sixteen named values and fifteen status alarms.  It is
loaded by the unit's host from /usr/lib/deltanhnt/ and needs nothing but the
C and C++ run-time libraries and jsoncpp.")
set(_hostlib_section libs)
set(_hostlib_summary "stand-in host library of the site-monitoring unit's framework")
set(_hostlib_description
    "libhalxhost implements the host framework's device base classes as the
unit's host provides them to its device plug-ins: halx-host and the tests
link it, and the plug-ins they load resolve the framework's symbols from it.")
set(_hostdev_package libhalxhost-dev)
set(_hostdev_section libdevel)
set(_hostdev_summary "host framework declarations for building device plug-ins")
set(_hostdev_description
    "The declarations of the site-monitoring unit's host framework (halx/*.h)
and the link to the stand-in host library, with the CMake package halxhost
(targets halxhost::headers for a plug-in, halxhost::halxhost for a host
application) and the pkg-config files halx and halxhost.  Both carry the
include paths of jsoncpp and Boost that the declarations need.")
set(_tools_package deltanhnt-tools)
set(_tools_section utils)
set(_tools_summary "stand-in host and simulated UPS for the deltanhnt plug-in")
set(_tools_description
    "halx-host loads the deltanhnt plug-in as the site-monitoring unit's host
does and polls a UPS through it, on a serial port or on a simulated UPS,
showing the decoded values and alarms or writing them as JSON lines.
ups-sim plays the UPS on a pseudo-terminal or a serial port, with faults,
scenario scripts and the replay of recorded sessions, to test a unit on the
bench.  halx-host --config runs a whole site: every UPS of one configuration
file polled by one process, history in SQLite, the UPS network protocol
(upsc, upsmon) and the exporters served; a systemd unit runs it.  Example
settings, scenario scripts and a site configuration are in
/usr/share/doc/deltanhnt-tools/examples.")

# Relations that no binary shows: headers need headers, the tools load the
# plug-in of their own version.
set(_version_relation "(= ${PROJECT_VERSION})")
set(_hostdev_depends
    "${_hostlib_package} ${_version_relation}, libjsoncpp-dev, libboost-dev (>= 1.74)")
set(_tools_depends "${_plugin_package} ${_version_relation}")

# The shlibs file of the host library, for its package and for computing
# what depends on it.
set(_packaging_dir "${PROJECT_BINARY_DIR}/packaging")
file(MAKE_DIRECTORY "${_packaging_dir}/${_hostlib_package}")
file(WRITE "${_packaging_dir}/${_hostlib_package}/shlibs"
    "libhalxhost ${PROJECT_VERSION_MAJOR} ${_hostlib_package} (>= ${PROJECT_VERSION})\n")
configure_file("${PROJECT_SOURCE_DIR}/packaging/${_hostlib_package}.triggers"
    "${_packaging_dir}/${_hostlib_package}/triggers" COPYONLY)

# Debian wants the changelog and the manual pages compressed with gzip -9,
# without name or time stamp (reproducible).
find_program(DELTANHNT_GZIP gzip REQUIRED)
function(_deltanhnt_gzip source output)
    add_custom_command(OUTPUT "${output}"
        COMMAND "${DELTANHNT_GZIP}" -9 -n -c "${source}" > "${output}"
        DEPENDS "${source}"
        COMMENT "Compressing ${output}"
        VERBATIM)
endfunction()
set(_compressed "${_packaging_dir}/changelog.gz")
_deltanhnt_gzip("${PROJECT_SOURCE_DIR}/packaging/changelog" "${_packaging_dir}/changelog.gz")

# Every package: its copyright file and changelog.
foreach(_component IN LISTS _components)
    set(_docdir "${CMAKE_INSTALL_DATAROOTDIR}/doc/${_${_component}_package}")
    install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright" "${_packaging_dir}/changelog.gz"
        DESTINATION "${_docdir}" COMPONENT ${_component})
endforeach()

if(DELTANHNT_BUILD_TOOLS)
    foreach(_page halx-host.1 ups-sim.1)
        _deltanhnt_gzip("${PROJECT_SOURCE_DIR}/docs/man/${_page}" "${_packaging_dir}/${_page}.gz")
        list(APPEND _compressed "${_packaging_dir}/${_page}.gz")
        install(FILES "${_packaging_dir}/${_page}.gz"
            DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT tools)
    endforeach()
    install(DIRECTORY "${PROJECT_SOURCE_DIR}/examples/"
        DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${_tools_package}/examples"
        COMPONENT tools)
    # The site monitor: the example configuration (copied to
    # /etc/halx-host/site.conf by whoever sets a site up) and the systemd
    # unit that runs it.
    install(FILES "${PROJECT_SOURCE_DIR}/tools/site/site.conf.example"
        DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${_tools_package}/examples"
        COMPONENT tools)
    install(FILES "${PROJECT_SOURCE_DIR}/packaging/halx-host.service"
        DESTINATION "lib/systemd/system" COMPONENT tools)
endif()
add_custom_target(deltanhnt_package_docs ALL DEPENDS ${_compressed})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME deltanhnt)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
# Each package's summary is the first line of its component's description:
# CPackDeb puts this one before it unless it is CMake's default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_CONTACT "${_maintainer}")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${_components})
set(CPACK_DEBIAN_PACKAGE_SOURCE deltanhnt)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${_deb_arch}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
foreach(_component IN LISTS _components)
    string(TOUPPER "${_component}" _var)
    set(CPACK_DEBIAN_${_var}_PACKAGE_NAME "${_${_component}_package}")
    set(CPACK_DEBIAN_${_var}_PACKAGE_SECTION "${_${_component}_section}")
    set(CPACK_COMPONENT_${_var}_DESCRIPTION
        "${_${_component}_summary}\n${_${_component}_description}")
    # Read by cmake/DebDependencies.cmake, which adds what dpkg-shlibdeps finds.
    set(CPACK_DELTANHNT_${_var}_DEPENDS "${_${_component}_depends}")
endforeach()
set(CPACK_DEBIAN_HOSTLIB_PACKAGE_CONTROL_EXTRA
    "${_packaging_dir}/${_hostlib_package}/shlibs;${_packaging_dir}/${_hostlib_package}/triggers")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")

# Dependencies, once CPack has installed each component: dpkg-shlibdeps on
# its ELF files, with the host library's shlibs file and, for a cross build,
# the shlibs and symbols files of the sysroot's packages.
set(CPACK_DELTANHNT_COMPONENTS ${_components})
set(CPACK_DELTANHNT_HOSTLIB_SHLIBS "${_packaging_dir}/${_hostlib_package}/shlibs")
set(CPACK_DELTANHNT_HOSTLIB_PACKAGE "${_hostlib_package}")
set(CPACK_DELTANHNT_SYSROOT "")
if(CMAKE_CROSSCOMPILING)
    set(CPACK_DELTANHNT_SYSROOT "${CMAKE_SYSROOT}")
endif()
set(CPACK_DELTANHNT_MULTIARCH "${CMAKE_LIBRARY_ARCHITECTURE}")
set(CPACK_DELTANHNT_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
set(CPACK_DELTANHNT_WORK_DIR "${_packaging_dir}/shlibdeps")
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/DebDependencies.cmake")

include(CPack)
