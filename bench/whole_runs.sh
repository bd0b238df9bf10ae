#!/usr/bin/env bash
# Whole runs of vontal-cli, one exponent at a time, for every kernel variant this machine has
# (VONTAL_KERNEL), against whole runs of the plain GMP search (gmp_search) from the same first k,
# so that a slower path in the real program cannot hide behind a fast benchmark. Wall and CPU
# time include the start-up (the sieve's tables, the kernels' self-test).
#
#   bench/whole_runs.sh [BUILD_DIR] [SECONDS]     (default build, about 10 s a run)
#
# Each run gets a k range sized for about SECONDS at rates measured on the development machine;
# k per second is the range over the wall time. With THREADS=2 (or more) vontal-cli runs with
# --threads, and one run on one thread of the fastest variant comes before it, for the ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-10}
threads=${THREADS:-1}
cli=$build/bin/vontal-cli
gmp=$build/bin/gmp_search
[ -x "$cli" ] && [ -x "$gmp" ] || { echo "build first: bash scripts/build.sh $build"; exit 1; }
export VONTAL_CPU_MHZ=${VONTAL_CPU_MHZ:-2400}  # skips the clock measurement

# n, first k, and rough k per second of each variant (GMP last), to size the ranges.
tasks=(
  "50 20000000000001 6e8 1.8e8 1.5e8 1.5e8 5.8e7"
  "100 1000000000001 3.5e8 7.6e7 4e7 3.8e7 2.4e7"
  "200 100000000001 1.25e8 2.2e7 1.7e7 1.6e7 8.4e6"
  "1000 1000000001 2.7e6 2.5e5 2.5e5 2.5e5 1.4e5"
)
variants=(avx512ifma avx2 bmi2 portable)

# Runs "$@" and prints "wall user sys" in seconds; a run that fails prints its output to standard
# error and fails, so that its time is never taken for a rate.
timed() {
  local out log
  out=$(mktemp)
  log=$(mktemp)
  if ! /usr/bin/time -o "$out" -f "%e %U %S" "$@" >"$log" 2>&1; then
    echo "failed: $*" >&2
    cat "$log" >&2
    rm -f "$out" "$log"
    return 1
  fi
  tail -1 "$out"
  rm -f "$out" "$log"
}

rate_of() { awk -v span="$1" -v wall="$2" 'BEGIN { printf "%.3g", span / wall }'; }

printf "%-6s %-11s %8s %14s %9s %9s %12s %12s %8s\n" n kernel threads "k range" wall cpu "k/s" "GMP k/s" ratio
for task in "${tasks[@]}"; do
  read -r n first r_ifma r_avx2 r_bmi2 r_port r_gmp <<<"$task"
  declare -A rate=([avx512ifma]=$r_ifma [avx2]=$r_avx2 [bmi2]=$r_bmi2 [portable]=$r_port)
  gspan=$(awk -v r="$r_gmp" -v s="$seconds" 'BEGIN { printf "%.0f", r * s / 2 }')
  times=$(timed "$gmp" "n=$n to $n, k=$first to $((first + gspan))")
  read -r gwall gu gs <<<"$times"
  grate=$(rate_of "$gspan" "$gwall")
  for v in "${variants[@]}"; do
    span=$(awk -v r="${rate[$v]}" -v s="$seconds" -v t="$threads" 'BEGIN { printf "%.0f", r * s * t }')
    dir=$(mktemp -d)
    if ! VONTAL_KERNEL=$v "$cli" --dir "$dir" --task "n=8 to 8, k=1 to 3" >/dev/null 2>&1; then
      rm -rf "$dir"
      continue  # this machine cannot run the variant (the front end refuses it)
    fi
    rm -rf "$dir"; dir=$(mktemp -d)
    # At the process's own priority, not the program's default of idle, which anything else
    # running would starve.
    printf '[f]\r\nPriority=-1\r\n' > "$dir/Vontal.ini"
    times=$(VONTAL_KERNEL=$v timed "$cli" --dir "$dir" --threads "$threads" \
      --task "n=$n to $n, k=$first to $((first + span))")
    read -r wall u s <<<"$times"
    rm -rf "$dir"
    r=$(rate_of "$span" "$wall")
    printf "%-6s %-11s %8s %14s %9s %9s %12s %12s %7.2fx\n" "$n" "$v" "$threads" "$span" "$wall" \
      "$(awk -v a="$u" -v b="$s" 'BEGIN { print a + b }')" "$r" "$grate" "$(awk -v a="$r" -v b="$grate" 'BEGIN { print a / b }')"
  done
done
