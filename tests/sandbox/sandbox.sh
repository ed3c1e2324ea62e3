#!/usr/bin/env bash
# Runs a command inside private namespaces (network, mount, UTS, IPC, PID)
# with its own NIS domain, loopback, rpcbind and, on request, ypserv and our
# nisplusd. Every daemon started here dies with the sandbox; nothing binds a
# host port, and /run, /var/yp and /var/nis are private tmpfs mounts.
#
#   sandbox.sh [--domain NAME] [--yp] [--nisplus SEEDFILE] [--nisplus-security LEVEL]
#              [--no-domain] [--xvfb] -- COMMAND...
#
# With --nisplus the sandbox's host is named "server" (its UTS namespace is
# private), so that root is the principal server.DOMAIN. that owns the seed's
# directories and tables. --nisplus-security sets nisplusd's security level
# (-S): 0, the default, grants every request; 1 maps the caller's uid to a
# principal (root: the host; others: their LOCAL credential in
# cred.org_dir.DOMAIN.; anyone else: nobody) and enforces access rights; 2
# believes only AUTH_DES. At level 2 /etc is a private overlay whose
# /etc/.rootkey (mode 600) holds a secret key made for this sandbox, as
# `keylogin -r` leaves root's, and the seed gets its DES credential
# (unix.server@DOMAIN, principal server.DOMAIN.) when it has
# cred.org_dir.DOMAIN.: root then writes as the host, anyone else is nobody.
#
# Inside, the command sees:
#   SANDBOX_DOMAIN     the NIS domain (unset with --no-domain)
#   SANDBOX_YP_MASTER  master name recorded in the ypserv maps (with --yp)
#   NISPLUS_DIRECTORY  the NIS+ root directory, DOMAIN. (with --nisplus)
#   NISPLUSD_PID       nisplusd's process ID (with --nisplus)
#   DISPLAY            the X display of a private Xvfb (with --xvfb)
#   XAUTHORITY         its cookie file, owned by nobody:nogroup, mode 0640, so
#                      that root and programs started as nobody can connect
#   XVFB_PID           Xvfb's process ID (with --xvfb)
# With --xvfb the X socket folder /tmp/.X11-unix is a private tmpfs mount too
# and Xvfb keeps no lock file, so displays of sandboxes running side by side
# never meet; Xvfb is stopped by its PID when the command ends.
# nisplusd is found through $NISPLUSD (default: build/bin/nisplusd).
set -euo pipefail
# Say why the script stops when a command fails (functions and subshells too).
set -o errtrace
trap 'echo "sandbox.sh: stopped at line $LINENO: $BASH_COMMAND (status $?)" >&2' ERR

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)

if [ "${SANDBOX_INSIDE:-}" != 1 ] && [ "$(id -u)" != 0 ]; then
  echo "sandbox.sh: must run as root (it makes private namespaces, mounts and starts daemons)" >&2
  exit 2
fi

domain=sandbox.test
want_yp=0
nisplus_seed=
nisplus_security=0
set_domain=1
want_xvfb=0
while [ $# -gt 0 ]; do
  case "$1" in
    --domain) domain=$2; shift 2 ;;
    --yp) want_yp=1; shift ;;
    --nisplus) nisplus_seed=$(readlink -f "$2"); shift 2 ;;
    --nisplus-security) nisplus_security=$2; shift 2 ;;
    --no-domain) set_domain=0; shift ;;
    --xvfb) want_xvfb=1; shift ;;
    --) shift; break ;;
    *) echo "sandbox.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
