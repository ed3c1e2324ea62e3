#!/usr/bin/env bash
# Fails when a test, script or the demo creates a folder or file that every
# user may write to, outside a private namespace. Root shares such folders
# with the programs it starts as other users; any local user could plant
# links there (tests/README.md, "Files shared with other users").
#
#   scripts/check-world-writable.sh [ROOT]
#
# It reads the sources for modes with the others-write bit: octal modes of
# chmod, mkdir -m, install -m, mount's mode=, umask values that leave the
# bit on, C's mkdir/chmod/open modes and S_IWOTH, symbolic o+w or a+w, and
# Java's PosixFilePermissions strings and OTHERS_WRITE. A line that does
# this inside a private namespace (a private /tmp) says so with the words
# "private namespace" in a comment on that line.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

# Where tests, scripts and the demo live.
areas=(tests scripts java/src/com/zelt/demo benchmarks packaging .ci)

# Known lines outside this rule's reach, each with its reason.
allowed=(
  # Only the mount point of the private tmpfs that the sandbox mounts on it;
  # the system's X socket folder, sticky, as the X server itself makes it.
  'tests/sandbox/sandbox.sh:    mkdir -p -m 1777 /tmp/.X11-unix'
  # That tmpfs, mounted inside the sandbox's own mount namespace.
  'tests/sandbox/sandbox.sh:  mount -t tmpfs -o mode=1777 tmpfs /tmp/.X11-unix'
)

o='[0-7]?[0-7][0-7][2367]'  # an octal mode with others-write
patterns=(
  "chmod( +-[A-Za-z]+)* +$o\\b"
  "chmod( +-[A-Za-z]+)* +[ugo]*[ao][ugo]*[-+=][rwxXst]*w"
  "(mkdir|install)\\b.*(-m *|--mode=)$o\\b"
  "mode=$o\\b"
  "umask\\(? *0*[0-7]?[0-7][0145]\\b"
  "\\b(mkdir|mkdirat|chmod|fchmod|fchmodat|open|openat|creat)\\(.*\\b0$o\\b"
  "S_IWOTH"
  "\"[r-][w-][xsS-][r-][w-][xsS-][r-]w[xtT-]\""
  "OTHERS_WRITE"
)

files=$(git ls-files -- "${areas[@]}" 2>/dev/null || find "${areas[@]}" -type f)
found=0
for p in "${patterns[@]}"; do
  while IFS= read -r hit; do
    [ -n "$hit" ] || continue
    file=${hit%%:*}
    rest=${hit#*:}
    line=${rest#*:}
    case "$line" in *"private namespace"*) continue ;; esac
    skip=0
    for a in "${allowed[@]}"; do [ "$file:$line" = "$a" ] && skip=1; done
    [ "$skip" = 1 ] && continue
    echo "check-world-writable.sh: $file:${rest%%:*}: world-writable outside a private namespace: ${line#"${line%%[![:space:]]*}"}" >&2
    found=1
  done < <(printf '%s\n' "$files" | grep -v -e '^scripts/check-world-writable.sh$' |
    xargs -r grep -n -E -H -- "$p" 2>/dev/null || true)
done
[ "$found" = 0 ] || { echo "check-world-writable.sh: see tests/README.md, \"Files shared with other users\"" >&2; exit 1; }
echo "check-world-writable.sh: no world-writable folder outside a private namespace"
