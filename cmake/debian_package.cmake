# The Debian package vx40-loader from the native build (and from the arm64
# and armhf cross builds, below), made by
# `cpack -G DEB` in the build folder (scripts/package): vx40 and vx40-sim,
# their manual pages made from their own --help and --version, bash
# completion for vx40, and under /usr/share/doc/vx40-loader the README, the
# copyright file (the licence) and the Debian changelog. The library
# dependencies are what dpkg-shlibdeps finds the binaries need.
#
# The manual pages are built with everything else, so a change to a
# program's options shows in its page at once; vx40's page is also rendered
# as text for the Windows zip (cmake/windows_package.cmake).

#
# A cross build (cmake/arm64.cmake, cmake/armhf.cmake) cannot run its own
# programs, so it takes the pages of a native build of the same source
# (VX40_MANUAL_DIR); the package is for VX40_DEB_ARCHITECTURE.

set(VX40_MANUAL_DIR "" CACHE PATH
    "Manual pages for a cross build's package: a native build's package/man folder")
if(CMAKE_CROSSCOMPILING)
    if(NOT VX40_MANUAL_DIR)
        message(STATUS "No Debian package: a cross build takes the manual pages of a native "
                       "build (configure with -DVX40_MANUAL_DIR=<native build>/package/man)")
        return()
    endif()
else()
    find_program(VX40_HELP2MAN help2man)
    if(NOT VX40_HELP2MAN)
        message(STATUS "help2man not found: no manual pages and no Debian package "
                       "(scripts/deps installs it)")
        return()
    endif()
endif()

include(GNUInstallDirs)

set(VX40_DEB_NAME vx40-loader)
set(VX40_DEB_MAINTAINER "VX40 loader team <vx40-loader@example.org>")
set(VX40_DEB_RELEASE 1)
set(VX40_DEB_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${VX40_DEB_NAME})
set(VX40_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)
set(VX40_MAN_DIR ${VX40_PACKAGE_DIR}/man)

