#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The C-only project in consumer/ built against tolv::tolv, from an installed tree
# (find_package) or from this source tree (add_subdirectory), then run. Taken in by another
# project, tolv must bring neither its tests, benchmarks nor examples (so neither GoogleTest nor
# Google Benchmark is needed) and must leave that project's install prefix alone.
# Arguments: find_package <installed prefix dir> | subdirectory <source dir>, consumer source
# dir, scratch dir, then options for the configure (generator, compilers).
set -euo pipefail
. "$(dirname "$0")/lib.sh"
mode=$1 tolv=$2 consumer=$3 scratch=$4
shift 4
build=$scratch/build
fresh_dir "$scratch"
case $mode in
  find_package) options=(-DCMAKE_PREFIX_PATH="$tolv") ;;
  subdirectory) options=(-DTOLV_SOURCE_DIR="$tolv" -DTOLV_PREFIX=/opt/tolv-embedded
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON) ;;
  *) fail "unknown mode $mode" ;;
esac
quiet "$scratch/configure.log" "$cmake" -S "$consumer" -B "$build" "$@" "${options[@]}"
if [ "$mode" = subdirectory ]; then
  for part in tests bench examples; do
    [ ! -e "$build/tolv/$part" ] || fail "the embedded build configured tolv's $part"
  done
  [ "$(cache_value "$build" CMAKE_INSTALL_PREFIX)" != /opt/tolv-embedded ] \
    || fail "tolv changed the embedding project's install prefix"
fi
quiet "$scratch/build.log" "$cmake" --build "$build"
output=$("$build/consumer")
[ "$output" = "sh -c 'exit 3': exit status 3" ] || fail "consumer printed: $output"
echo "$mode: $output"