[ $# -gt 0 ] || { echo "usage: sandbox.sh [options] -- COMMAND..." >&2; exit 2; }

if [ "${SANDBOX_INSIDE:-}" != 1 ]; then
  # Mount points for the private tmpfs mounts; an empty directory at most.
  mkdir -p /var/yp /var/nis
  if [ "$want_xvfb" = 1 ]; then
    mkdir -p -m 1777 /tmp/.X11-unix
  fi
  args=(--domain "$domain")
  [ "$want_yp" = 1 ] && args+=(--yp)
  [ -n "$nisplus_seed" ] && args+=(--nisplus "$nisplus_seed")
  args+=(--nisplus-security "$nisplus_security")
  [ "$set_domain" = 0 ] && args+=(--no-domain)
  [ "$want_xvfb" = 1 ] && args+=(--xvfb)
  export SANDBOX_INSIDE=1
  exec unshare --net --mount --uts --ipc --pid --fork --mount-proc \
    "$0" "${args[@]}" -- "$@"
fi

# ---- inside the namespaces ----
ip link set lo up
mount -t tmpfs -o mode=0755 tmpfs /run
mount -t tmpfs -o mode=0755 tmpfs /var/yp
mount -t tmpfs -o mode=0755 tmpfs /var/nis
mkdir -p /run/rpcbind /run/lock
chown _rpc /run/rpcbind 2>/dev/null || true

if [ "$set_domain" = 1 ]; then
  domainname "$domain"
  export SANDBOX_DOMAIN=$domain
else
  # The kernel's "no domain" value.
  domainname "(none)"
  unset SANDBOX_DOMAIN
fi

wait_for() { # wait_for SECONDS COMMAND...: poll every 20 ms until COMMAND succeeds
  local limit=$(( $1 * 50 )); shift
  local i
  for ((i = 0; i < limit; i++)); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.02
  done
  echo "sandbox.sh: timed out waiting for: $*" >&2
  return 1
}

rpcbind -w
wait_for 60 rpcinfo -p 127.0.0.1

if [ "$want_yp" = 1 ]; then
  export SANDBOX_YP_MASTER=ypmaster.$domain
  mkdir -p "/var/yp/$domain" /var/yp/binding
  printf 'alpha 10.1.0.1 alpha\nbeta 10.1.0.2 beta\n' |
    /usr/lib/yp/makedbm -m "$SANDBOX_YP_MASTER" - "/var/yp/$domain/hosts.byname"
  printf 'root root:x:0:0:root:/root:/bin/bash\n' |
    /usr/lib/yp/makedbm -m "$SANDBOX_YP_MASTER" - "/var/yp/$domain/passwd.byname"
  ypserv
  wait_for 60 sh -c 'rpcinfo -p 127.0.0.1 | grep -w ypserv'
  port=$(rpcinfo -p 127.0.0.1 | awk '$5 == "ypserv" && $3 == "udp" && $2 == 2 && !port {port = $4} END {print port}')
  [ -n "$port" ] || { echo "sandbox.sh: ypserv has no UDP port for version 2" >&2; exit 1; }
  # Binding file read by libnsl's yp client instead of asking ypbind:
  # 2 bytes of any value, int 1 (host order), IPv4 address, port, 2 bytes padding.
  printf "\\x00\\x00\\x01\\x00\\x00\\x00\\x7f\\x00\\x00\\x01\\x$(printf %02x $((port >> 8)))\\x$(printf %02x $((port & 255)))\\x00\\x00" \
    > "/var/yp/binding/$domain.2"
fi

if [ -n "$nisplus_seed" ]; then
  hostname server
  nisplusd=${NISPLUSD:-$root/build/bin/nisplusd}
  export NISPLUS_DIRECTORY=$domain.
  rm -f /run/nisplusd.ready
  if [ "$nisplus_security" = 2 ]; then
    # Writes to /etc land in /run (private tmpfs), never on the host.
    mkdir -p /run/etc-upper /run/etc-work
    mount -t overlay overlay -o lowerdir=/etc,upperdir=/run/etc-upper,workdir=/run/etc-work /etc
    read -r secret public < <("$(dirname "$nisplusd")/nisplusctl" keypair)
    (umask 077 && printf '%s\n' "$secret" > /etc/.rootkey)
    unset secret
    seed_copy=/run/nisplusd-seed.nis
    cp "$nisplus_seed" "$seed_copy"
    if grep -q "^table cred.org_dir.$domain. " "$nisplus_seed"; then
      printf 'entry cred.org_dir.%s. owner="server.%s." "server.%s.\\0" "DES\\0" "unix.server@%s\\0" "%s:0\\0" "\\0"\n' \
        "$domain" "$domain" "$domain" "$domain" "$public" >> "$seed_copy"
    fi
    nisplus_seed=$seed_copy
  fi
  "$nisplusd" --domain "$domain." --seed "$nisplus_seed" --control /run/nisplusd.ctl \
    --ready-file /run/nisplusd.ready -S "$nisplus_security" --key-file /run/nisplusd.key &
  export NISPLUSD_PID=$!
  wait_for 60 test -e /run/nisplusd.ready
fi

if [ "$want_xvfb" = 1 ]; then
  # A sticky, world-writable socket folder as X clients expect it.
  mount -t tmpfs -o mode=1777 tmpfs /tmp/.X11-unix
  export DISPLAY=:1
  export XAUTHORITY=/run/xvfb/Xauthority
  mkdir -p /run/xvfb
  : >"$XAUTHORITY"
  xauth -q -f "$XAUTHORITY" add "$DISPLAY" . "$(mcookie)"
  chown 65534:65534 "$XAUTHORITY"
  chmod 0640 "$XAUTHORITY"
  # -noreset: the server would otherwise reset, and refuse connections for
  # a moment, each time its last client leaves.
  Xvfb "$DISPLAY" -auth "$XAUTHORITY" -nolisten tcp -nolock -noreset -screen 0 800x600x24 \
    >/run/xvfb/log 2>&1 &
  export XVFB_PID=$!
  if ! wait_for 60 xdpyinfo; then
    cat /run/xvfb/log >&2
    exit 1
  fi
  status=0
  "$@" || status=$?
  kill "$XVFB_PID" 2>/dev/null || true
  wait "$XVFB_PID" 2>/dev/null || true
  exit "$status"
fi

"$@"
