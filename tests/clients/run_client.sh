#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds a small library project with one build system twice, in the same directory: with the
# host's ar, nm and ranlib, then through an installed tree of the wrappers whose tool directory
# holds logging stand-ins for those tools. Both builds must work and make the same archive, and
# every call of a wrapper must have handed the plug-in to the tool.
# Arguments: client, this directory, build dir, scratch dir, bin dir, plug-in dir, tool dir
# (install-relative), plug-in file name, host ar, host nm, host ranlib, C compiler.
set -euo pipefail
client=$1 here=$2 build=$3 scratch=$4 bin=$5 plugin_dir=$6 tool_dir=$7 plugin=$8
host_ar=$9 host_nm=${10} host_ranlib=${11} cc=${12}

fail() { echo "FAIL: $client: $*" >&2; exit 1; }
need() {
  for program; do
    command -v "$program" >/dev/null || { echo "SKIP: $client: no $program on PATH"; exit 77; }
  done
}
case $client in
  cmake-makefiles) need make; fixture=cmake ;;
  cmake-*) need ninja; fixture=cmake ;;
  autotools-libtool) need autoreconf automake libtoolize make; fixture=autotools ;;
  meson*) need meson ninja; fixture=meson ;;
  make-members) need make; fixture=make ;;
  *) fail "unknown client" ;;
esac
archive=libgreet.a
[ "$client" = autotools-libtool ] && archive=.libs/libgreet.a

rm -rf "$scratch"
mkdir -p "$scratch/src"
inst=$scratch/inst log=$scratch/tools.log calls=$scratch/calls src=$scratch/src work=$scratch/build
cmake --install "$build" --prefix "$inst" >/dev/null
for tool in ar nm ranlib; do
  host=host_$tool
  cat > "$inst/$tool_dir/$tool" <<EOF
#!/bin/sh
printf '%s\n' "\$0 \$*" >> '$log'
exec '${!host}' "\$@"
EOF
  chmod +x "$inst/$tool_dir/$tool"
done
cp "$here/src"/* "$here/$fixture"/* "$src"
if [ "$client" = autotools-libtool ]; then
  (cd "$src" && autoreconf -fi >autoreconf.log 2>&1) || { cat "$src/autoreconf.log"; fail autoreconf; }
fi

# Builds in $work with the tools named by $AR, $NM and $RANLIB, runs the program, then moves the
# build to $scratch/$1. Both builds use one path, so that nothing in them differs by it.
build() {
  rm -rf "$work"
  mkdir "$work"
  cd "$work"
  local cmake=(cmake -S "$src" -B . -DCMAKE_C_COMPILER="$cc" -DCMAKE_AR="$AR" -DCMAKE_RANLIB="$RANLIB")
  local meson=(env CC="$cc" AR="$AR" meson setup . "$src")
  {
    case $client in
      cmake-makefiles) "${cmake[@]}" -G "Unix Makefiles" && cmake --build . ;;
      cmake-ninja) "${cmake[@]}" -G Ninja && cmake --build . ;;
      cmake-ninja-rsp) "${cmake[@]}" -G Ninja -DCMAKE_NINJA_FORCE_RESPONSE_FILE=ON && cmake --build . ;;
      cmake-ipo) "${cmake[@]}" -G Ninja -DGREET_IPO=ON -DCMAKE_C_COMPILER_AR="$AR" \
        -DCMAKE_C_COMPILER_RANLIB="$RANLIB" && cmake --build . ;;
      autotools-libtool) "$src/configure" CC="$cc" AR="$AR" RANLIB="$RANLIB" NM="$NM" && make ;;
      meson) "${meson[@]}" && ninja ;;
      meson-rsp) export MESON_RSP_THRESHOLD=0 && "${meson[@]}" && ninja ;;
      meson-thin) "${meson[@]}" -Dinstall_lib=false && ninja ;;
      make-members) cp "$src"/* . && make AR="$AR" CC="$cc" ;;
    esac
  } >build.log 2>&1 || { cat build.log; fail "$1 build failed"; }
  [ "$(./hello)" = "HELLO, ARCHIVE" ] || fail "$1 build: hello printed '$(./hello)'"
  cd "$scratch"
  mv "$work" "$scratch/$1"
}
AR=$host_ar NM=$host_nm RANLIB=$host_ranlib build plain
: >"$log"
AR=$inst/$bin/tolv-ar NM=$inst/$bin/tolv-nm RANLIB=$inst/$bin/tolv-ranlib build wrapped

plain=$scratch/plain/$archive wrapped=$scratch/wrapped/$archive
case $client in
  make-members)
    # Real member dates differ between the builds: compare names, modes, owners, sizes and bytes.
    members() { "$host_ar" tv "$1" | awk '{ print $1, $2, $3, $NF }'; }
    [ "$(members "$plain")" = "$(members "$wrapped")" ] || fail "archive members differ"
    cmp <("$host_ar" p "$plain") <("$host_ar" p "$wrapped") || fail "archive members' bytes differ"
    (cd "$scratch/wrapped" && make -q) || fail "second make would rebuild"
    ;;
  *)
    cmp "$plain" "$wrapped" || fail "archives differ"
    if [ "$client" = meson-thin ]; then
      # A thin archive names its objects; the objects named must be the same too.
      [ "$(head -c 8 "$wrapped")" = '!<thin>' ] || fail "not a thin archive"
      cmp <("$host_ar" p "$plain") <("$host_ar" p "$wrapped") || fail "archived objects differ"
    fi
    ;;
esac

# Every logged call: <tool dir>/<tool> --plugin <plug-in> <arguments>. Keep "<tool> <arguments>".
[ -s "$log" ] || fail "no wrapper call reached a tool"
tools=$(realpath "$inst/$tool_dir") plugin_path=$(realpath "$inst/$plugin_dir/$plugin")
while read -r tool flag path args; do
  [ "$(realpath "$(dirname "$tool")")" = "$tools" ] && [ "$flag" = --plugin ] \
    && [ "$(realpath "$path")" = "$plugin_path" ] || fail "call without the plug-in: $tool $flag $path $args"
  echo "${tool##*/} $args"
