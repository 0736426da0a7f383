#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The build the installation tests share, made as a packager would: without the tests, on a
# machine where neither GoogleTest nor Google Benchmark can be found, configured first for one
# prefix and then, in the same folder, for another (/opt/tolv-second).
# Arguments: source dir, scratch dir, then the options of every configure (generator, compilers).
set -euo pipefail
. "$(dirname "$0")/lib.sh"
source=$1 scratch=$2
shift 2
build=$scratch/build
fresh_dir "$scratch"
absent=(-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
quiet "$scratch/configure.log" "$cmake" -S "$source" -B "$build" "$@" "${absent[@]}" \
  -DBUILD_TESTING=OFF -DTOLV_PREFIX=/opt/tolv-first
quiet "$scratch/reconfigure.log" "$cmake" "$build" -DTOLV_PREFIX=/opt/tolv-second
quiet "$scratch/build.log" "$cmake" --build "$build"
# The benchmarks follow the tests unless asked for.
[ "$(cache_value "$build" TOLV_BENCH)" = OFF ] || fail "TOLV_BENCH is not OFF with BUILD_TESTING=OFF"
[ ! -e "$build/bench" ] || fail "the benchmarks were configured"
echo "built without GoogleTest and Google Benchmark"
