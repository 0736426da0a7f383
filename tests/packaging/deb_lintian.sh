#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Checks the Debian package against Debian policy: any lintian error fails; warnings are shown.
# Argument: the scratch dir of deb_build.sh.
set -euo pipefail
if ! command -v lintian >/dev/null; then
  echo "SKIP: lintian is not installed, the package was not checked against Debian policy"
  exit 77
fi
debs=("$1"/build/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: no single package in $1/build" >&2; exit 1; }
lintian --fail-on error --tag-display-limit 0 "${debs[0]}"
echo "lintian found no error in ${debs[0]##*/}"
