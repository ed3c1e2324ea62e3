#!/usr/bin/env bash
# Builds and runs every benchmark in one go and writes benchmarks/REPORT.md
# and benchmarks/report.png:
#   launch: latency of CmdLauncher.launchapp next to ProcessBuilder.start in
#      the same JVM and C floors (fork or vfork + execv + waitpid), small and
#      1 GiB JVMs, ulimit -n 1024 and 20000;
#   bridge: NIS+ bridge against Debian's libnsl client, tables of 100 to
#      10,000 entries, inside the nisplusd sandbox; get-all of 100 entries
#      and open + close also on a baseline libnamestore built from an older
#      commit, loaded beside the present one in one JVM in every round
#      (PairBench), so that the report holds the present library against it
#      in the same JVM; get-all of 1,000 and 10,000 entries against libnsl's
#      nis_list in one JVM as well (RawPair);
#   memory: resident size of a JVM over 100,000 table cycles and 10,000
#      launches.
#
#   scripts/bench.sh [--quick] [--only launch|bridge|memory]
#
# --quick: a few iterations of everything, to try the pipeline (minutes
# become seconds; its figures mean nothing). --only SECTION runs that
# section again and keeps the other sections' figures from the last run in
# the same build directory; the report names when each section ran. Build
# directory: $BUILD_DIR (default build-bench). Baseline: $BENCH_BASELINE
# (default f66cc32, before the reply decoder's rework), built once into
# $BUILD_DIR/baseline and reused while the commit stays the same; when it
# cannot be built or run, the report says so for those two comparisons and
# the run goes on. Run as root: the sandbox needs namespaces. Takes about
# ten minutes on two cores.
set -euo pipefail
# Say why the script stops when a command fails (functions and subshells too).
set -o errtrace
trap 'echo "bench.sh: stopped at line $LINENO: $BASH_COMMAND (status $?)" >&2' ERR
if [ "$(id -u)" != 0 ]; then
  echo "bench.sh: must run as root (it runs the NIS+ benchmark in private namespaces and launches programs as other users)" >&2
  exit 2
