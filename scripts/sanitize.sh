#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-asan/ (or $BUILD_DIR) and runs the test suites against that build.
# Fails on any failing test and on any sanitizer report, even when every
# test passed.
#
#   scripts/sanitize.sh [ctest options...]     e.g. scripts/sanitize.sh -R namestore
#
# With SANITIZE_JVM_ONLY=1 only what the JVM suites need is built (the CTest
# test `sanitizers` runs a few suites that way).
#
# The JNI libraries link with -nodefaultlibs, so the sanitizer runtimes come
# into each test JVM by LD_PRELOAD (a `java` wrapper first on PATH); programs
# of the build (nisplusd, the C++ tests) link them themselves. The
# build-artifacts suite checks the normal build's needed libraries and is
# left out here. Must run as root, like scripts/test.sh.
set -euo pipefail
# Say why the script stops when a command fails (functions and subshells too).
set -o errtrace
trap 'echo "sanitize.sh: stopped at line $LINENO: $BASH_COMMAND (status $?)" >&2' ERR
if [ "$(id -u)" != 0 ]; then
  echo "sanitize.sh: must run as root (its tests start daemons in private namespaces, switch user identities and change file ownership)" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-asan}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZELT_SANITIZE=address,undefined >/dev/null
if [ "${SANITIZE_JVM_ONLY:-0}" = 1 ]; then
  # Only what the JVM suites load or start: the libraries, the Java classes,
  # nisplusd and its control tool, the launch probes.
  cmake --build "$build" -j "$(nproc)" --target namestore cmdlauncher guilauncher \
    zelt_java_classes zelt_java_tests nisplusd nisplusctl launch_probe launch_reaper launch_native_env
else
  cmake --build "$build" -j "$(nproc)"
fi

libasan=$(gcc -print-file-name=libasan.so)
libubsan=$(gcc -print-file-name=libubsan.so)
for lib in "$libasan" "$libubsan"; do
  [ -e "$lib" ] || { echo "sanitize.sh: sanitizer runtime $lib not found" >&2; exit 2; }
done
libasan=$(readlink -f "$libasan")
libubsan=$(readlink -f "$libubsan")
# The sanitizer's XDR interceptors find the real calls when the runtime
# starts; libtirpc, which the JVM would only load later with libnamestore,
# must already be there or they call through a null pointer.
# awk reads to the end (no early exit): under pipefail an ldconfig killed by
# SIGPIPE would fail the assignment.
libtirpc=$(ldconfig -p | awk '$1 == "libtirpc.so.3" && /x86-64/ && !found {found = $NF} END {print found}')
[ -n "$libtirpc" ] || { echo "sanitize.sh: libtirpc.so.3 not found" >&2; exit 2; }

logs="$build/sanitizer-logs"
rm -rf "$logs"
mkdir -p "$logs"
wrapper=$(mktemp -d /tmp/sanitize-java-XXXXXX)
trap 'rm -rf "$wrapper"' EXIT
real_java=$(command -v java)
# The JVM with the sanitizer runtimes loaded ahead of everything else. The
# launchers' child code is built without instrumentation in this build too;
# ForkedCodeTest checks that from the machine code.
cat >"$wrapper/java" <<EOF
#!/bin/bash
export LD_PRELOAD="$libasan $libubsan $libtirpc\${LD_PRELOAD:+ \$LD_PRELOAD}"
exec "$real_java" "\$@"
EOF
chmod 755 "$wrapper/java"

# The JVM handles its own SIGSEGV (null checks, safepoints): the sanitizer
# must leave that signal alone. Leak checking at exit would report the JVM's
# own allocations. No allocation stacks: recording one takes a runtime spin
# lock that this runtime does not take around fork, so any process forked
# while another thread holds it and then allocating would spin forever (the
# launchers' child code allocates nothing, but other forks in the suite do).
# Reports still show where the bad access happened.
export ASAN_OPTIONS="handle_segv=0:allow_user_segv_handler=1:detect_leaks=0:detect_odr_violation=0:abort_on_error=1:malloc_context_size=0:log_path=$logs/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"
export PATH="$wrapper:$PATH"

cd "$build"
# Left out: build-artifacts always; in JVM-only mode also every suite that is
# not a JVM suite (its programs were not built).
exclude='build-artifacts|sanitizers'
if [ "${SANITIZE_JVM_ONLY:-0}" = 1 ]; then
  others=$(ctest -N -V | awk '/Test command:/ {jvm = /run-junit\.sh/} /Test +#[0-9]+:/ {if (!jvm) print $3}')
  for t in $others; do exclude+="|$t"; done
fi
status=0
ctest --output-on-failure -E "^($exclude)\$" "$@" 2>&1 | tee "$build/sanitize-ctest.log" || status=$?

# Reports land in the log files, or on standard error of a process that did
# not read the log path.
if grep -E -q 'runtime error:|ERROR: AddressSanitizer|SUMMARY: (Address|UndefinedBehavior)Sanitizer' \
    "$build/sanitize-ctest.log"; then
  echo "sanitize.sh: sanitizer reports in the test output:" >&2
  grep -E -A8 'runtime error:|ERROR: AddressSanitizer' "$build/sanitize-ctest.log" | sed -n 1,60p >&2
  status=1
fi
if compgen -G "$logs/*" >/dev/null; then
  echo "sanitize.sh: sanitizer reports:" >&2
  for f in "$logs"/*; do
    echo "==== $f" >&2
    head -60 "$f" >&2
  done
  exit 1
fi
[ "$status" = 0 ] && echo "sanitize.sh: all tests passed, no sanitizer reports"
exit "$status"
