#!/usr/bin/env bash
# Opens a shell inside the sandbox with rpcbind, ypserv, nisplusd and a
# private Xvfb running, for trying the command-line tool by hand:
#
#   sandbox-shell.sh              an interactive shell, marked as the sandbox's
#   sandbox-shell.sh COMMAND...   that command instead
set -euo pipefail
# Say why the script stops when a command fails (functions and subshells too).
set -o errtrace
trap 'echo "sandbox-shell.sh: stopped at line $LINENO: $BASH_COMMAND (status $?)" >&2' ERR
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

if [ "${1:-}" = --interactive-inside ]; then
  # Inside the sandbox: the banner, then bash with a prompt that says where it is.
  rc=/run/sandbox-shell.bashrc
  cat >"$rc" <<'RC'
[ -f /etc/bash.bashrc ] && . /etc/bash.bashrc
[ -f ~/.bashrc ] && . ~/.bashrc
PS1='(sandbox '"$SANDBOX_DOMAIN"') \u:\w\$ '
RC
  cat <<BANNER
== Inside the sandbox ==============================================================
Private network (loopback only), mount, UTS, IPC and PID namespaces; nothing here
reaches the host's ports, and /run, /var/yp, /var/nis and /etc (an overlay) are private.
  NIS domain $SANDBOX_DOMAIN (ypserv), NIS+ directory $NISPLUS_DIRECTORY (nisplusd, pid $NISPLUSD_PID)
  nisplusd enforces access rights (security level 2, AUTH_DES only): root, holding the host's
  secret key in /etc/.rootkey (a private overlay of /etc), is server.$NISPLUS_DIRECTORY, the
  namespace's owner; anyone else, and root without that file, is nobody
  X display $DISPLAY (Xvfb, pid $XVFB_PID), cookie $XAUTHORITY (readable by nobody)
Try:  zelt --help
      zelt list hosts.org_dir.$NISPLUS_DIRECTORY
      nisplusctl dump hosts.org_dir.$NISPLUS_DIRECTORY
      setpriv --reuid 65534 --regid 65534 --clear-groups zelt list passwd.org_dir.$NISPLUS_DIRECTORY
Leave with exit or Ctrl-D: every daemon ends with this shell.
====================================================================================
BANNER
  exec bash --rcfile "$rc" -i
fi

if [ "$(id -u)" != 0 ]; then
  echo "sandbox-shell.sh: must run as root (it makes private namespaces and starts daemons)" >&2
  exit 2
fi
missing=()
for f in bin/nisplusd bin/nisplusctl lib/libnamestore.so java/classes.stamp; do
  [ -e "$build/$f" ] || missing+=("$build/$f")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "sandbox-shell.sh: no complete build in $build (missing ${missing[*]})." >&2
  echo "sandbox-shell.sh: make it first with ./scripts/build.sh (as root: ./scripts/install-deps.sh installs what it needs)." >&2
  exit 1
fi
export NISPLUSD=$build/bin/nisplusd
export PATH=$root/scripts/bin:$build/bin:$PATH
if [ $# -eq 0 ]; then
  set -- "$0" --interactive-inside
fi
exec "$root/tests/sandbox/sandbox.sh" --yp --nisplus "$root/tests/nisplus/seed.nis" --nisplus-security 2 --xvfb -- "$@"
