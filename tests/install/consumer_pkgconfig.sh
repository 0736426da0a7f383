#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# A C program built against the installed tree (still under DESTDIR) with pkg-config alone, and
# linked by the C compiler; each installed header must compile on its own, as C.
# Arguments: installed prefix dir, consumer source dir, scratch dir, C compiler, version.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
root=$1 consumer=$2 scratch=$3 cc=$4 version=$5
command -v pkg-config >/dev/null || { echo "SKIP: no pkg-config on PATH"; exit 77; }
fresh_dir "$scratch"
pc=$(find "$root" -name tolv.pc)
[ -n "$pc" ] || fail "no tolv.pc under $root"
export PKG_CONFIG_PATH=${pc%/*}
[ "$(pkg-config --modversion tolv)" = "$version" ] || fail "pkg-config: tolv not version $version"
read -ra cflags <<<"$(pkg-config --cflags tolv)"
read -ra libs <<<"$(pkg-config --libs tolv)"

while IFS= read -r header; do
  printf '#include <%s>\n' "$header" >"$scratch/header.c"
  "$cc" -fsyntax-only -Wall -Wextra -Werror "${cflags[@]}" "$scratch/header.c" \
    || fail "<$header> does not compile on its own"
done < <(cd "$root/include" && find tolv -name '*.h' | sort)

quiet "$scratch/cc.log" "$cc" -Wall -Wextra -Werror "${cflags[@]}" "$consumer/consumer.c" \
  -o "$scratch/consumer" "${libs[@]}"
output=$("$scratch/consumer")
[ "$output" = "sh -c 'exit 3': exit status 3" ] || fail "consumer printed: $output"
echo "$output"
