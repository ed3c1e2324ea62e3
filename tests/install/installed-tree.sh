#!/usr/bin/env bash
# Checks an installed tree as an administrator gets it, with the build and
# source trees out of sight:
#
#   installed-tree.sh deb    BUILD_DIR   the packages libzelt-jni, libzelt-java and zelt in
#                                        BUILD_DIR, unpacked with dpkg -x
#   installed-tree.sh prefix BUILD_DIR   cmake --install BUILD_DIR --prefix SCRATCH
#
# Runs inside the sandbox (tests/sandbox/sandbox.sh --nisplus): the layout,
# then a JVM with only the installed zelt.jar on its class path makes a table
# call against nisplusd, host calls and a launch through each launcher, all
# under -Xcheck:jni, with the libraries where the classes look by default
# (deb) or named by zelt.native.dir (prefix); then the installed zelt
# command, called through a symbolic link.
set -euo pipefail
if [ "$(id -u)" != 0 ]; then
  echo "installed-tree.sh: must run as root (it hides the build and source trees under private mounts)" >&2
  exit 2
fi
mode=$1
build=$(readlink -f "$2")
here=$(cd "$(dirname "$0")" && pwd)
source_root=$(cd "$here/../.." && pwd)
[ -n "${NISPLUS_DIRECTORY:-}" ] || { echo "installed-tree.sh: run inside the sandbox with --nisplus" >&2; exit 2; }

fail() { echo "installed-tree.sh: $*" >&2; exit 1; }

# A /tmp of this sandbox's own (its mount namespace is private), so that
# nothing made below is reachable by other users at all; unless the trees
# under test lie in /tmp themselves.
case "$build/ $source_root/" in
  /tmp/* | *" /tmp/"*) echo "installed-tree.sh: build or source tree under /tmp: keeping the shared /tmp" >&2 ;;
  *) mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs /tmp ;; # world-writable: private namespace
esac
# Root's scratch folder, mode 0711: the programs launched as nobody pass
# through it to a folder of their own (out, 0700).
scratch=$(mktemp -d /tmp/zelt-installed-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
chmod 711 "$scratch"

case $mode in
  deb)
    # Package, architecture and what its Depends must name.
    while read -r name arch needs; do
      debs=("$build/${name}_"*.deb)
      [ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || fail "expected one $name package, found: ${debs[*]}"
      [ "$(dpkg-deb -f "${debs[0]}" Architecture)" = "$arch" ] || fail "$name is not Architecture: $arch"
      depends=$(dpkg-deb -f "${debs[0]}" Depends)
      for d in $needs; do
        [[ $depends == *"$d"* ]] || fail "Depends of $name lacks $d: $depends"
      done
      dpkg-deb -x "${debs[0]}" "$scratch/root"
    done <<EOF
libzelt-jni $(dpkg --print-architecture) libnsl2 libtirpc3
libzelt-java all libzelt-jni
zelt all libzelt-java default-jre-headless
EOF
    prefix=$scratch/root/usr
    ;;
  prefix)
    cmake --install "$build" --prefix "$scratch/prefix" > /dev/null
    prefix=$scratch/prefix
    # The test server is a component of its own, installed only on request.
    [ ! -e "$prefix/sbin/nisplusd" ] || fail "nisplusd installed by default"
    cmake --install "$build" --prefix "$scratch/server" --component testserver > /dev/null
    [ -x "$scratch/server/sbin/nisplusd" ] && [ -x "$scratch/server/sbin/nisplusctl" ] ||
      fail "testserver component lacks nisplusd or nisplusctl"
    ;;
  *) echo "usage: installed-tree.sh deb|prefix BUILD_DIR" >&2; exit 2 ;;
esac

# Layout: the libraries under their exact names in the JVM's JNI directory,
# and nothing else beside them.
jni=lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/jni
libs=$(cd "$prefix/$jni" && ls | sort | tr '\n' ' ')
[ "$libs" = "libCmdLauncher.so.1 libGuiLauncher.so.1 libnamestore.so " ] || fail "$jni holds: $libs"
for f in bin/zelt share/java/zelt.jar share/zelt/zelt-cli.jar share/man/man1/zelt.1.gz \
  share/doc/zelt/copyright share/doc/zelt/changelog.gz; do
  [ -e "$prefix/$f" ] || fail "missing $f"
done
[ -x "$prefix/bin/zelt" ] || fail "bin/zelt is not executable"
# No installed text file may point back into the trees it came from.
if grep -rIl -e "$build" -e "$source_root" "$prefix"; then fail "installed files name the build or source tree"; fi

cp "$here/InstalledCheck.java" "$scratch/"
out=$scratch/out
mkdir -m 700 "$out"
chown 65534:65534 "$out"

# Out of sight from here on, in this sandbox's own mount namespace: the
# build tree (libraries, classes, jars) and the sources. Running processes
# (nisplusd, this script) keep what they have open.
mount -t tmpfs -o ro,mode=0755 tmpfs "$build"
mount -t tmpfs -o ro,mode=0755 tmpfs "$source_root"
[ ! -e "$build/lib/libnamestore.so" ] || fail "build tree still visible"

jni_problems='WARNING in native method|FATAL ERROR in native method|WARNING: JNI|JNI local refs'
log=$scratch/check.log
status=0
# The package's libraries go where dpkg would put them, in this namespace
# only, and the classes find them without zelt.native.dir. Without that
# directory on this host, java.library.path names it.
native=(-Dzelt.native.dir="$prefix/$jni")
if [ "$mode" = deb ]; then
  native=(-Djava.library.path="$prefix/$jni")
  if [ -d "/usr/$jni" ]; then
    mount --bind "$prefix/$jni" "/usr/$jni"
    native=()
  fi
fi
java -Xcheck:jni "${native[@]}" -cp "$prefix/share/java/zelt.jar" \
  "$scratch/InstalledCheck.java" "$prefix/share/java/zelt.jar" "$out" > "$log" 2>&1 || status=$?
cat "$log"
[ "$status" = 0 ] || fail "the installed classes failed (exit $status)"
grep -q '^INSTALLED OK$' "$log" || fail "the check did not finish"

# The installed command, through a link elsewhere on the file system: it
# finds its jar and libraries from its own installed location.
ln -s "$prefix/bin/zelt" "$scratch/zelt"
JAVA_OPTS=-Xcheck:jni "$scratch/zelt" compare 10 10.0.0.1 > "$scratch/tool.log" 2>&1 || status=$?
JAVA_OPTS=-Xcheck:jni "$scratch/zelt" list "hosts.org_dir.$NISPLUS_DIRECTORY" >> "$scratch/tool.log" 2>&1 ||
  status=$?
cat "$scratch/tool.log"
[ "$status" = 0 ] || fail "the installed zelt command failed (exit $status)"
grep -q 10.1.0.2 "$scratch/tool.log" || fail "zelt list did not list the hosts table"

if grep -E -q "$jni_problems" "$log" "$scratch/tool.log"; then fail "JNI problems under -Xcheck:jni"; fi
echo "installed-tree.sh: $mode tree OK"
