#!/usr/bin/env bash
# Submits a tiled mosaic to Slurm: a job array of TASKS tasks over the tiles
# (aeroquilt_tiles.sbatch), then the link index as a job that runs when every task
# has ended well (afterok; it is cancelled if one failed).
#   scripts/slurm/submit.sh [--wait] CONFIG TASKS [SBATCH_OPTION...]
# --wait returns when the link index job has ended, with its status (0 when the
# mosaic is complete). SBATCH_OPTIONs (partition, account, time, ...) go to both jobs.
# AEROQUILT names the program (default: build/aeroquilt of this checkout when it exists,
# else aeroquilt on PATH); the jobs run in the current folder. The tile count comes
# from `aeroquilt CONFIG --list-tiles`, run here.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
wait_flag=()
if [ "${1:-}" = "--wait" ]; then
  wait_flag=(--wait)
  shift
fi
config=${1:?usage: $0 [--wait] CONFIG TASKS [SBATCH_OPTION...]}
tasks=${2:?usage: $0 [--wait] CONFIG TASKS [SBATCH_OPTION...]}
shift 2
[[ $tasks =~ ^[1-9][0-9]*$ ]] || { echo "TASKS must be a positive number, not $tasks" >&2; exit 2; }
if [ -z "${AEROQUILT:-}" ]; then
  if [ -x "$here/../../build/aeroquilt" ]; then AEROQUILT=$(cd "$here/../../build" && pwd)/aeroquilt; else AEROQUILT=aeroquilt; fi
fi
export AEROQUILT
config=$(cd "$(dirname "$config")" && pwd)/$(basename "$config")

count=$("$AEROQUILT" "$config" --list-tiles | head -n 1)
[[ $count =~ ^[0-9]+$ ]] || { echo "no tile list from $AEROQUILT $config --list-tiles" >&2; exit 2; }
((tasks > count)) && tasks=$count
log=${AQ_SLURM_LOG_DIR:-.}
tiles_job=$(sbatch --parsable --chdir "$PWD" --array="0-$((tasks - 1))" \
  --output="$log/aeroquilt-tiles-%A_%a.out" "$@" "$here/aeroquilt_tiles.sbatch" "$config" "$count")
tiles_job=${tiles_job%%;*}
echo "tiles: job $tiles_job, $tasks tasks over $count tiles"
printf -v index_command '%q %q --batch --link-index; test $? -eq 1' "$AEROQUILT" "$config"
index_job=$(sbatch --parsable --chdir "$PWD" --job-name=aeroquilt-index \
  --dependency="afterok:$tiles_job" --kill-on-invalid-dep=yes \
  --output="$log/aeroquilt-index-%j.out" "${wait_flag[@]}" "$@" --wrap "$index_command")
echo "link index: job ${index_job%%;*}, after job $tiles_job"
