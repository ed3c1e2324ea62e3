#!/usr/bin/env bash
# Opens a shell inside the sandbox with rpcbind, ypserv and nisplusd running,
# for trying the command-line tool by hand:   zelt --help
set -euo pipefail
# Say why the script stops when a command fails (functions and subshells too).
set -o errtrace
trap 'echo "sandbox-shell.sh: stopped at line $LINENO: $BASH_COMMAND (status $?)" >&2' ERR
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
export NISPLUSD=$build/bin/nisplusd
export PATH=$root/scripts/bin:$build/bin:$PATH
exec "$root/tests/sandbox/sandbox.sh" --yp --nisplus "$root/tests/nisplus/seed.nis" -- "${@:-bash}"
