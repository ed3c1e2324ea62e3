#!/usr/bin/env bash
# Builds and runs the benchmarks that decide the speed targets, and writes
# benchmarks/REPORT.md and benchmarks/report.png:
#   launch: CmdLauncher.launchapp against ProcessBuilder.start and the C vfork
#      floors, interleaved in one JVM of each size (default heap, 1 GiB), its
#      descriptor limit switched between 1024 and 20000;
#   bridge: get-all, get-first + next, open + close, add and delete against
#      Debian's libnsl client and libnamestore's client layer, with the JNI
#      string floor, in one JVM per round inside the nisplusd sandbox;
#   memory: resident size of a JVM over 100,000 table cycles and 10,000 launches.
#
#   scripts/bench.sh [--quick] [--only launch|bridge|memory]
#
# --quick: a few iterations of everything, to try the pipeline (its figures
# mean nothing, and the report says so). --only SECTION runs that section
# again and keeps the others' figures from the last run in the same build
# directory. Build directory: $BUILD_DIR (default build-bench). Run as root:
# the sandbox needs namespaces, and launches switch to user nobody.
set -euo pipefail
set -o errtrace
trap 'echo "bench.sh: stopped at line $LINENO: $BASH_COMMAND (status $?)" >&2' ERR
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Re-entered inside the sandbox: bench.sh --inside RUN_DIR BUILD_DIR QUICK ONLY
if [ "${1:-}" = --inside ]; then
  run=$2 build=$3 quick=$4 only=$5
  bin=$build/benchmarks
  java_cmd=(java -XX:-MaxFDLimit -Dzelt.native.dir="$build/lib" -Dzelt.bench.dir="$bin"
    -cp "$build/java/classes:$bin/classes")
  dir=bench.$NISPLUS_DIRECTORY
  "$build/bin/nisplusctl" load "$run/seed.nis"
  if [ "$quick" = 1 ]; then
    rounds=1 launch_n=20 scale=0.05 nis_cycles=2000 launch_cycles=100
  else
    rounds=4 launch_n=200 scale=0.4 nis_cycles=100000 launch_cycles=10000
  fi
  # Each section keeps its samples and loads in files of its own, so that one
  # section can be run again without the others.
  section() {
    [ -z "$only" ] || [ "$only" = "$1" ] || return 1
    export BENCH_SAMPLES=$run/samples-$1.txt
    rm -f "$BENCH_SAMPLES"
    cut -d' ' -f1-3 /proc/loadavg > "$run/load-$1.txt"
  }
  ended() { echo "→ $(cut -d' ' -f1-3 /proc/loadavg)" >> "$run/load-$1.txt"; }

  if section launch; then
    for ((r = 1; r <= rounds; r++)); do
      # The two sizes are separate JVMs: alternate which goes first.
      sizes="small large"
      [ $((r % 2)) = 0 ] && sizes="large small"
      for size in $sizes; do
        opts=()
        [ "$size" = large ] && opts=(-Xms1g -Xmx1g -XX:+AlwaysPreTouch)
        (ulimit -n 20000 && exec "${java_cmd[@]}" "${opts[@]}" com.zelt.benchmarks.LaunchBench "$size" "$launch_n")
      done
    done
    ended launch
  fi

  if section bridge; then
    for ((r = 1; r <= rounds; r++)); do
      LD_PRELOAD=$bin/libbench_nsl_shim.so "${java_cmd[@]}" -Xms512m -Xmx512m -XX:+AlwaysPreTouch \
        com.zelt.benchmarks.BridgeBench "$dir" "$scale"
    done
    ended bridge
  fi

  if section memory; then
    mem=("${java_cmd[@]}" -Xms16m -Xmx16m -XX:+AlwaysPreTouch -XX:+UseSerialGC com.zelt.benchmarks.MemoryBench)
    { "${mem[@]}" nisplus "bench100.$dir" "$nis_cycles" 200 && "${mem[@]}" launch "$launch_cycles" 200; } \
      > "$run/memory.txt"
    ended memory
  fi
  exit 0
fi

