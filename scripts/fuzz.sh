#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (ASan + UBSan) into
# build-fuzz/ (or $BUILD_DIR) and runs each for a bounded time, starting from
# the committed seed corpus in tests/fuzz/corpus/<target>/. New inputs go to
# build-fuzz/corpus/<target>/, crashes to build-fuzz/crashes/. Fails when any
# target finds a crash, a sanitizer report or a broken property.
#
#   scripts/fuzz.sh [seconds per target]      (default 60)
#
# Inputs under tests/fuzz/findings/<target>/ are earlier findings: each run
# replays them first, with a 5 s limit (a NIS+ client call's whole time
# budget), and fails while any still fails.
#
# Installs clang and libFuzzer (Debian clang, libclang-rt-14-dev) when missing.
set -euo pipefail
# Say why the script stops when a command fails (functions and subshells too).
set -o errtrace
trap 'echo "fuzz.sh: stopped at line $LINENO: $BASH_COMMAND (status $?)" >&2' ERR
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-fuzz}
seconds=${1:-60}
targets=(fuzz_address_order fuzz_utf8 fuzz_indexed_name fuzz_directory_object fuzz_reply_decoder)

"$root/scripts/install-deps.sh" clang libclang-rt-14-dev

cmake -S "$root/tests/fuzz" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j "$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=()
total=0
for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  crashes="$build/crashes/$t"
  mkdir -p "$work" "$crashes"
  log="$build/$t.log"
  echo "== $t: $seconds s"
  # Directory objects may announce arrays of billions of elements; the
  # decoder reserves that much address space before it finds the data
  # missing, which costs nothing until touched: only resident memory counts.
  status=0
  "$build/$t" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -malloc_limit_mb=65536 -artifact_prefix="$crashes/" "$work" "$root/tests/fuzz/corpus/$t" \
    >"$log" 2>&1 || status=$?
  runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log" | tail -1)
  echo "   executions: ${runs:-?}, corpus: $(ls "$work" | wc -l) inputs"
  total=$((total + ${runs:-0}))
  findings="$root/tests/fuzz/findings/$t"
  if [ "$status" = 0 ] && [ -d "$findings" ] && compgen -G "$findings/*" >/dev/null; then
    if ! "$build/$t" -timeout=5 -rss_limit_mb=2048 -malloc_limit_mb=65536 "$findings"/* >>"$log" 2>&1; then
      echo "   an earlier finding still fails: $findings" >&2
      status=1
    fi
  fi
  if [ "$status" != 0 ]; then
    failed+=("$t")
    grep -E 'ERROR|SUMMARY|runtime error|deadly signal|Test unit written' "$log" | sed -n 1,20p >&2 || true
  fi
done
echo "fuzz.sh: $total executions in total"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz.sh: findings in: ${failed[*]} (inputs under $build/crashes/)" >&2
  exit 1
fi
