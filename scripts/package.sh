#!/usr/bin/env bash
# Builds the Debian packages libzelt-jni, libzelt-java and zelt under build/
# (or $BUILD_DIR) with CPack from the project's install rules (packaging/),
# and checks them with lintian. Run as root on Debian 12; installs dpkg-dev and
# lintian when missing.
#
#   scripts/package.sh
#
# libzelt-jni's dependencies are computed by dpkg-shlibdeps from the
# libraries (libnsl2, libtirpc3); zelt names a Java 17 runtime.
#
# lintian must report no error and no warning. The libraries' deliberate
# exceptions are overridden in libzelt-jni itself, each with its reason
# (packaging/lintian-overrides.in). Informational tags that remain:
#   binary-has-unneeded-section .comment   CPack strips with plain strip,
#       which keeps the compiler's version note; it costs a few bytes.
#   hardening-no-bindnow, hardening-no-fortify-functions (libnamestore)
#       the project's own build flags, which do not ask for -z now or
#       _FORTIFY_SOURCE; RELRO and PIC are on.
set -euo pipefail
if [ "$(id -u)" != 0 ]; then
  echo "package.sh: must run as root (it installs missing packages and runs lintian as nobody)" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh" lintian
echo "package.sh: building in $build"
"$root/scripts/build.sh" > /dev/null

rm -f "$build"/zelt_*.deb "$build"/libzelt-*.deb
(cd "$build" && cpack --config CPackConfig.cmake)
debs=("$build"/libzelt-jni_*.deb "$build"/libzelt-java_*.deb "$build"/zelt_*.deb)
for deb in "${debs[@]}"; do
  [ -f "$deb" ] || { echo "package.sh: no package $deb was made" >&2; exit 1; }
done

# lintian refuses to be trusted with root: it runs as nobody on a copy.
check=$(mktemp -d /tmp/zelt-lintian-XXXXXX)
trap 'rm -rf "$check"' EXIT
cp "${debs[@]}" "$check/"
chmod 755 "$check"
chmod 644 "$check"/*.deb
echo "package.sh: lintian $(cd "$check" && echo *.deb)"
# From the copy's folder: nobody may not enter the checkout (a clone under /root).
(cd "$check" && runuser -u nobody -- lintian --display-info --fail-on error,warning ./*.deb)
printf 'package.sh: %s\n' "${debs[@]}"