usage() { echo "usage: scripts/bench.sh [--quick] [--only launch|bridge|memory]" >&2; exit 2; }
quick=0 only=""
command="scripts/bench.sh${*:+ $*}"
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --only)
      [ $# -ge 2 ] || usage
      case "$2" in launch | bridge | memory) only=$2 ;; *) usage ;; esac
      shift ;;
    *) usage ;;
  esac
  shift
done
[ "$(id -u)" = 0 ] || { echo "bench.sh: must run as root (namespaces, nisplusd, launches as nobody)" >&2; exit 2; }
build=${BUILD_DIR:-$root/build-bench}

"$root/scripts/install-deps.sh" gnuplot-nox
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELT_BENCHMARKS=ON > /dev/null
cmake --build "$build" -j "$(nproc)" --target namestore cmdlauncher nisplusd nisplusctl \
  bench_floors bench_raw_nis bench_layer_nis bench_nsl_shim zelt_bench_classes

run=$build/benchmarks/run
# A whole run starts afresh; a single section replaces only its own files.
[ -n "$only" ] || rm -rf "$run"
mkdir -p "$run"

# bench100, bench1000, bench10000 (8 columns, c0 searchable) and empty
# scratch tables for the adds, in one new directory.
domain=sandbox.test
awk -v dir="bench.$domain." '
  function table(t, rows,   i, j, line) {
    print "table " t " type=\"bench_tbl\""
    for (i = 0; i < 8; i++) print "column c" i (i == 0 ? " flags=8" : "")
    for (j = 0; j < rows; j++) {
      line = "entry " t
      for (i = 0; i < 8; i++) line = line " \"r" j "c" i "\\0\""
      print line
    }
  }
  BEGIN {
    print "directory " dir
    table("bench100." dir, 100); table("bench1000." dir, 1000); table("bench10000." dir, 10000)
    table("scratch." dir, 0); table("rawscratch." dir, 0); table("layerscratch." dir, 0)
  }' > "$run/seed.nis"

{
  echo "cpu: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | sed -n 1p), nproc $(nproc)"
  echo "kernel: $(uname -sr), $(systemd-detect-virt 2> /dev/null || echo virtualisation unknown)"
  echo "jdk: $(java -version 2>&1 | sed -n 2p)"
  echo "libnsl: $(dpkg-query -W -f='${Package} ${Version}' libnsl2 2> /dev/null || echo ?)"
  echo "build: RelWithDebInfo"
} > "$run/machine.txt"

echo "bench.sh: running (results in $run)"
begun=$(date -u '+%Y-%m-%d %H:%M UTC')
NISPLUSD=$build/bin/nisplusd "$root/tests/sandbox/sandbox.sh" --domain "$domain" \
  --nisplus "$root/tests/nisplus/seed.nis" -- "$0" --inside "$run" "$build" "$quick" "$only"
# When, by what command, from what build and under what load each section last ran.
ran="$begun, \`$command\`, build $(git -C "$root" rev-parse --short HEAD 2> /dev/null || echo ?)"
for name in launch bridge memory; do
  if [ -z "$only" ] || [ "$only" = "$name" ]; then
    grep -v "^$name: " "$run/sections.txt" 2> /dev/null > "$run/sections.new" || true
    echo "$name: $ran | $(paste -sd' ' "$run/load-$name.txt")" >> "$run/sections.new"
    mv "$run/sections.new" "$run/sections.txt"
  fi
done

quick_any=0
grep -q -- '--quick' "$run/sections.txt" && quick_any=1
java -cp "$build/benchmarks/classes" com.zelt.benchmarks.Report "$run" "$root/benchmarks/REPORT.md" \
  "$root/benchmarks/NOTES.md" "$quick_any"
# The plot has a panel per section: it needs all of them.
if [ "$(grep -c -E '^(launch|bridge|memory): ' "$run/sections.txt")" = 3 ]; then
  gnuplot -e "dir='$run'; out='$root/benchmarks/report.png'" "$root/benchmarks/report.gp"
  echo "bench.sh: wrote benchmarks/REPORT.md and benchmarks/report.png"
else
  echo "bench.sh: wrote benchmarks/REPORT.md; report.png left as it was (not every section has run here)"
fi
