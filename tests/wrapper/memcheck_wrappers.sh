#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Runs each wrapper under memcheck in a temporary installation in front of the fake tool, once
# through to the tool and once to the "Cannot find binary" exit: no memcheck error and nothing
# definitely lost. The driver keeps what it allocates until the process ends, so all of it
# shows as still reachable.
# Arguments: valgrind, directory of the wrappers, scratch dir, then install-relative: bin dir,
# plug-in dir, tool dir, the version level under the library directory (the tool directory is
# reached through it); plug-in file name, fake tool.
set -euo pipefail
valgrind=$1 wrappers=$2 scratch=$3 bin=$4 plugin_dir=$5 tool_dir=$6 lib_version_dir=$7
plugin=$8 fake=$9
rm -rf "$scratch"
mkdir -p "$scratch"
root="$scratch/root"
mkdir -p "$root/$bin" "$root/$plugin_dir" "$root/$tool_dir" "$root/$lib_version_dir"
: > "$root/$plugin_dir/$plugin"

fail() { echo "FAIL: $*" >&2; exit 1; }
summary() { grep -E 'in use at exit|definitely lost:|still reachable:|ERROR SUMMARY' "$1" |
  sed 's/^==[0-9]*== *//' | tr '\n' ' '; }

# Runs one wrapper under memcheck with the given PATH, expecting the given exit status.
check() {
  local name=$1 expected=$2 path=$3 log="$scratch/$1.$2.memcheck"
  shift 3
  local status=0
  PATH=$path FAKE_TOOL_LOG="$scratch/$name.log" "$valgrind" --trace-children=no --leak-check=full \
    --show-leak-kinds=all --errors-for-leak-kinds=definite --error-exitcode=99 \
    --log-file="$log" "$@" 2> "$scratch/$name.err" || status=$?
  [ "$status" = "$expected" ] || fail "$name: status $status, not $expected (see $log)"
  grep -q 'ERROR SUMMARY: 0 errors' "$log" || fail "$name: memcheck errors (see $log)"
  grep -q -e 'definitely lost: 0 bytes' -e 'no leaks are possible' "$log" ||
    fail "$name: memory definitely lost (see $log)"
  echo "$name, exit $status: $(summary "$log")"
}

for tool in ar ranlib nm; do
  cp "$wrappers/tolv-$tool" "$root/$bin/"
  ln -s "$fake" "$root/$tool_dir/$tool"
  check "tolv-$tool" 0 "$PATH" "$root/$bin/tolv-$tool" t lib.a
  [ "$(head -n 1 "$scratch/tolv-$tool.log")" = argv ] || fail "tolv-$tool: the tool did not run"
  rm "$root/$tool_dir/$tool"
  check "tolv-$tool" 1 /nonexistent "$root/$bin/tolv-$tool" t lib.a
  grep -q "Cannot find binary" "$scratch/tolv-$tool.err" || fail "tolv-$tool: no message"
done
