#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The shared build was reconfigured from /opt/tolv-first to /opt/tolv-second: installed with
# DESTDIR alone, everything must land under /opt/tolv-second, with that prefix compiled into the
# programs and written into the manual pages and the configure summary.
# Arguments: shared scratch dir (of build.sh), scratch dir.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
shared=$1 scratch=$2
build=$shared/build prefix=/opt/tolv-second
fresh_dir "$scratch"
DESTDIR="$scratch/dest" quiet "$scratch/install.log" "$cmake" --install "$build"
only_under "$scratch/dest" "$prefix"

root=$scratch/dest$prefix
target=$(cache_value "$build" TOLV_TARGET) version=$(cache_value "$build" TOLV_VERSION_DIR)
plugin=$(cache_value "$build" TOLV_PLUGIN_FILE_NAME)
[ -x "$root/bin/tolv-ar" ] || fail "no $prefix/bin/tolv-ar"
grep -qaF "$prefix/lib/tolv/" "$root/bin/tolv-ar" || fail "tolv-ar is not configured for $prefix"
grep -qF "$prefix/bin/tolv-ar" "$root/share/man/man1/tolv-ar.1" || fail "man page not for $prefix"
for line in "programs  *$prefix/bin/" \
    "plug-in  *$prefix/libexec/tolv/$target/$version/$plugin" \
    "tool directory  *$prefix/$target/bin/"; do
  grep -q -- "-- *$line" "$shared/reconfigure.log" || fail "configure summary lacks: $line"
done
echo "reconfigured build installs under $prefix only"