fi

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# ---------------------------------------------------------------- inside ----
# Re-entered inside the sandbox: bench.sh --inside RUN_DIR BUILD_DIR QUICK ONLY BASE_LIB
# (BASE_LIB: the baseline's library directory, empty when there is none).
if [ "${1:-}" = --inside ]; then
  run=$2 build=$3 quick=$4 only=$5 base_lib=$6
  classpath=$build/java/classes:$build/benchmarks/classes
  java_cmd=(java -XX:-MaxFDLimit -Dzelt.native.dir="$build/lib" -cp "$classpath")
  # The pairing JVM: the present Java classes twice, through two class
  # loaders of PairBench's, one on each libnamestore (their native methods
  # are the same); the JVM's class path holds the benchmark classes alone.
  pair_java_cmd=(java -XX:-MaxFDLimit -cp "$build/benchmarks/classes")
  bin=$build/benchmarks
  dir=bench.$NISPLUS_DIRECTORY
  # Each section keeps its samples and loads in files of its own, so that
  # one section can be run again without the others.
  section() {
    [ -z "$only" ] || [ "$only" = "$1" ] || return 1
    export BENCH_SAMPLES=$run/samples-$1.txt
    loads=$run/loads-$1.txt
    rm -f "$BENCH_SAMPLES" "$loads"
  }
  load() { echo "$1: $(cut -d' ' -f1-3 /proc/loadavg)" >> "$loads"; }

  "$build/bin/nisplusctl" load "$run/seed.nis"

  # launch_n: launches per JVM and round, whatever its size (they copy no
  # memory); small_n and large_n: anything that forks from a JVM's worth of
  # memory, which a 1 GiB JVM makes slow.
  if [ "$quick" = 1 ]; then
    rounds=1 launch_n=10 small_n=10 large_n=4 bridge_scale=0.05 list_n=3
    nis_cycles=2000 launch_cycles=100
  else
    rounds=4 launch_n=80 small_n=80 large_n=30 bridge_scale=0.4 list_n=8
    nis_cycles=100000 launch_cycles=10000
  fi

  # 1. Launch. Every round runs every configuration, so a busy spell of the
  # machine spreads over all of them instead of spoiling one.
  if section launch; then
    rm -f "$run/launch.log" "$run/rss.txt"
    load "launch, start"
    for ((r = 1; r <= rounds; r++)); do
      # Odd rounds start with the low limit, even ones with the high one, so
      # a load that drifts during the run tilts neither.
      limits="1024 20000"
      [ $((r % 2)) = 0 ] && limits="20000 1024"
      for limit in $limits; do
        for heap in small large; do
          if [ "$heap" = small ]; then opts=() n=$small_n; else
            opts=(-Xms1g -Xmx1g -XX:+AlwaysPreTouch) n=$large_n
          fi
          (ulimit -n "$limit" && exec "${java_cmd[@]}" "${opts[@]}" \
            com.zelt.benchmarks.LaunchBench "$heap" "$launch_n" $((launch_n / 10 + 2))) > "$run/last.log"
          cat "$run/last.log" >> "$run/launch.log"
          rss_kib=$(sed -n 's/.*method=launchapp .* rss_kib=\([0-9]*\).*/\1/p' "$run/last.log")
          [ -n "$rss_kib" ] || { echo "bench.sh: no launch result for $heap/$limit" >&2; exit 1; }
          echo "$heap:$limit: $((rss_kib / 1024))" >> "$run/rss.txt"
          # The C floors at the same resident size, right after the JVM: one
          # fork, one vfork, and the launcher's detached shape of two vforks.
          for shape in floor vfloor vfloor2; do
            case $shape in
              floor) extra=() m=$n ;;
              vfloor) extra=(--vfork) m=$launch_n ;;
              vfloor2) extra=(--vfork --double) m=$launch_n ;;
            esac
            (ulimit -n "$limit" && exec "$bin/fork_floor" --touch-mib $((rss_kib / 1024)) \
              --iterations "$m" --warmup $((m / 10 + 2)) --label "$heap" \
              --key "$shape:$heap:$limit" "${extra[@]}") >> "$run/launch.log"
          done
        done
        (ulimit -n "$limit" && exec "$bin/fork_floor" --iterations "$small_n" --warmup 5 \
          --label none --key "floor:none:$limit") >> "$run/launch.log"
      done
      # Both limits inside one JVM, switched every ten launches.
      "${java_cmd[@]}" com.zelt.benchmarks.LaunchBench small $((launch_n * 2)) 10 1024,20000 \
        >> "$run/launch.log"
      "${java_cmd[@]}" -Xms1g -Xmx1g -XX:+AlwaysPreTouch com.zelt.benchmarks.LaunchBench large \
        $((launch_n * 2)) 10 1024,20000 >> "$run/launch.log"
      # launchapp next to the bare detached shape from the same JVM, its
      # children vforked or forked.
      "${java_cmd[@]}" -Dzelt.bench.dir="$bin" com.zelt.benchmarks.ForkShapes small \
        $((small_n / 2)) 5 >> "$run/launch.log"
      "${java_cmd[@]}" -Xms1g -Xmx1g -XX:+AlwaysPreTouch -Dzelt.bench.dir="$bin" \
        com.zelt.benchmarks.ForkShapes large $((large_n / 2)) 3 >> "$run/launch.log"
    done
    load "launch, end"
  fi

  # 2. NIS+ bridge and its floor, interleaved by round.
  bridge_opts=(-Xms512m -Xmx512m -XX:+AlwaysPreTouch)
  bridge_bench() {
    "${java_cmd[@]}" "${bridge_opts[@]}" com.zelt.benchmarks.BridgeBench "$dir" "$bridge_scale" \
      >> "$run/bridge.log"
  }
  # The present library and the baseline in one JVM (PairBench): get-all of
  # 100 entries and open + close, alternated in blocks of ten. Its samples
  # join the section's only when the whole program succeeded; after a
  # failure it is not run again, and the report names the reason for its two
  # comparisons instead of the rest of the run failing.
  base_failed=""
  pair_bench() {
    [ -n "$base_lib" ] && [ -z "$base_failed" ] || return 0
    rm -f "$run/pair-samples.txt"
    if BENCH_SAMPLES=$run/pair-samples.txt "${pair_java_cmd[@]}" "${bridge_opts[@]}" \
      com.zelt.benchmarks.PairBench "$dir" "$bridge_scale" "$build/java/classes" "$build/lib" "$base_lib" \
      >> "$run/bridge.log" 2> "$run/baseline-run.log"; then
      cat "$run/pair-samples.txt" >> "$BENCH_SAMPLES"
    else
      # The reason: the exception or the check that failed, not the JVM's
      # warnings or the stack frames around it.
      base_failed="PairBench on it stopped with status $? in round $r: $(grep -m 1 -E \
        '^Exception|^benchmark failed' "$run/baseline-run.log" || tail -n 1 "$run/baseline-run.log")"
      echo "bench.sh: baseline not measured: $base_failed" >&2
      echo "failed: $base_failed" >> "$run/baseline.txt"
    fi
    rm -f "$run/pair-samples.txt"
  }
  # libnsl's nis_list and get-all of 1,000 and 10,000 entries in one JVM
  # (RawPair), with the clntudp_create stand-in preloaded into that JVM
  # alone. As with PairBench, a failure is written to rawpair.txt, it is not
  # run again, and the report falls back to the separate processes for its
  # two targets, saying why.
  raw_pair() {
    [ ! -s "$run/rawpair.txt" ] || return 0
    rm -f "$run/rawpair-samples.txt"
    if LD_PRELOAD=$bin/libbench_nsl_shim.so BENCH_SAMPLES=$run/rawpair-samples.txt "${java_cmd[@]}" \
      "${bridge_opts[@]}" -Dzelt.bench.dir="$bin" com.zelt.benchmarks.RawPair "$dir" "$bridge_scale" \
      >> "$run/bridge.log" 2> "$run/rawpair-run.log"; then
      cat "$run/rawpair-samples.txt" >> "$BENCH_SAMPLES"
    else
      why="RawPair stopped with status $? in round $r: $(grep -m 1 -E \
        '^Exception|^benchmark failed|^Error' "$run/rawpair-run.log" || tail -n 1 "$run/rawpair-run.log")"
      echo "bench.sh: raw libnsl not paired with get-all: $why" >&2
      echo "failed: $why" > "$run/rawpair.txt"
    fi
    rm -f "$run/rawpair-samples.txt"
  }
  if section bridge; then
    rm -f "$run/bridge.log"
    load "bridge, start"
    for ((r = 1; r <= rounds; r++)); do
      for client in raw layer; do
        for rows in 100 1000 10000; do
          n=$(awk -v n="$list_n" -v r="$rows" 'BEGIN { m = int(n * 20000 / r); print (m < n ? n : m) }')
          "$bin/${client}_nis_bench" list "bench$rows.$dir" "$rows" "$n" $((n / 10 + 1))
        done
        "$bin/${client}_nis_bench" lookup "bench100.$dir" $((list_n * 40)) 10
        "$bin/${client}_nis_bench" add "${client}scratch.$dir" bench_tbl $((list_n * 20))
      done >> "$run/bridge.log"
      bridge_bench
      pair_bench
      raw_pair
      "${java_cmd[@]}" -Xms512m -Xmx512m -XX:+AlwaysPreTouch -Dzelt.bench.dir="$bin" \
        com.zelt.benchmarks.JniStringFloor "$bridge_scale" >> "$run/bridge.log"
    done
    load "bridge, end"
  fi

  # 3. Resident size over time.
  if section memory; then
    rm -f "$run/memory.txt"
    mem_opts=(-Xms16m -Xmx16m -XX:+AlwaysPreTouch -XX:+UseSerialGC)
    load "memory, start"
    "${java_cmd[@]}" "${mem_opts[@]}" com.zelt.benchmarks.MemoryBench nisplus "bench100.$dir" \
      "$nis_cycles" 200 >> "$run/memory.txt"
    "${java_cmd[@]}" "${mem_opts[@]}" com.zelt.benchmarks.MemoryBench launch "$launch_cycles" 200 \
      >> "$run/memory.txt"
    load "memory, end"
  fi
  exit 0
