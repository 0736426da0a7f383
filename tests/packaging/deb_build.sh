#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Makes the Debian package with the README's commands ("A Debian package"), in a scratch build
# of its own that later runs rebuild incrementally.
# Arguments: source dir, scratch dir, CMake generator, C compiler, C++ compiler.
set -euo pipefail
source=$1 scratch=$2 generator=$3 cc=$4 cxx=$5
build=$scratch/build
log=$scratch/log
mkdir -p "$build"
. "$(dirname "$0")/../install/lib.sh"

# The host's own GNU type is the one binutils names its tools after.
if command -v dpkg-architecture >/dev/null; then
  target=$(dpkg-architecture -qDEB_HOST_GNU_TYPE 2>/dev/null)
else
  target=$("$cc" -dumpmachine)
fi
rm -f "$build"/*.deb
quiet "$log" cmake -S "$source" -B "$build" -G "$generator" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Release -DTOLV_PREFIX=/usr \
  -DTOLV_TARGET="$target" -DTOLV_WRAPPER_LINKAGE=static-runtime -DBUILD_TESTING=OFF \
  -DTOLV_BENCH=OFF
quiet "$log" cmake --build "$build"
cd "$build"
cpack -G DEB
