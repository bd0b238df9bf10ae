#!/usr/bin/env bash
# One array task per part folder made by "vontal-cli split": array task i runs (or continues) part
# number i, the folder of PARTS_DIR whose VontalPart.ini says "Part=i". Submitted by submit.sh,
# which gives the array the numbers of the part folders present.
#
# Requeue-safe: vontal-cli is exec'd, so Slurm's SIGTERM (time limit, preemption, scancel,
# scontrol requeue) reaches it directly; it saves its position and ends with status 143. A
# requeued task runs this script again, and vontal-cli without --task continues the part's stored
# position; a finished part ends at once with "nothing to do".
#
#SBATCH --job-name=vontal
#SBATCH --cpus-per-task=1
#SBATCH --requeue
#SBATCH --open-mode=append
#SBATCH --signal=B:TERM@120
set -euo pipefail
root=${1:?usage: sbatch --array=NUMBERS vontal-array.sbatch PARTS_DIR}
cli=${VONTAL_CLI:-vontal-cli}
number=${SLURM_ARRAY_TASK_ID:?not an array task}
part=
for marker in "$root"/*/VontalPart.ini; do
  if [ "$(sed -n 's/^Part=\([0-9]*\)\r*$/\1/p' "$marker")" = "$number" ]; then part=$(dirname "$marker"); fi
done
if [ -z "$part" ]; then
  echo "vontal-array: no folder of part $number in $root" >&2
  exit 2
fi
echo "vontal-array: part $number, run $(( ${SLURM_RESTART_COUNT:-0} + 1 )), on $(hostname): $part"
# One core by default; more when the job was given more (--cpus-per-task).
exec "$cli" --dir "$part" --threads "${SLURM_CPUS_PER_TASK:-1}"
