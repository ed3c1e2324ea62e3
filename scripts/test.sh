#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite with CTest.
# Must run as root: the tests start daemons in private namespaces, switch
# user identities and change file ownership.
set -euo pipefail
# Say why the script stops when a command fails (functions and subshells too).
set -o errtrace
trap 'echo "test.sh: stopped at line $LINENO: $BASH_COMMAND (status $?)" >&2' ERR
if [ "$(id -u)" != 0 ]; then
  echo "test.sh: must run as root (the tests start daemons in private namespaces, switch user identities and change file ownership; without root, after ./scripts/build.sh: ctest --test-dir build -L unprivileged)" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/check-world-writable.sh"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
cd "${BUILD_DIR:-$root/build}"
# The suites start programs as other users and share files with them: a
# /tmp of their own keeps those files out of other users' reach.
"$root/scripts/private-tmp.sh" ctest --output-on-failure "$@"