# The date of the commit built from (or SOURCE_DATE_EPOCH when set, or now):
# string(TIMESTAMP) reads SOURCE_DATE_EPOCH from the environment.
set(vx40_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(vx40_saved_epoch STREQUAL "" AND VX40_REVISION_TIME)
    set(ENV{SOURCE_DATE_EPOCH} ${VX40_REVISION_TIME})
endif()
string(TIMESTAMP VX40_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP VX40_DEB_EPOCH "%s" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${vx40_saved_epoch}")

# The copyright line, once: from LICENSE into the pages and the copyright
# file, which are remade when LICENSE changes.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE VX40_COPYRIGHT_LINE REGEX "^Copyright ")

# Manual pages. help2man runs the programs just built; SOURCE_DATE_EPOCH
# dates the page by the commit rather than by the day of the build.
function(vx40_manual_page program summary)
    set(outputs ${VX40_MAN_DIR}/${program}.1 ${VX40_MAN_DIR}/${program}.1.gz)
    set(options -DSUMMARY=${summary} -DCOPYRIGHT=${VX40_COPYRIGHT_LINE})
    foreach(option IN LISTS ARGN)
        list(APPEND options -D${option})
        if(option STREQUAL "TEXT=ON")
            list(APPEND outputs ${VX40_MAN_DIR}/${program}.txt)
        endif()
    endforeach()
    add_custom_command(
        OUTPUT ${outputs}
        COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${VX40_DEB_EPOCH}
                ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> -DNAME=${program}
                -DDIR=${VX40_MAN_DIR} ${options} -P ${PROJECT_SOURCE_DIR}/cmake/manual_page.cmake
        DEPENDS ${program} ${PROJECT_SOURCE_DIR}/cmake/manual_page.cmake
                ${PROJECT_SOURCE_DIR}/LICENSE
        COMMENT "Manual page of ${program}"
        VERBATIM)
    set(vx40_package_files ${vx40_package_files} ${outputs} PARENT_SCOPE)
endfunction()

set(vx40_package_files "")
if(CMAKE_CROSSCOMPILING)
    set(VX40_MAN_DIR ${VX40_MANUAL_DIR})
else()
    vx40_manual_page(vx40 "service technician's loader for Velmo 2.0 devices on RS-485"
                     COMMANDS=ON "SEE_ALSO=vx40-sim(1)" TEXT=ON)
    vx40_manual_page(vx40-sim "simulated Velmo 2.0 device on a pseudo-terminal"
                     "SEE_ALSO=vx40(1)")
endif()

# /usr/share/doc/vx40-loader/copyright in the machine-readable format, the
# licence's text indented as a License paragraph wants it (an empty line is
# " .").
file(READ ${PROJECT_SOURCE_DIR}/LICENSE vx40_licence)
string(REGEX REPLACE "^.*Copyright [^\n]*\n\n" "" vx40_licence "${vx40_licence}")
string(STRIP "${vx40_licence}" vx40_licence)
string(REPLACE "\n\n" "\n.\n" vx40_licence "${vx40_licence}")
string(REPLACE "\n" "\n " vx40_licence " ${vx40_licence}")
string(REGEX REPLACE "^Copyright \\([cC]\\) " "" vx40_copyright_holder "${VX40_COPYRIGHT_LINE}")
file(CONFIGURE OUTPUT ${VX40_PACKAGE_DIR}/copyright CONTENT [[
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: @VX40_DEB_NAME@
Upstream-Contact: @VX40_DEB_MAINTAINER@

Files: *
Copyright: @vx40_copyright_holder@
License: Expat
@vx40_licence@
]] @ONLY)

# The Debian changelog: one entry for the version packaged.
file(CONFIGURE OUTPUT ${VX40_PACKAGE_DIR}/changelog.Debian CONTENT [[
@VX40_DEB_NAME@ (@PROJECT_VERSION@-@VX40_DEB_RELEASE@) unstable; urgency=medium

  * VX40 loader @PROJECT_VERSION@ packaged with CPack.

 -- @VX40_DEB_MAINTAINER@  @VX40_DEB_DATE@
]] @ONLY)

# Debian compresses the changelog and any document over 4 kB (gzip -9n: no
# name or time stamp, so the bytes depend on the text alone).
foreach(document ${VX40_PACKAGE_DIR}/changelog.Debian ${PROJECT_SOURCE_DIR}/README.md)
    get_filename_component(name ${document} NAME)
    add_custom_command(
        OUTPUT ${VX40_PACKAGE_DIR}/${name}.gz
        COMMAND gzip -9 -n -c ${document} > ${VX40_PACKAGE_DIR}/${name}.gz
        DEPENDS ${document}
        COMMENT "Compressing ${name}")
    list(APPEND vx40_package_files ${VX40_PACKAGE_DIR}/${name}.gz)
endforeach()

add_custom_target(vx40_package_files ALL DEPENDS ${vx40_package_files})

# Installed as the package holds them. Directories 755 whatever the umask of
# the one who packs.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(TARGETS vx40 vx40-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${VX40_MAN_DIR}/vx40.1.gz ${VX40_MAN_DIR}/vx40-sim.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/vx40.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME vx40)
install(FILES ${VX40_PACKAGE_DIR}/copyright ${VX40_PACKAGE_DIR}/changelog.Debian.gz
              ${VX40_PACKAGE_DIR}/README.md.gz
        DESTINATION ${VX40_DEB_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${VX40_DEB_NAME})
set(CPACK_PACKAGE_VENDOR "VX40 loader team")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${VX40_DEB_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service loader for Velmo 2.0 devices on RS-485")
# The long description as Debian shows it: lines under 80 characters, an
# empty line between paragraphs.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "The VX40 loader is the service technician's tool for Velmo 2.0 devices on\n"
    "an RS-485 line. It finds a device at its node number and reads its\n"
    "identity (type, serial number, boot-loader and application versions),\n"
    "writes firmware modules into it, backs up its calibration and\n"
    "configuration blocks to files, and tells it to start its application.\n"
    "\n"
    "The line is reached through a local serial port (a USB or built-in RS-485\n"
    "adapter) or through a serial server on the network, as raw TCP or\n"
    "RFC 2217.\n"
    "\n"
    "This package holds vx40, the command-line loader, with exit codes and JSON\n"
    "output for scripts, and vx40-sim, a simulated device on a pseudo-terminal\n"
    "for tests and training.")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VX40_DEB_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
if(CMAKE_CROSSCOMPILING)
    # dpkg-shlibdeps reads the binaries with that architecture's tools and
    # looks for their libraries in its multiarch folders.
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VX40_DEB_ARCHITECTURE})
    set(CPACK_PROJECT_CONFIG_FILE ${VX40_PACKAGE_DIR}/cpack_host_architecture.cmake)
    file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "set(ENV{DEB_HOST_ARCH} ${VX40_DEB_ARCHITECTURE})\n")
endif()
include(CPack)