fi

# --------------------------------------------------------------- outside ----
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
[ "$(id -u)" = 0 ] || { echo "bench.sh: must run as root (namespaces, nisplusd)" >&2; exit 2; }
build=${BUILD_DIR:-$root/build-bench}

# What the build, the sandbox and the plot need.
"$root/scripts/install-deps.sh" gnuplot-nox

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELT_BENCHMARKS=ON > /dev/null
cmake --build "$build" -j "$(nproc)" --target namestore cmdlauncher nisplusd nisplusctl \
  fork_floor raw_nis_bench layer_nis_bench bench_jni_strings bench_fork_shapes zelt_bench_classes

run=$build/benchmarks/run
# A whole run starts afresh; a single section replaces only its own files.
[ -n "$only" ] || rm -rf "$run"
mkdir -p "$run"

# RawPair's two libraries, built on their own: when they cannot be built the
# run goes on, and rawpair.txt tells the report why get-all is held against
# raw_nis_bench in processes of its own instead.
if [ -z "$only" ] || [ "$only" = bridge ]; then
  rm -f "$run/rawpair.txt"
  if ! cmake --build "$build" -j "$(nproc)" --target bench_raw_nis bench_nsl_shim > "$run/rawpair-build.log" 2>&1; then
    why=$(grep -m 1 -E 'error:|Error' "$run/rawpair-build.log" || tail -n 1 "$run/rawpair-build.log")
    echo "bench.sh: raw libnsl not paired with get-all: its libraries did not build: $why" >&2
    echo "failed: its libraries did not build: $why" > "$run/rawpair.txt"
  fi
fi

