# SPDX-License-Identifier: BSD-2-Clause
# Read by cpack for each generator before it installs anything: the Debian settings that depend
# on the machine the package is made on, and the configurations a Debian package cannot have.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

# Debian's packages install under /usr: /usr/local belongs to the local administrator and /opt
# to add-on software (lintian: errors).
if(NOT CPACK_PACKAGING_INSTALL_PREFIX MATCHES "^/usr/?$")
  message(FATAL_ERROR "A Debian package installs under /usr, not ${CPACK_PACKAGING_INSTALL_PREFIX}: "
    "configure this build with -DTOLV_PREFIX=/usr")
endif()
# A statically linked C library never receives the system's security fixes (lintian: an error).
if(CPACK_TOLV_WRAPPER_LINKAGE STREQUAL "static")
  message(FATAL_ERROR "A Debian package links the C library dynamically: configure this build "
    "with -DTOLV_WRAPPER_LINKAGE=static-runtime")
endif()
# binutils provides the host's tools under their target-prefixed names, which the wrappers look
# up along PATH; for another target the package works only once that target's tools are added.
find_program(TOLV_DPKG_ARCHITECTURE dpkg-architecture)
if(TOLV_DPKG_ARCHITECTURE)
  execute_process(COMMAND ${TOLV_DPKG_ARCHITECTURE} -qDEB_HOST_GNU_TYPE
    OUTPUT_VARIABLE host_type OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(host_type AND NOT host_type STREQUAL CPACK_TOLV_TARGET)
    message(WARNING "The package's wrappers run ${CPACK_TOLV_TARGET}-ar and its like, which the "
      "binutils it depends on do not provide; for the host's tools configure with "
      "-DTOLV_TARGET=${host_type}")
  endif()
endif()

# The C library's version comes from the binaries when dpkg-shlibdeps (and the file utility,
# which CPack uses to find the binaries) are at hand.
find_program(TOLV_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(TOLV_FILE file)
if(TOLV_DPKG_SHLIBDEPS AND TOLV_FILE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  message(STATUS "No dpkg-shlibdeps or file: the package depends on libc6 without a version")
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libc6")
endif()
