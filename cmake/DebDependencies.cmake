# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) once every component is installed in
# its staging folder: computes each package's Depends with dpkg-shlibdeps
# from the ELF files it holds, and adds the relations set in
# cmake/Packaging.cmake (CPACK_DELTANHNT_<COMPONENT>_DEPENDS).
#
# dpkg-shlibdeps runs in a scratch folder laid out as the build of a
# source package with several binary packages (debian/<package>/...):
#  - debian/<package>/: a copy of the component's staging folder, so that
#    $ORIGIN run paths resolve as on the installed system;
#  - debian/libhalxhost1/: the host library with its shlibs file, so that
#    the tools depend on libhalxhost1 as that file says;
#  - for a cross build, the sysroot's library folders (-l) and, as
#    debian/<package>/DEBIAN/{shlibs,symbols}, the shlibs and symbols files
#    of the Debian packages the sysroot was unpacked from (kept in
#    <sysroot>/.control/ by scripts/mipsel-sysroot.sh), with DEB_HOST_ARCH
#    set to the target's architecture: the symbols files' architecture
#    tags and the library folders are the target's.
# A library for which no such information is found stops the packaging.

set(_arch "${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}")
set(_work "${CPACK_DELTANHNT_WORK_DIR}")
set(_stage "${CPACK_TEMPORARY_DIRECTORY}")

find_program(_shlibdeps dpkg-shlibdeps)
if(NOT _shlibdeps)
    message(FATAL_ERROR "dpkg-shlibdeps not found: install dpkg-dev (scripts/install-deps.sh)")
endif()

# Library folders of the sysroot and the control files of its packages.
set(_search)
set(_control_dirs)
if(CPACK_DELTANHNT_SYSROOT)
    set(_sysroot "${CPACK_DELTANHNT_SYSROOT}")
    file(GLOB _control_dirs LIST_DIRECTORIES true "${_sysroot}/.control/*")
    if(NOT _control_dirs)
        message(FATAL_ERROR "${_sysroot}/.control holds no shlibs or symbols files of the "
                            "sysroot's packages, so the packages' dependencies cannot be "
                            "computed: build the sysroot with scripts/mipsel-sysroot.sh")
    endif()
    foreach(_dir lib usr/lib)
        foreach(_sub "/${CPACK_DELTANHNT_MULTIARCH}" "")
            if(IS_DIRECTORY "${_sysroot}/${_dir}${_sub}")
                list(APPEND _search "-l${_sysroot}/${_dir}${_sub}")
            endif()
        endforeach()
    endforeach()
endif()

foreach(_component IN LISTS CPACK_DELTANHNT_COMPONENTS)
    string(TOUPPER "${_component}" _var)
    set(_package "${CPACK_DEBIAN_${_var}_PACKAGE_NAME}")
    set(_root "${_stage}/${_component}")
    if(NOT IS_DIRECTORY "${_root}")
        message(FATAL_ERROR "no staging folder ${_root} for the package ${_package}")
    endif()

    file(REMOVE_RECURSE "${_work}")
    file(MAKE_DIRECTORY "${_work}/debian")
    file(WRITE "${_work}/debian/control" "")
    set(_hostlib "${_work}/debian/${CPACK_DELTANHNT_HOSTLIB_PACKAGE}")
    file(COPY "${_stage}/hostlib/" DESTINATION "${_hostlib}")
    file(MAKE_DIRECTORY "${_hostlib}/DEBIAN")
    file(COPY_FILE "${CPACK_DELTANHNT_HOSTLIB_SHLIBS}" "${_hostlib}/DEBIAN/shlibs")
    if(NOT _package STREQUAL CPACK_DELTANHNT_HOSTLIB_PACKAGE)
        file(COPY "${_root}/" DESTINATION "${_work}/debian/${_package}")
        file(MAKE_DIRECTORY "${_work}/debian/${_package}/DEBIAN")
    endif()
    foreach(_dir IN LISTS _control_dirs)
        get_filename_component(_name "${_dir}" NAME)
        file(COPY "${_dir}/" DESTINATION "${_work}/debian/${_name}/DEBIAN")
    endforeach()

    # The ELF files of the package, by their magic number.
    file(GLOB_RECURSE _files LIST_DIRECTORIES false RELATIVE "${_root}" "${_root}/*")
    set(_elves)
    foreach(_file IN LISTS _files)
        if(IS_SYMLINK "${_root}/${_file}")
            continue()
        endif()
        file(READ "${_root}/${_file}" _magic LIMIT 4 HEX)
        if(_magic STREQUAL "7f454c46")
            list(APPEND _elves "debian/${_package}/${_file}")
        endif()
    endforeach()

    # The plug-in's references to the framework resolve from the host
    # process that loads it, not from a library: no warning for those.
    set(_warnings 3)
    if(_component STREQUAL "plugin")
        set(_warnings 2)
    endif()
    set(_depends "")
    if(_elves)
        execute_process(
            COMMAND "${CMAKE_COMMAND}" -E env "DEB_HOST_ARCH=${_arch}"
                    "${_shlibdeps}" -O "--warnings=${_warnings}" ${_search} ${_elves}
            WORKING_DIRECTORY "${_work}"
            RESULT_VARIABLE _result
            OUTPUT_VARIABLE _output
            ERROR_VARIABLE _errors)
        if(NOT _result EQUAL 0)
            message(FATAL_ERROR "dpkg-shlibdeps failed for ${_package}:\n${_errors}")
        endif()
        if(_errors)
            message(STATUS "dpkg-shlibdeps for ${_package}:\n${_errors}")
        endif()
        string(REGEX MATCH "shlibs:Depends=([^\n]*)" _match "${_output}")
        set(_depends "${CMAKE_MATCH_1}")
    endif()
    if(CPACK_DELTANHNT_${_var}_DEPENDS)
        if(_depends)
            string(APPEND _depends ", ")
        endif()
        string(APPEND _depends "${CPACK_DELTANHNT_${_var}_DEPENDS}")
    endif()
    set(CPACK_DEBIAN_${_var}_PACKAGE_DEPENDS "${_depends}")
    message(STATUS "${_package}: Depends: ${_depends}")
endforeach()
file(REMOVE_RECURSE "${_work}")
