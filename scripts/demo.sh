#!/usr/bin/env bash
# Installs what is missing, builds, and runs the guided tour inside the
# sandbox: rpcbind, ypserv and nisplusd seeded with a small namespace.
# Must run as root (private namespaces, identity switches, file ownership).
set -euo pipefail
# Say why the script stops when a command fails (functions and subshells too).
set -o errtrace
trap 'echo "demo.sh: stopped at line $LINENO: $BASH_COMMAND (status $?)" >&2' ERR
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" >/dev/null
build=${BUILD_DIR:-$root/build}
export NISPLUSD=$build/bin/nisplusd
exec "$root/tests/sandbox/sandbox.sh" --yp --nisplus "$root/tests/nisplus/seed.nis" -- \
  java -Dzelt.native.dir="$build/lib" -cp "$build/java/classes" com.zelt.demo.GuidedTour
