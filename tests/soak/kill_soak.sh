#!/usr/bin/env bash
# Soak test of vontal-cli against crashes and stops (not part of CI; run by hand):
#
#   tests/soak/kill_soak.sh [SECONDS]          (default 3600, or VONTAL_SOAK_SECONDS)
#
# Runs one task without interruption for reference, then runs it again and again in fresh
# directories until the time is up, each time stopping it with SIGTERM or killing it with
# SIGKILL at random moments and continuing it (without --task) until it completes. Every
# completed run must hold the reference's divisors (a record written again only right after
# itself or the few before it, by a run killed before it saved the position past them) and the
# reference's end-of-exponent records with their check values. Prints a summary and exits 0 on
# PASS, 1 on FAIL.
#
# VONTAL_SOAK_TASK overrides the task (by default one sized so that the reference takes about a
# fifteenth of the time); VONTAL_CLI the program (default build/bin/vontal-cli);
# VONTAL_SOAK_PRIORITY the settings key Priority (default 3, normal: an idle search on a busy
# machine would hardly move); VONTAL_SOAK_KEEP=1 keeps the work directory.
set -uo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-${VONTAL_SOAK_SECONDS:-3600}}
cli=${VONTAL_CLI:-build/bin/vontal-cli}
priority=${VONTAL_SOAK_PRIORITY:-3}
[ -x "$cli" ] || { echo "no $cli: build first (bash scripts/build.sh build)"; exit 1; }
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
# About 4.5e8 k per second of reference run on one core of the development machine at n = 21..30.
task=${VONTAL_SOAK_TASK:-"n=21 to 30, k=1 to $(( (seconds > 180 ? seconds : 180) * 1500000 ))"}
export VONTAL_CPU_MHZ=${VONTAL_CPU_MHZ:-2400}