done <"$log" >"$calls"
expect() {
  for shape; do
    grep -Eq "^$shape\$" "$calls" || { cat "$calls"; fail "no call like: $shape"; }
  done
}
case $client in
  cmake-makefiles|cmake-ninja)
    expect 'ar -qc libgreet\.a CMakeFiles/greet\.dir/greet\.c\.o CMakeFiles/greet\.dir/shout\.c\.o' \
      'ranlib libgreet\.a' ;;
  cmake-ipo)
    expect 'ar -cr libgreet\.a CMakeFiles/greet\.dir/greet\.c\.o CMakeFiles/greet\.dir/shout\.c\.o' \
      'ranlib libgreet\.a' ;;
  cmake-ninja-rsp) expect 'ar -qc libgreet\.a @CMakeFiles/greet\.rsp' 'ranlib libgreet\.a' ;;
  autotools-libtool)
    for answer in 'archiver (.*) interface\.\.\. ar' 'name lister (.*) interface\.\.\. BSD nm' \
        'archiver @FILE support\.\.\. @'; do
      grep -Eq "^checking (for |the )?$answer\$" "$scratch/wrapped/build.log" \
        || fail "configure did not find: $answer"
    done
    [ "$(cat "$scratch/wrapped/.libs/libgreet.exp")" = greet_print ] || fail "wrong export list"
    expect 'ar -cru libconftest\.a conftest\.o' 'ar -cr libconftest\.a @conftest\.lst' \
      'ar -cr \.libs/libgreet\.a .*' 'ranlib \.libs/libgreet\.a' 'ar -x .*/libshout\.a' \
      'ar -t .*/libshout\.a' 'nm \.libs/greet\.o .*' ;;
  meson)
    expect 'ar --version' 'ar -h' \
      'ar -csrD libgreet\.a libgreet\.a\.p/greet\.c\.o libgreet\.a\.p/shout\.c\.o' ;;
  meson-rsp) expect 'ar -csrD libgreet\.a @libgreet\.a\.rsp' ;;
  meson-thin) expect 'ar -csrDT libgreet\.a libgreet\.a\.p/greet\.c\.o libgreet\.a\.p/shout\.c\.o' ;;
  make-members) expect 'ar -rvU libgreet\.a greet\.o' 'ar -rvU libgreet\.a shout\.o' ;;
esac
echo "== $client: archives match; calls through the wrappers:"
sed "s|$scratch/|<scratch>/|g" "$calls"
