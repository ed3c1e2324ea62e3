#!/usr/bin/env bash
# Opens a shell inside the sandbox with rpcbind, ypserv and nisplusd running,
# for trying the command-line tool by hand:   zelt --help
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
export NISPLUSD=$build/bin/nisplusd
export PATH=$root/scripts/bin:$build/bin:$PATH
exec "$root/tests/sandbox/sandbox.sh" --yp --nisplus "$root/tests/nisplus/seed.nis" -- "${@:-bash}"
