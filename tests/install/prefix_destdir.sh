#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs the shared build with --prefix and DESTDIR: everything must land under DESTDIR/prefix,
# in the layout the wrappers search and the library's users expect. The tree stays for the
# consumer tests. Then a copy of it loses its empty folders, as packaging tools drop them: the
# installed ar wrapper must still run the tool in the target's tool directory, not a same-named
# tool along PATH.
# Arguments: source dir, shared scratch dir (of build.sh), scratch dir, prefix.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
source=$1 shared=$2 scratch=$3 prefix=$4
build=$shared/build
fresh_dir "$scratch"
DESTDIR="$scratch/dest" quiet "$scratch/install.log" "$cmake" --install "$build" --prefix "$prefix"
only_under "$scratch/dest" "$prefix"

root=$scratch/dest$prefix
target=$(cache_value "$build" TOLV_TARGET) version=$(cache_value "$build" TOLV_VERSION_DIR)
plugin=$(cache_value "$build" TOLV_PLUGIN_FILE_NAME)
libdir=$(cache_value "$build" CMAKE_INSTALL_LIBDIR)
for path in bin/tolv-ar bin/tolv-ranlib bin/tolv-nm share/man/man1/tolv-ar.1 \
    share/man/man1/tolv-ranlib.1 share/man/man1/tolv-nm.1 \
    "libexec/tolv/$target/$version/$plugin" "lib/tolv/$target/$version/README.tolv" \
    "$target/bin" "$libdir/libtolv.a" "$libdir/pkgconfig/tolv.pc" \
    "$libdir/cmake/tolv/tolvConfig.cmake" "$libdir/cmake/tolv/tolvConfigVersion.cmake"; do
  [ -e "$root/$path" ] || fail "$prefix/$path not installed"
done
# The public headers, each in its folder under include/tolv (the private ones stay behind).
want=$(cd "$source" && ls support/*.h paths/*.h pex/*.h | grep -v '_private\.h$' | sort)
have=$(cd "$root/include/tolv" && find . -type f | sed 's|^\./||' | sort)
[ "$want" = "$have" ] || fail "headers under include/tolv: $(echo $have) (expected $(echo $want))"

packaged=$scratch/packaged
cp -a "$root" "$packaged"
find "$packaged" -depth -type d -empty -delete
# The target's tools come later, from elsewhere; a decoy waits along PATH under the name the
# wrapper falls back on.
mkdir -p "$packaged/$target/bin" "$scratch/path"
printf '#!/bin/sh\necho "tool $*"\n' >"$packaged/$target/bin/ar"
printf '#!/bin/sh\necho "decoy $*"\n' >"$scratch/path/$target-ar"
chmod +x "$packaged/$target/bin/ar" "$scratch/path/$target-ar"
output=$(PATH="$scratch/path:$PATH" "$packaged/bin/tolv-ar" t lib.a 2>&1) || true
case $output in
  "tool --plugin "*"/$plugin -t lib.a") ;;
  *) fail "without its empty folders, tolv-ar ran: $output" ;;
esac
echo "installed under DESTDIR$prefix, complete; works without its empty folders"
