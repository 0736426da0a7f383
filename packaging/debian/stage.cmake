# SPDX-License-Identifier: BSD-2-Clause
# Run by cpack after it installed the project into its staging tree and before it makes the
# package: what a Debian package needs beyond the installation (lintian's errors otherwise).
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/${CPACK_DEBIAN_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${doc}")

# The licence in the machine-readable copyright format, its text taken from LICENSE.
file(READ "${CPACK_TOLV_SOURCE_DIR}/LICENSE" licence)
if(NOT licence MATCHES "Copyright \\(c\\) ([0-9][-0-9]*), ([^\n]+)\n\n(.*)$")
  message(FATAL_ERROR "LICENSE has no line \"Copyright (c) <year>, <holder>\" followed by the terms")
endif()
set(copyright "${CMAKE_MATCH_1} ${CMAKE_MATCH_2}")
string(STRIP "${CMAKE_MATCH_3}" terms)
string(REGEX REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REGEX REPLACE "\n" "\n " terms "${terms}")
file(WRITE "${doc}/copyright"
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: tolv
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}

Files: *
Copyright: ${copyright}
License: BSD-2-clause
 ${terms}
")

# A package built from its own upstream sources is native: its changelog is changelog.gz. The
# date follows SOURCE_DATE_EPOCH when set, so that rebuilds are identical.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${doc}/changelog"
"${CPACK_DEBIAN_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * Release ${CPACK_PACKAGE_VERSION}, packaged by CPack.

 -- ${CPACK_PACKAGE_CONTACT}  ${date}
")

# Debian compresses manual pages and changelogs at the highest level, without name or time
# stamp in the header.
file(GLOB_RECURSE to_compress "${root}/share/man/*")
list(FILTER to_compress EXCLUDE REGEX "\\.gz$")
list(APPEND to_compress "${doc}/changelog")
foreach(file ${to_compress})
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip -9nf ${file} failed: ${status}")
  endif()
endforeach()

# Whatever the builder's umask: nothing in the package is writable by group or others.
execute_process(COMMAND chmod -R go-w "${CPACK_TEMPORARY_DIRECTORY}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "chmod -R go-w ${CPACK_TEMPORARY_DIRECTORY} failed: ${status}")
endif()