# The baseline libnamestore for the bridge section, from a worktree of its
# commit that is removed again once built, so the checkout stays as it was.
# baseline.txt tells the report which commit it was, or why it is missing.
base_lib=""
if [ -z "$only" ] || [ "$only" = bridge ]; then
  base_commit=${BENCH_BASELINE:-f66cc32}
  base_dir=$build/baseline base_src=$build/baseline-src base_log=""
  base_why=""
  if ! base_sha=$(git -C "$root" rev-parse --verify --quiet "$base_commit^{commit}"); then
    base_why="no commit $base_commit in this repository"
  elif [ "$(cat "$base_dir/commit" 2> /dev/null)" = "$base_sha" ] && [ -f "$base_dir/lib/libnamestore.so" ]; then
    echo "bench.sh: baseline libnamestore of $base_commit as built before, in $base_dir"
  else
    echo "bench.sh: building the baseline libnamestore of $base_commit in $base_dir"
    base_log=$run/baseline-build.log
    rm -rf "$base_dir"
    git -C "$root" worktree remove --force "$base_src" > /dev/null 2>&1 || rm -rf "$base_src"
    git -C "$root" worktree prune
    if { git -C "$root" worktree add --detach --quiet "$base_src" "$base_sha" &&
      cmake -S "$base_src" -B "$base_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
      cmake --build "$base_dir" -j "$(nproc)" --target namestore; } > "$base_log" 2>&1; then
      echo "$base_sha" > "$base_dir/commit"
    else
      base_why="its build failed: $(grep -m 1 -E 'error:|Error' "$base_log" || tail -n 1 "$base_log")"
    fi
    git -C "$root" worktree remove --force "$base_src" > /dev/null 2>&1 || rm -rf "$base_src"
    git -C "$root" worktree prune
  fi
  echo "commit: $(git -C "$root" rev-parse --short "$base_sha" 2> /dev/null || echo "$base_commit")" \
    > "$run/baseline.txt"
  if [ -n "$base_why" ]; then
    echo "bench.sh: baseline not measured: $base_why${base_log:+ (build log: $base_log)}" >&2
    echo "failed: $base_why" >> "$run/baseline.txt"
  else
    base_lib=$base_dir/lib
  fi
fi

# The tables: bench100, bench1000, bench10000 (8 columns, c0 searchable) and
# empty scratch tables for the add rates, in one new directory.
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
  echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "CPU: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | sed -n 1p), nproc $(nproc)"
  echo "memory: $(free -g | awk '/^Mem:/ {print $2}') GiB"
  echo "kernel: $(uname -sr)"
  virt=$(systemd-detect-virt 2> /dev/null || echo unknown)
  if grep -q ' pvm_' /proc/kallsyms 2> /dev/null; then
    virt="$virt; paravirtualised kernel (pvm_* symbols): page faults and page-table copies cost far more than on bare metal"
  fi
  echo "virtualisation: $virt"
  echo "JDK: $(java -version 2>&1 | sed -n 2p)"
  echo "libc: $(ldd --version | sed -n 1p)"
  echo "libnsl: $(dpkg-query -W -f='${Package} ${Version}' libnsl2 2> /dev/null || echo ?)"
  echo "build: $(git -C "$root" rev-parse --short HEAD 2> /dev/null || echo ?), CMAKE_BUILD_TYPE RelWithDebInfo"
} > "$run/machine.txt"

echo "bench.sh: running (results in $run)"
start=$(date +%s)
begun=$(date -u '+%Y-%m-%d %H:%M UTC')
NISPLUSD=$build/bin/nisplusd "$root/tests/sandbox/sandbox.sh" --domain "$domain" \
  --nisplus "$root/tests/nisplus/seed.nis" -- "$0" --inside "$run" "$build" "$quick" "$only" "$base_lib"
echo "run time: $(( $(date +%s) - start )) s" >> "$run/machine.txt"
# When, by what command and from what build each section last ran.
ran="$begun, \`$command\`, build $(git -C "$root" rev-parse --short HEAD 2> /dev/null || echo ?)"
for name in launch bridge memory; do
  if [ -z "$only" ] || [ "$only" = "$name" ]; then
    grep -v "^$name: " "$run/sections.txt" 2> /dev/null > "$run/sections.new" || true
    echo "$name: $ran" >> "$run/sections.new"
    mv "$run/sections.new" "$run/sections.txt"
  fi
done

java -cp "$build/benchmarks/classes" com.zelt.benchmarks.Report "$run" "$root/benchmarks/REPORT.md" \
  "$root/benchmarks/NOTES.md" "$command"
# The plot has a panel per section: it needs all of them.
missing=""
for name in launch bridge memory; do
  grep -q "^$name: " "$run/sections.txt" || missing+=" $name"
done
if [ -z "$missing" ]; then
  gnuplot -e "dir='$run'; out='$root/benchmarks/report.png'" "$root/benchmarks/report.gp"
  echo "bench.sh: wrote benchmarks/REPORT.md and benchmarks/report.png"
else
  echo "bench.sh: wrote benchmarks/REPORT.md; report.png left as it was (never run here:$missing)"
fi
