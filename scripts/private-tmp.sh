#!/usr/bin/env bash
# Runs a command with a /tmp of its own: a fresh tmpfs in a mount namespace
# of its own. What the command, and the programs it starts as other users,
# make in /tmp is then out of every other user's reach, and nothing another
# user planted in the shared /tmp is found there (tests/README.md, "Files
# shared with other users").
#
#   scripts/private-tmp.sh COMMAND [ARGS...]
#
# Must run as root. Refuses when the checkout or $BUILD_DIR lies under /tmp,
# which the new /tmp would hide.
set -euo pipefail
if [ "$(id -u)" != 0 ]; then
  echo "private-tmp.sh: must run as root (it makes a mount namespace)" >&2
  exit 2
fi
[ $# -gt 0 ] || { echo "usage: private-tmp.sh COMMAND [ARGS...]" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
for d in "$root" "${BUILD_DIR:-$root/build}"; do
  case "$(readlink -m "$d")/" in
    /tmp/*) echo "private-tmp.sh: $d lies under /tmp, which a private /tmp would hide" >&2; exit 2 ;;
  esac
done
# world-writable /tmp below: inside this private namespace
exec unshare --mount --propagation private \
  sh -c 'mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs /tmp && exec "$@"' private-tmp.sh "$@" # private namespace
