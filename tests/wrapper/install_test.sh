#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs the build into a temporary prefix under DESTDIR, checks the layout the wrappers
# search, then runs the installed wrappers in front of the host's tools: first where installed,
# then after the whole tree was moved.
# Arguments: build dir, scratch dir, bin dir, plug-in dir, tool dir (install-relative), plug-in
# file name, host ar, host nm, host ranlib, C compiler.
set -euo pipefail
build=$1 scratch=$2 bin=$3 plugin_dir=$4 tool_dir=$5 plugin=$6 ar=$7 nm=$8 ranlib=$9 cc=${10}
rm -rf "$scratch"
mkdir -p "$scratch"
DESTDIR="$scratch/dest" cmake --install "$build" --prefix /opt/tolv-install-test >/dev/null
root="$scratch/dest/opt/tolv-install-test"

fail() { echo "FAIL: $*" >&2; exit 1; }
for program in tolv-ar tolv-ranlib tolv-nm; do
  [ -x "$root/$bin/$program" ] || fail "$root/$bin/$program not installed"
done
[ -f "$root/$plugin_dir/$plugin" ] || fail "plug-in not at $root/$plugin_dir/$plugin"
[ -d "$root/$tool_dir" ] || fail "tool directory $root/$tool_dir missing"
ln -s "$ar" "$root/$tool_dir/ar"
ln -s "$nm" "$root/$tool_dir/nm"
ln -s "$ranlib" "$root/$tool_dir/ranlib"

cd "$scratch"
printf 'int one(void) { return 1; }\n' > one.c
"$cc" -c one.c -o one.o
check() {
  local prefix=$1
  rm -f lib.a
  "$prefix/$bin/tolv-ar" rc lib.a one.o || fail "tolv-ar under $prefix"
  "$prefix/$bin/tolv-ranlib" lib.a || fail "tolv-ranlib under $prefix"
  [ "$("$prefix/$bin/tolv-ar" t lib.a)" = one.o ] || fail "tolv-ar t under $prefix"
  "$prefix/$bin/tolv-nm" lib.a | grep -q ' T one$' || fail "tolv-nm under $prefix"
}
check "$root"
mv "$scratch/dest" "$scratch/moved"
check "$scratch/moved/opt/tolv-install-test"
echo "installed tree works, in place and moved"
