#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need,
# plus any packages named as arguments (the fuzz and bench scripts' extras),
# when any is missing. Needs root only when something is missing.
#
#   install-deps.sh [EXTRA_PACKAGE...]
set -euo pipefail
# Say why the script stops when a command fails (functions and subshells too).
set -o errtrace
trap 'echo "install-deps.sh: stopped at line $LINENO: $BASH_COMMAND (status $?)" >&2' ERR
packages=(
  build-essential cmake pkg-config
  openjdk-17-jdk-headless junit5
  libnsl-dev libtirpc-dev rpcsvc-proto
  nettle-dev libgmp-dev  # DES and Diffie-Hellman of Secure RPC (AUTH_DES)
  googletest libgtest-dev
  rpcbind ypserv
  iproute2 util-linux procps binutils
  dpkg-dev  # dpkg-shlibdeps, for the Debian package
  xvfb xauth x11-utils x11-apps netpbm  # X server, its tools and screenshots (sandbox --xvfb)
  "$@"
)
missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) || status=
  [ "$status" = 'install ok installed' ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "install-deps.sh: must run as root (it installs the missing packages: ${missing[*]})" >&2
    exit 2
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Wait for another apt or dpkg run to finish instead of failing at once.
  lock=(-o DPkg::Lock::Timeout=300)
  apt-get "${lock[@]}" update -qq
  apt-get "${lock[@]}" install -y -qq --no-install-recommends "${missing[@]}"
fi