work=$(mktemp -d /tmp/vontal-soak.XXXXXX)
[ "${VONTAL_SOAK_KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT
started=$(date +%s)
now() { echo $(( $(date +%s) - started )); }

# The divisors of a file, one "k.2^n+1 divides F_m" a line, in file order.
divisors() { grep -ao '[0-9]*\.2^[0-9]*+1 divides F_[0-9]*' "$1" || true; }
# The end-of-exponent records of a log, each with the exponent of the header before it.
end_records() {
  tr '\r' '\n' < "$1" | awk '
    /^n=[0-9]+  k from/ { split($1, a, "="); n = a[2] }
    / up to .*, CODO=/ { r = $0; sub(/^.* up to /, " up to ", r); sub(/, Date\/Time:.*/, "", r); print "n=" n r }'
}
# Checks a run's divisors against the reference: records written again go back over the last
# few records only (at most 4), none is skipped. Prints the number of repeats; fails otherwise.
check_divisors() {  # reference got
  awk -v reach=4 '
    NR == FNR { ref[++count] = $0; next }
    {
      if (next_ < count && $0 == ref[next_ + 1]) { ++next_; next }
      back = 0
      for (b = 1; b <= reach && b <= next_; ++b) if (ref[next_ - b + 1] == $0) { back = b; break }
      if (back == 0) { bad = 1; exit }
      next_ = next_ - back + 1; ++repeats
    }
    END { if (bad || next_ != count) exit 1; print repeats + 0 }' "$1" "$2"
}

echo "soak: task \"$task\", $seconds s, work directory $work"
ref=$work/reference
mkdir -p "$ref"
printf '[f]\r\nPriority=%s\r\n' "$priority" > "$ref/Vontal.ini"
t0=$(date +%s%N)
"$cli" --dir "$ref" --task "$task" > /dev/null 2> "$ref/err" || { cat "$ref/err"; echo "FAIL: the reference run failed"; exit 1; }
ref_ms=$(( ($(date +%s%N) - t0) / 1000000 ))
divisors "$ref/Result.txt" > "$work/ref.divisors"
end_records "$ref/Vontal.log" > "$work/ref.ends"
echo "reference: $(wc -l < "$work/ref.divisors") divisors, $(wc -l < "$work/ref.ends") exponents, $((ref_ms / 1000)).$((ref_ms % 1000 / 100)) s"

rounds=0 kills=0 stops=0 repeats_total=0 divisors_total=0 failures=0
# Lives last from nothing to twice a fortieth of the reference: some forty interruptions a round.
mean_ms=$(( ref_ms / 40 > 20 ? ref_ms / 40 : 20 ))
while [ "$(now)" -lt "$seconds" ]; do
  rounds=$((rounds + 1))
  d=$work/round$rounds
  mkdir -p "$d"
  printf '[f]\r\nPriority=%s\r\n' "$priority" > "$d/Vontal.ini"
  args=(--task "$task")
  begun=0 round_kills=0 round_stops=0 status=1
  while :; do
    "$cli" --dir "$d" --save-every 1 "${args[@]}" >> "$d/out" 2> "$d/err" &
    pid=$!
    delay_ms=$(( (RANDOM * 32768 + RANDOM) % (2 * mean_ms) ))
    sleep "$((delay_ms / 1000)).$(printf %03d $((delay_ms % 1000)))"
    if (( RANDOM % 10 < 7 )); then signal=KILL; else signal=TERM; fi
    kill -s "$signal" "$pid" 2> /dev/null
    wait "$pid" 2> /dev/null  # (not the shell's own report of the kill)
    status=$?
    [ "$status" -eq 0 ] && break
    if [ "$status" -eq 137 ]; then
      round_kills=$((round_kills + 1))
    elif [ "$status" -eq 143 ] && grep -q "position saved" "$d/err"; then
      round_stops=$((round_stops + 1))
    elif [ "$status" -eq 143 ] && [ ! -s "$d/err" ]; then
      round_kills=$((round_kills + 1))  # SIGTERM before the program had set its handler: as a kill
    else
      echo "round $rounds: exit status $status"; cat "$d/err"; failures=$((failures + 1)); break
    fi
    grep -aq '^nMax=' "$d/Vontal.ini" && begun=1
    if [ "$begun" = 1 ]; then
      for key in nTemp nMax kMin kMax KTemp; do
        grep -aq "^$key=[^[:space:]]" "$d/Vontal.ini" || {
          echo "round $rounds: $key missing after an interruption"; failures=$((failures + 1)); break 2; }
      done
      args=()
    fi
    # A round that outlives the soak by far is cut short (its records are not compared).
    [ "$(now)" -gt $((seconds + 4 * ref_ms / 1000 + 60)) ] && { status=2; break; }
  done
  kills=$((kills + round_kills)) stops=$((stops + round_stops))
  [ "$status" -eq 2 ] && { rounds=$((rounds - 1)); break; }
  [ "$status" -eq 0 ] || continue
  divisors "$d/Result.txt" > "$d/divisors"
  divisors_total=$((divisors_total + $(sort -u "$d/divisors" | wc -l)))
  if ! repeats=$(check_divisors "$work/ref.divisors" "$d/divisors"); then
    echo "round $rounds: Result.txt differs from the reference"; failures=$((failures + 1)); continue
  fi
  if ! check_divisors "$work/ref.divisors" <(divisors "$d/Vontal.log") > /dev/null; then
    echo "round $rounds: the log's divisors differ from the reference"; failures=$((failures + 1)); continue
  fi
  if ! diff <(end_records "$d/Vontal.log") "$work/ref.ends" > "$d/ends.diff"; then
    echo "round $rounds: end-of-exponent records differ:"; cat "$d/ends.diff"; failures=$((failures + 1)); continue
  fi
  if ls -a "$d" | grep -q '\.tmp$'; then
    echo "round $rounds: temporary files left behind"; failures=$((failures + 1)); continue
  fi
  repeats_total=$((repeats_total + repeats))
  echo "round $rounds: $round_kills kills, $round_stops stops, $repeats records written again, ok ($(now) s)"
  [ "${VONTAL_SOAK_KEEP:-0}" = 1 ] || rm -rf "$d"
done

result=PASS
[ "$failures" -eq 0 ] && [ "$rounds" -gt 0 ] || result=FAIL
echo "summary: $rounds rounds, $kills kills, $stops stops, $divisors_total divisors found," \
     "$repeats_total records written again, $failures failures, $(now) s: $result"
[ "$result" = PASS ]
