#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Unpacks the Debian package (never installs it), moves the unpacked tree elsewhere, and runs
# its wrappers: first as the package leaves them, in front of the host's binutils; then with the
# host's tools linked into the package's tool directory and nothing on PATH.
# Arguments: the scratch dir of deb_build.sh, host ar, host nm, host ranlib, C compiler.
set -euo pipefail
scratch=$1 ar=$2 nm=$3 ranlib=$4 cc=$5
. "$(dirname "$0")/../install/lib.sh"
command -v dpkg-deb >/dev/null || { echo "SKIP: dpkg-deb is not installed"; exit 77; }
build=$scratch/build
debs=("$build"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "no single package in $build"
deb=${debs[0]}
prefix=$(cache_value "$build" TOLV_PREFIX)
target=$(cache_value "$build" TOLV_TARGET)

# The wrapped tools come from binutils.
depends=$(dpkg-deb -f "$deb" Depends)
[[ ", $depends," == *", binutils"[,\ ]* ]] || fail "Depends: $depends (no binutils)"

work=$scratch/run
rm -rf "$work"
mkdir -p "$work/empty"
dpkg-deb -x "$deb" "$work/unpacked"
mv "$work/unpacked" "$work/moved"
tree=$work/moved
root=$tree$prefix

[ -f "$root/share/doc/tolv/copyright" ] || fail "no copyright file"
uncompressed=$(find "$root/share/man" -type f ! -name '*.gz')
[ -z "$uncompressed" ] || fail "uncompressed manual pages: $uncompressed"
# The manual pages name the configured directories: the package must have put its files there.
for program in tolv-ar tolv-ranlib tolv-nm; do
  page=$root/share/man/man1/$program.1.gz
  [ -f "$page" ] || fail "no manual page $page"
  paths=$(gzip -dc "$page" | sed -n '/^\.SH FILES/,/^\.SH [^F]/p' | grep -o "$prefix/[^ )]*")
  [ "$(wc -l <<<"$paths")" -ge 3 ] || fail "$program.1 names no installation paths: $paths"
  for path in $paths; do
    [ -e "$tree$path" ] || fail "$program.1 names $path, which the package lacks"
  done
done

cd "$work"
printf 'int one(void) { return 1; }\n' > one.c
"$cc" -c one.c -o one.o
check() {
  local how=$1 path=$2
  rm -f lib.a
  PATH=$path "$root/bin/tolv-ar" rcs lib.a one.o || fail "tolv-ar rcs, $how"
  PATH=$path "$root/bin/tolv-ranlib" lib.a || fail "tolv-ranlib, $how"
  [ "$(PATH=$path "$root/bin/tolv-ar" t lib.a)" = one.o ] || fail "tolv-ar t, $how"
  PATH=$path "$root/bin/tolv-nm" lib.a | grep -q ' T one$' || fail "tolv-nm, $how"
  echo "wrappers work, $how"
}
if command -v "$target-ar" >/dev/null; then
  check "as unpacked (the host's $target-ar along PATH)" "$PATH"
else
  echo "no $target-ar on PATH: the wrappers were not run as unpacked"
fi
tool_dir=$root/$target/bin
[ -d "$tool_dir" ] || fail "the package has no tool directory $prefix/$target/bin"
ln -s "$ar" "$tool_dir/ar"
ln -s "$nm" "$tool_dir/nm"
ln -s "$ranlib" "$tool_dir/ranlib"
check "with the host's tools in the tool directory and nothing on PATH" "$work/empty"
