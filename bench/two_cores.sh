#!/usr/bin/env bash
# Two cores against one in whole vontal-cli runs of one task, for a machine whose cores may not
# run at the same speed (a virtual machine's often do not, and not always the same one): each
# round runs the task on one thread pinned to the first processor, then to the second (taskset),
# then on two threads, then on one thread unpinned, then twice at once, one one-thread run pinned
# to each processor. Two ideal cores of the two pinned speeds would take 1/(1/t0 + 1/t1); the
# efficiency is that over the two-thread time, and twice it is the ratio two equal cores would
# show. The two runs at once finish two tasks at the rate 1/s0 + 1/s1: what two busy cores of
# this machine give with nothing shared between them, so that the two threads' rate over it is
# what the program itself loses, and the rest is what the machine loses when both cores work.
#
#   bench/two_cores.sh [BUILD_DIR] "TASK" [ROUNDS]      e.g. "n=50 to 50, k=20000000000001 to 20004000000000"
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
task=${2:-n=50 to 50, k=20000000000001 to 20004000000000}
rounds=${3:-2}
cli=$build/bin/vontal-cli
[ -x "$cli" ] || { echo "build first: bash scripts/build.sh $build"; exit 1; }
command -v taskset >/dev/null || { echo "taskset (util-linux) is needed"; exit 1; }
export VONTAL_CPU_MHZ=${VONTAL_CPU_MHZ:-2400}  # skips the clock measurement

# The first two processors this process may use.
read -r cpu0 cpu1 < <(python3 -c 'import os; c = sorted(os.sched_getaffinity(0)); print(*c[:2])')
[ -n "${cpu1:-}" ] || { echo "fewer than two processors"; exit 1; }

# Wall time in seconds of one run: run THREADS [PREFIX...]
run() {
  local threads=$1; shift
  local dir start end
  dir=$(mktemp -d)
  printf '[f]\r\nPriority=-1\r\n' > "$dir/Vontal.ini"
  start=$(date +%s.%N)
  if ! "$@" "$cli" --dir "$dir" --task "$task" --threads "$threads" >"$dir/out" 2>&1; then
    echo "vontal-cli failed:" >&2
    cat "$dir/out" >&2
    rm -rf "$dir"
    return 1
  fi
  end=$(date +%s.%N)
  rm -rf "$dir"
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.2f", e - s }'
}

# Wall times of two one-thread runs started together, one pinned to each processor: "s0 s1".
run_separate() {
  local out0 out1 pid0 rc=0
  out0=$(mktemp)
  out1=$(mktemp)
  run 1 taskset -c "$cpu0" >"$out0" &
  pid0=$!
  run 1 taskset -c "$cpu1" >"$out1" || rc=1
  wait "$pid0" || rc=1
  [ "$rc" = 0 ] && echo "$(cat "$out0") $(cat "$out1")"
  rm -f "$out0" "$out1"
  return "$rc"
}

echo "task: $task"
for _ in $(seq "$rounds"); do
  t0=$(run 1 taskset -c "$cpu0")
  t1=$(run 1 taskset -c "$cpu1")
  t2=$(run 2)
  tu=$(run 1)
  sep=$(run_separate)
  read -r s0 s1 <<<"$sep"
  awk -v t0="$t0" -v t1="$t1" -v t2="$t2" -v tu="$tu" -v s0="$s0" -v s1="$s1" -v c0="$cpu0" -v c1="$cpu1" 'BEGIN {
    ideal = 1 / (1 / t0 + 1 / t1)
    printf "one thread on cpu %s / cpu %s / unpinned: %.2f / %.2f / %.2f s; two threads %.2f s: %.2fx the unpinned run; efficiency %.0f%% (%.2fx on equal cores); two separate runs at once %.2f / %.2f s: two threads %.0f%% of them\n",
           c0, c1, t0, t1, tu, t2, tu / t2, 100 * ideal / t2, 2 * ideal / t2, s0, s1, 100 * (1 / t2) / (1 / s0 + 1 / s1)
  }'
done
