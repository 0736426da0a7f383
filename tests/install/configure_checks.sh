#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Configure only. The directories and the install prefix follow TOLV_PREFIX across
# reconfigures unless given values of their own, which stick; values that cannot work are
# refused, each with a message that names the setting.
# Arguments: source dir, scratch dir, then the options of the first configure.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
source=$1 scratch=$2
shift 2
build=$scratch/build
fresh_dir "$scratch"
log=$scratch/configure.log
configure() { quiet "$log" "$cmake" "$build" "$@"; }
expect() {
  local name value
  for pair; do
    name=${pair%%=*} value=${pair#*=}
    [ "$(cache_value "$build" "$name")" = "$value" ] \
      || fail "$name is \"$(cache_value "$build" "$name")\", expected \"$value\" (after: $step)"
  done
}

step="first configure"
quiet "$log" "$cmake" -S "$source" -B "$build" "$@" -DBUILD_TESTING=OFF -DTOLV_BENCH=OFF
expect TOLV_BIN_DIR=/usr/local/bin/ CMAKE_INSTALL_PREFIX=/usr/local
step="new prefix"
configure -DTOLV_PREFIX=/opt/a
expect TOLV_BIN_DIR=/opt/a/bin/ TOLV_LIB_DIR=/opt/a/lib/tolv/ \
  TOLV_LIBEXEC_DIR=/opt/a/libexec/tolv/ CMAKE_INSTALL_PREFIX=/opt/a
step="own values, then a new prefix"
configure -DTOLV_BIN_DIR=/usr/bin/ -DCMAKE_INSTALL_PREFIX=/srv/stage
configure -DTOLV_PREFIX=/opt/b
expect TOLV_BIN_DIR=/usr/bin/ TOLV_LIB_DIR=/opt/b/lib/tolv/ CMAKE_INSTALL_PREFIX=/srv/stage
step="own values dropped (-U), prefix with a trailing slash"
configure -UTOLV_BIN_DIR -UCMAKE_INSTALL_PREFIX -DTOLV_PREFIX=/opt/c/
expect TOLV_BIN_DIR=/opt/c/bin/ TOLV_LIBEXEC_DIR=/opt/c/libexec/tolv/ CMAKE_INSTALL_PREFIX=/opt/c
step="a prefix after one with a trailing slash"
configure -DTOLV_PREFIX=/opt/d
expect TOLV_BIN_DIR=/opt/d/bin/ CMAKE_INSTALL_PREFIX=/opt/d

# Each refusal starts from the last good cache: option | what the message must say.
cp "$build/CMakeCache.txt" "$scratch/good-cache"
refusals=(
  '-DTOLV_WRAPPER_LINKAGE=dynamic|TOLV_WRAPPER_LINKAGE must be one of static, static-runtime or shared (got "dynamic"); for programs linked against the shared libraries, use "shared"'
  '-DTOLV_WRAPPER_LINKAGE=Static|TOLV_WRAPPER_LINKAGE must be one of static, static-runtime or shared (got "Static")'
  '-DTOLV_PREFIX=opt/tolv|TOLV_PREFIX must be an absolute path'
  '-DTOLV_PREFIX=|TOLV_PREFIX must be an absolute path'
  '-DTOLV_BIN_DIR=/opt/c/bin|TOLV_BIN_DIR must end in "/"'
  '-DTOLV_LIBEXEC_DIR=libexec/tolv/|TOLV_LIBEXEC_DIR must be an absolute path'
  '-DTOLV_TARGET=x86_64/linux|TOLV_TARGET must be a single file name'
  '-DTOLV_VERSION_DIR=|TOLV_VERSION_DIR must be a single file name'
  '-DTOLV_VERSION_DIR=..|TOLV_VERSION_DIR must be a single file name'
  '-DTOLV_TARGET=x86_64"linux|TOLV_TARGET cannot hold a double quote'
)
for refusal in "${refusals[@]}"; do
  option=${refusal%%|*} message=${refusal#*|}
  cp "$scratch/good-cache" "$build/CMakeCache.txt"
  if "$cmake" "$build" "$option" >"$log" 2>&1; then
    fail "accepted $option"
  fi
  # CMake wraps long messages: compare with the line breaks and indents taken out.
  tr -s ' \n' ' ' <"$log" | grep -qF -- "$message" || { cat "$log" >&2; fail "$option: no \"$message\""; }
done
echo "settings follow TOLV_PREFIX unless set; ${#refusals[@]} unworkable values refused"
