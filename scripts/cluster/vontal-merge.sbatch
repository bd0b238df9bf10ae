#!/usr/bin/env bash
# Merges the part folders of PARTS_DIR into PARTS_DIR/merged.txt. submit.sh runs it after the
# whole array (afterany: also when some tasks failed, so that the report names what is missing).
# Exit status 0 when the task is complete, 1 while gaps remain, 2 when a part is refused.
#
#SBATCH --job-name=vontal-merge
#SBATCH --cpus-per-task=1
set -euo pipefail
root=${1:?usage: sbatch vontal-merge.sbatch PARTS_DIR}
exec "${VONTAL_CLI:-vontal-cli}" merge --out "$root/merged.txt" "$root"
