#!/usr/bin/env bash
# Submits the part folders of PARTS_DIR (made by "vontal-cli split --into PARTS_DIR") as one Slurm
# job array, one task per part, and a merge job that runs when the whole array has ended:
#
#   scripts/cluster/submit.sh PARTS_DIR [sbatch options for the array, e.g. --time=2-00:00:00]
#
# PARTS_DIR must be on storage every node sees. The jobs run VONTAL_CLI (default: vontal-cli on
# the PATH, else build/bin/vontal-cli of this checkout). Submitting again is safe: finished parts
# end at once, unfinished ones continue where they stopped. Part N's output goes to
# PARTS_DIR/slurm/part-N.out (appended across requeues), the report to PARTS_DIR/merged.txt.
# Slurm takes array task numbers below its MaxArraySize (1001 unless configured otherwise).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "${1:?usage: submit.sh PARTS_DIR [sbatch options]}" && pwd)
shift
cli=${VONTAL_CLI:-$(command -v vontal-cli || echo "$here/../../build/bin/vontal-cli")}
[ -x "$cli" ] || { echo "submit.sh: no vontal-cli at '$cli' (set VONTAL_CLI)" >&2; exit 2; }
cli=$(realpath "$cli")
# The array's task numbers are the part numbers of the folders present.
# The array's task numbers are the part numbers of the folders present, as ranges ("1-6,8").
numbers=$(for marker in "$root"/*/VontalPart.ini; do
            if [ -f "$marker" ]; then sed -n 's/^Part=\([0-9]*\)\r*$/\1/p' "$marker"; fi
          done | sort -n | awk 'NR == 1 { first = last = $1; next }
                                $1 == last + 1 { last = $1; next }
                                { printf "%s%s,", first, (last > first ? "-" last : ""); first = last = $1 }
                                END { if (NR) printf "%s%s", first, (last > first ? "-" last : "") }')
count=$(find "$root" -mindepth 2 -maxdepth 2 -name VontalPart.ini | wc -l)
if [ -z "$numbers" ]; then
  echo "submit.sh: no part folders in $root (make them with vontal-cli split --into $root)" >&2
  exit 2
fi
mkdir -p "$root/slurm"
array=$(sbatch --parsable --array="$numbers" --output="$root/slurm/part-%a.out" \
          --export="ALL,VONTAL_CLI=$cli" "$@" "$here/vontal-array.sbatch" "$root")
array=${array%%;*}
merge=$(sbatch --parsable --dependency="afterany:$array" --output="$root/slurm/merge-%j.out" \
          --export="ALL,VONTAL_CLI=$cli" "$here/vontal-merge.sbatch" "$root")
merge=${merge%%;*}
echo "array job $array ($count parts), merge job $merge; report: $root/merged.txt"
