#!/usr/bin/env bash
# Times the first run of a survey the machine has not mapped before, then a second run of
# it, in each compositing mode: a CPU OpenCL runtime builds kernels for the launches it
# has not seen, which the benchmark's repeated runs never show. The colour survey (made
# by bench/run_bench.sh) is mapped at a pixel size no earlier run used, so every frame
# window is new to the kernel cache.
#   bench/first_run.sh [build-folder]                 (default build)
#   COLD=1 bench/first_run.sh     also with an empty kernel cache (a fresh machine)
#   PROGRAM=other/aeroquilt ...   times another build of the program
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
PROGRAM=${PROGRAM:-$BUILD/aeroquilt}
config=bench/data/colour/survey.cfg
[ -f "$config" ] || { echo "no $config: run bench/run_bench.sh first" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pixel_size=$(awk -v s="$(date +%N)" 'BEGIN { srand(s); printf "%.4f", 0.2 + rand() * 0.1 }')
# Seconds of one run; its exit status (1: mosaic written) is not the benchmark's.
seconds() { { /usr/bin/time -f %e "$@" 2>&1 >/dev/null || true; } | tail -1; }
for mode in 0 1 2; do
  sed -e "s/^output_pixel_size,.*/output_pixel_size,$pixel_size/" -e "/^composite_mode,/d" \
    "$config" >"$work/survey.cfg"
  echo "composite_mode,$mode" >>"$work/survey.cfg"
  first=$(seconds "$PROGRAM" "$work/survey.cfg" --batch)
  second=$(seconds "$PROGRAM" "$work/survey.cfg" --batch)
  line="mode $mode, pixel size $pixel_size: first run $first s, second $second s"
  if [ "${COLD:-0}" = 1 ]; then
    cold=$(POCL_CACHE_DIR="$work/kernel-cache-$mode" seconds "$PROGRAM" "$work/survey.cfg" --batch)
    line="$line, with an empty kernel cache $cold s"
  fi
  echo "$line"
done
