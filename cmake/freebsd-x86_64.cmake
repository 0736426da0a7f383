# SPDX-License-Identifier: BSD-2-Clause
# Cross-building for FreeBSD 14 x86-64 with clang, from Linux.
#
#   cmake -B build/freebsd -G Ninja --toolchain cmake/freebsd-x86_64.cmake \
#         -DTOLV_FREEBSD_SYSROOT=/path/to/freebsd-base
#
# TOLV_FREEBSD_SYSROOT (or the environment variable of that name) is either
# - a full FreeBSD base system unpacked anywhere (usr/include, usr/lib, lib): the programs are
#   built and linked with lld, ready to install; or
# - a headers-only set (usr/include plus libc++'s headers in libcxx/include, no start-up files):
#   everything is compiled and nothing is linked (TOLV_COMPILE_ONLY), which proves the sources
#   against the target's headers.
# TOLV_FREEBSD_CLANG_SUFFIX picks the compiler ("-19" by default: clang-19, clang++-19).

set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_VERSION 14.0)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# try_compile projects read the toolchain file again, without the cache: hand the settings on.
if(NOT DEFINED TOLV_FREEBSD_SYSROOT AND DEFINED ENV{TOLV_FREEBSD_SYSROOT})
  set(TOLV_FREEBSD_SYSROOT "$ENV{TOLV_FREEBSD_SYSROOT}")
endif()
if(NOT DEFINED TOLV_FREEBSD_CLANG_SUFFIX)
  set(TOLV_FREEBSD_CLANG_SUFFIX "$ENV{TOLV_FREEBSD_CLANG_SUFFIX}")
  if(TOLV_FREEBSD_CLANG_SUFFIX STREQUAL "")
    set(TOLV_FREEBSD_CLANG_SUFFIX "-19")
  endif()
endif()
if(NOT TOLV_FREEBSD_SYSROOT OR NOT IS_DIRECTORY "${TOLV_FREEBSD_SYSROOT}/usr/include")
  message(FATAL_ERROR "Set TOLV_FREEBSD_SYSROOT to a FreeBSD sysroot (a folder with usr/include)")
endif()
get_filename_component(TOLV_FREEBSD_SYSROOT "${TOLV_FREEBSD_SYSROOT}" ABSOLUTE)
set(ENV{TOLV_FREEBSD_SYSROOT} "${TOLV_FREEBSD_SYSROOT}")
set(ENV{TOLV_FREEBSD_CLANG_SUFFIX} "${TOLV_FREEBSD_CLANG_SUFFIX}")

set(triple x86_64-unknown-freebsd14.0)
set(CMAKE_C_COMPILER clang${TOLV_FREEBSD_CLANG_SUFFIX})
set(CMAKE_CXX_COMPILER clang++${TOLV_FREEBSD_CLANG_SUFFIX})
set(CMAKE_ASM_COMPILER clang${TOLV_FREEBSD_CLANG_SUFFIX})
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_ASM_COMPILER_TARGET ${triple})

# Libraries and headers come from the sysroot only; programs (the compiler) from the host.
set(CMAKE_FIND_ROOT_PATH "${TOLV_FREEBSD_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(EXISTS "${TOLV_FREEBSD_SYSROOT}/usr/lib/crt1.o")
  # A base system: clang finds the C library, libc++ and the start-up files under --sysroot.
  set(CMAKE_SYSROOT "${TOLV_FREEBSD_SYSROOT}")
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld")
  set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld")
  set(CMAKE_MODULE_LINKER_FLAGS_INIT "-fuse-ld=lld")
else()
  # Headers only: the system headers and libc++'s, explicitly and in this order (libc++'s own
  # headers must come before the C library's, which they wrap), with the settings of a FreeBSD
  # build of libc++. Nothing can be linked, so the compiler checks build static libraries.
  set(TOLV_COMPILE_ONLY ON CACHE BOOL "Compile everything, link nothing" FORCE)
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-resource-dir
    OUTPUT_VARIABLE resource_dir OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${CMAKE_C_COMPILER} not found (install clang${TOLV_FREEBSD_CLANG_SUFFIX})")
  endif()
  set(system "-isystem ${resource_dir}/include -isystem ${TOLV_FREEBSD_SYSROOT}/usr/include")
  set(CMAKE_C_FLAGS_INIT "-nostdinc ${system}")
  set(CMAKE_ASM_FLAGS_INIT "-nostdinc ${system}")
  set(CMAKE_CXX_FLAGS_INIT "-nostdinc -nostdinc++ -include ${TOLV_FREEBSD_SYSROOT}/libcxx/include/__config_site -isystem ${TOLV_FREEBSD_SYSROOT}/libcxx/include ${system}")
endif()
