# SPDX-License-Identifier: BSD-2-Clause
# Shared by the installation tests (sourced).
cmake=${CMAKE:-cmake}

fail() { echo "FAIL: $*" >&2; exit 1; }

# A test's scratch folder, emptied of what an earlier run left.
fresh_dir() { rm -rf "$1"; mkdir -p "$1"; }

# Runs a command with its output in a log file, shown only when it fails.
quiet() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || { cat "$log" >&2; fail "$*"; }
}

# A value from a build's CMake cache.
cache_value() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }

# Everything that an installation under DESTDIR $1 created lies under the prefix $2 (or is one
# of the prefix's own parent folders).
only_under() {
  local dest=$1 prefix=$2 path outside=()
  while IFS= read -r path; do
    case $path in
      "$dest$prefix" | "$dest$prefix"/*) ;;
      *) case "$dest$prefix" in "$path"/*) ;; *) outside+=("${path#"$dest"}") ;; esac ;;
    esac
  done < <(find "$dest" -mindepth 1 ! -type d; find "$dest" -mindepth 1 -type d)
  [ ${#outside[@]} -eq 0 ] \
    || fail "${#outside[@]} paths installed outside $prefix, such as: ${outside[*]:0:5}"
}
