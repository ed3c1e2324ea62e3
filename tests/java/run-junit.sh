#!/usr/bin/env bash
# Runs JUnit tests in a JVM under -Xcheck:jni and fails the run when the
# JVM prints any JNI warning or error, even if every test passed.
#
#   run-junit.sh BUILD_DIR [JVM options...] -- [JUnit console options...]
#
# The test JVM gets -Dzelt.native.dir=BUILD_DIR/lib and the caller's-side
# classes plus the test classes on its class path.
set -uo pipefail

build=$1; shift
jvm_opts=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do jvm_opts+=("$1"); shift; done
[ "${1:-}" = -- ] && shift

junit=/usr/share/java/junit-platform-console-standalone.jar
# The same locale everywhere, so the JVM reads file names as UTF-8 (its
# sun.jnu.encoding follows LC_CTYPE) whatever the caller's environment says.
export LC_ALL=C.UTF-8
log=$(mktemp /tmp/junit-XXXXXX.log)
trap 'rm -f "$log"' EXIT

java -Xcheck:jni -Dzelt.native.dir="$build/lib" -Dzelt.build.dir="$build" \
  -Dzelt.source.dir="$(cd "$(dirname "$0")/../.." && pwd)" "${jvm_opts[@]}" \
  -jar "$junit" --disable-banner --details=tree --fail-if-no-tests \
  --class-path "$build/java/classes:$build/java/test-classes" "$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}

if grep -E -q 'WARNING in native method|FATAL ERROR in native method|WARNING: JNI|JNI local refs' "$log"; then
  echo "run-junit.sh: the JVM reported JNI problems under -Xcheck:jni:" >&2
  grep -E 'WARNING in native method|FATAL ERROR in native method|WARNING: JNI|JNI local refs' "$log" | sed -n 1,20p >&2
  exit 1
fi
exit "$status"
