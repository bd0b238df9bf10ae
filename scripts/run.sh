#!/usr/bin/env bash
# Sets up what is missing, builds, and starts the program: the window when there is a display.
# Without one, vontal-cli in the data folder, on the stored task or, when there is none yet, on a
# small example task; it shows what it finds and its progress, and then where the files are and
# how to start a real task. Arguments (such as --dir DIR) go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec build/bin/vontal "$@"
fi

cli=build/bin/vontal-cli
example="n=8 to 20, k=1 to 2000"
dir=$("$cli" --show-dir "$@")
echo "No display: searching without a window (vontal-cli). Data folder: $dir"
status=0
givenTask=false
for arg in "$@"; do [[ "$arg" == --task* ]] && givenTask=true; done
if [ -f "$dir/Vontal.ini" ] || $givenTask; then
  if $givenTask; then echo "The task given, then the follow-on tasks, if any (Ctrl+C stops and saves the position)."
  else echo "Taking up the stored task where it stopped, then the follow-on tasks, if any (Ctrl+C stops and saves the position)."
  fi
  "$cli" "$@" || status=$?
else
  echo "First run: the example task \"$example\", whose nine divisors are known."
  "$cli" "$@" --task "$example" || status=$?
fi

cat <<EOF

The files are in $dir:
  Result.txt   every divisor found
  Vontal.log   every finished exponent, with its check value
  Vontal.ini   the task, the position reached, and up to ten follow-on tasks
To search a range of your own (exponents n, odd multipliers k; 20e12 is 20 followed by 12 zeros):
  $cli --task "n=50 to 50, k=20e12 to 30e12"
Stopped (Ctrl+C, SIGTERM), it saves its position; run without --task, it continues there.
$cli --help tells more; with a display, bash scripts/run.sh opens the window.
EOF
exit "$status"
