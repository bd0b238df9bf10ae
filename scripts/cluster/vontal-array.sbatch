#!/usr/bin/env bash
# One array task per part folder made by "vontal-cli split": task i runs (or continues) the i-th
# part folder of PARTS_DIR, in name order. Submitted by submit.sh, which sets the array's size.
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
root=${1:?usage: sbatch --array=0-N vontal-array.sbatch PARTS_DIR}
cli=${VONTAL_CLI:-vontal-cli}
mapfile -t parts < <(find "$root" -mindepth 2 -maxdepth 2 -name VontalPart.ini -printf '%h\n' | LC_ALL=C sort)
index=${SLURM_ARRAY_TASK_ID:?not an array task}
if (( index >= ${#parts[@]} )); then
  echo "vontal-array: no part folder number $index in $root (${#parts[@]} found)" >&2
  exit 2
fi
part=${parts[$index]}
echo "vontal-array: task $index, run $(( ${SLURM_RESTART_COUNT:-0} + 1 )), on $(hostname): $part"
# One core by default; more when the job was given more (--cpus-per-task).
exec "$cli" --dir "$part" --threads "${SLURM_CPUS_PER_TASK:-1}"
