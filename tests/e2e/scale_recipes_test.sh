#!/usr/bin/env bash
# The scale recipes for real: a tiled survey made by one process, then by GNU parallel
# with 3 jobs (scripts/run_parallel.sh) and by a 3-task Slurm job array on a one-node
# cluster started here (scripts/slurm/); every tile, side file and the link index must
# be byte-identical to the one process's. Skipped (status 77) only when the packages
# are not installed; a cluster that does not come up fails the test.
#   scale_recipes_test.sh AEROQUILT MAKE_SURVEY
set -euo pipefail
program=$1 make_survey=$2
cd "$(dirname "$0")/../.."
missing=()
for tool in parallel sbatch slurmctld slurmd munged; do command -v "$tool" >/dev/null || missing+=("$tool"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "SKIPPED: not installed: ${missing[*]} (scripts/setup.sh installs parallel, slurm-wlm, munge)"
  exit 77
fi
scratch=$(mktemp -d /tmp/aeroquilt-scale.XXXXXX)
cluster=$scratch/cluster
cleanup() {
  scripts/slurm/local_cluster_stop.sh "$cluster"
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

"$make_survey" "$scratch/survey" --small --dem --tile 40000 >/dev/null
config=$scratch/survey/survey.cfg
out=$scratch/survey/out
"$program" "$config" --batch >"$scratch/single.log" 2>&1 || [ $? -eq 1 ] || fail "single run: $(tail -3 "$scratch/single.log")"
mv "$out" "$scratch/single"
tiles=$(ls "$scratch/single"/*_*_*.png | wc -l)
[ "$tiles" -ge 4 ] || fail "the survey made $tiles tiles, want several"
grep -q NetworkLink "$scratch/single/mosaic_link.kml" || fail "no link in the single run's index"

echo "== GNU parallel, 3 jobs"
AEROQUILT=$program scripts/run_parallel.sh "$config" 3 >"$scratch/parallel.log" 2>&1 ||
  fail "run_parallel.sh: $(tail -5 "$scratch/parallel.log")"
# The range runs also leave the record of the grid they share.
grep -q "^pixel size " "$out/mosaic_grid.txt" || fail "no grid record beside the range runs' tiles"
diff -r -x mosaic_grid.txt "$scratch/single" "$out" || fail "GNU parallel's files differ from the single run's"
rm -rf "$out"

echo "== Slurm, 3-task array"
AQ_SLURMCTLD_PORT=$((20000 + $$ % 20000)) AQ_SLURMD_PORT=$((40001 + $$ % 20000)) \
  scripts/slurm/local_cluster_start.sh "$cluster"
export SLURM_CONF=$cluster/slurm.conf
mkdir -p "$scratch/slurm-logs"
AEROQUILT=$program AQ_SLURM_LOG_DIR=$scratch/slurm-logs timeout 300 \
  scripts/slurm/submit.sh --wait "$config" 3 || {
  tail -n 5 "$scratch"/slurm-logs/* >&2 || true
  fail "the Slurm jobs did not end well"
}
[ "$(ls "$scratch"/slurm-logs/aeroquilt-tiles-*.out | wc -l)" -eq 3 ] || fail "not 3 array tasks"
diff -r -x mosaic_grid.txt "$scratch/single" "$out" || fail "the Slurm array's files differ from the single run's"
echo "PASSED: $tiles tiles and the link index identical from GNU parallel and Slurm"
