#!/usr/bin/env bash
# Installs what is missing, builds, and runs the guided tour inside the
# sandbox: rpcbind, ypserv and nisplusd seeded with a small namespace, and a
# private Xvfb for the graphical launcher. The tour saves a screenshot of
# that display to build/demo/screenshot.png (or $DEMO_SCREENSHOT).
set -euo pipefail
# Say why the script stops when a command fails (functions and subshells too).
set -o errtrace
trap 'echo "demo.sh: stopped at line $LINENO: $BASH_COMMAND (status $?)" >&2' ERR
if [ "$(id -u)" != 0 ]; then
  echo "demo.sh: must run as root (it installs packages, makes private namespaces and starts programs as other users)" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
echo "Building, about 30 s the first time…"
"$root/scripts/build.sh" >/dev/null
build=${BUILD_DIR:-$root/build}
screenshot=${DEMO_SCREENSHOT:-$build/demo/screenshot.png}
export NISPLUSD=$build/bin/nisplusd
# A /tmp of its own: the tour shares files with programs it starts as nobody.
"$root/scripts/private-tmp.sh" \
  "$root/tests/sandbox/sandbox.sh" --yp --nisplus "$root/tests/nisplus/seed.nis" --nisplus-security 2 --xvfb -- \
    java -Dzelt.native.dir="$build/lib" -Dzelt.demo.screenshot="$screenshot" -cp "$build/java/classes" \
    com.zelt.demo.GuidedTour
echo
echo "Next: ./scripts/sandbox-shell.sh opens a shell in a sandbox like this one, with zelt on the PATH, to try these calls by hand."
