#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The FreeBSD port's pkg-plist must list what the build installs in the port's configuration,
# and its DISTVERSION must be the project's version.
# Arguments: source dir, scratch dir, project version, CMake generator, C compiler, C++ compiler.
set -euo pipefail
source=$1 scratch=$2 version=$3 generator=$4 cc=$5 cxx=$6
port=$source/packaging/freebsd
build=$scratch/build
stage=$scratch/stage
log=$scratch/log
. "$(dirname "$0")/../install/lib.sh"

distversion=$(sed -n 's/^DISTVERSION=[[:space:]]*//p' "$port/Makefile")
[ "$distversion" = "$version" ] || fail "DISTVERSION is \"$distversion\" in $port/Makefile, the project is $version"

# The port's configuration: its Makefile's CMAKE_ARGS and CMAKE_OFF, the ports framework's build
# type, and the library folder GNUInstallDirs picks on FreeBSD.
mkdir -p "$build"
quiet "$log" cmake -S "$source" -B "$build" -G "$generator" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Release -DTOLV_PREFIX=/usr/local \
  -DBUILD_TESTING=OFF -DTOLV_EXAMPLES=OFF -DCMAKE_INSTALL_LIBDIR=lib
quiet "$log" cmake --build "$build"
rm -rf "$stage"
quiet "$log" env DESTDIR="$stage" cmake --install "$build"

outside=$(cd "$stage" && find . ! -type d | grep -v '^\./usr/local/' || true)
[ -z "$outside" ] || fail "installed outside the prefix, where the port's list cannot name it: $outside"
# The port's post-install moves the pkg-config module from here.
[ -f "$stage/usr/local/lib/pkgconfig/tolv.pc" ] || fail "no lib/pkgconfig/tolv.pc for the port to move"

sh "$port/make-plist" "$stage/usr/local" > "$scratch/pkg-plist"
diff -u "$port/pkg-plist" "$scratch/pkg-plist" ||
  fail "packaging/freebsd/pkg-plist is stale; regenerate it as packaging/freebsd/make-plist says"
echo "pkg-plist matches the installation ($(grep -vc '^@comment' "$port/pkg-plist") entries)"
