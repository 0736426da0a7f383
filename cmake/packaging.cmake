# SPDX-License-Identifier: BSD-2-Clause
# Packages made by CPack from what `cmake --install` lays out. A Debian package is built from a
# tree configured for the prefix /usr, the host's own tools and a dynamically linked C library
# (README, "A Debian package"; packaging/debian/config.cmake refuses the rest):
#
#   cmake -B build/deb -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLV_PREFIX=/usr \
#         -DTOLV_TARGET=$(dpkg-architecture -qDEB_HOST_GNU_TYPE) \
#         -DTOLV_WRAPPER_LINKAGE=static-runtime -DBUILD_TESTING=OFF -DTOLV_BENCH=OFF
#   cmake --build build/deb && (cd build/deb && cpack -G DEB)

# A project that takes tolv in with add_subdirectory() makes its own packages.
if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()

set(CPACK_PACKAGE_NAME tolv)
set(CPACK_PACKAGE_VENDOR "The tolv authors")
# A placeholder address: the project has no mailing list yet.
set(CPACK_PACKAGE_CONTACT "The tolv authors <tolv-authors@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "wrappers that run ar, ranlib and nm with a plug-in")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_GENERATOR DEB)
# The configured directories are compiled into the programs and written into the manual pages:
# the package installs where they point.
set(CPACK_PACKAGING_INSTALL_PREFIX "${TOLV_PREFIX}")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME tolv)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The wrapped tools; the C library is added when the package is made (packaging/debian/config.cmake).
set(CPACK_DEBIAN_PACKAGE_DEPENDS binutils)
# The summary is the first line of the description; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"tolv-ar, tolv-ranlib and tolv-nm stand in front of the archive tools ar,
ranlib and nm. Each finds its plug-in and the real tool inside the installation
it belongs to, runs the tool with --plugin and the plug-in's path ahead of the
caller's arguments, and exits with the tool's status. Build systems use them
wherever they would use the tools.
.
The package also carries the stand-in plug-in and the small C support library
the programs are built on (allocation, string joining, temporary files, search
lists, relocatable prefixes and a process-pipeline service), with its headers,
pkg-config module and CMake package.")

# Read by the scripts CPack runs (CPackConfig.cmake carries every CPACK_ variable).
set(CPACK_TOLV_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
set(CPACK_TOLV_TARGET "${TOLV_TARGET}")
set(CPACK_TOLV_WRAPPER_LINKAGE "${TOLV_WRAPPER_LINKAGE}")
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/packaging/debian/config.cmake")
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/packaging/debian/stage.cmake")

include(CPack)
