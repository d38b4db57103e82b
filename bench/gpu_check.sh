#!/usr/bin/env bash
# The benchmark once on a machine with an NVIDIA GPU (prepared; not yet run anywhere):
# the colour survey with --batch, its stages (kernel time as a share of the staged run),
# the whole-run time and the first run of a survey new to the machine, on the GPU's OpenCL
# platform alone.
#   bench/gpu_check.sh [build-folder]      (as root on a fresh Debian machine)
# Needs the NVIDIA driver with its OpenCL library (libnvidia-opencl.so.1); installs the
# build's packages through scripts/setup.sh when the build folder has no program yet.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
[ -x "$BUILD/aeroquilt" ] && [ -x "$BUILD/bench/aq_bench" ] ||
  AEROQUILT_BUILD_DIR=$BUILD AEROQUILT_BUILD_TARGETS="aeroquilt aq_bench make_survey" scripts/setup.sh
# Only the GPU's platform: the program takes the first one it finds, which may be PoCL.
export OCL_ICD_FILENAMES=${OCL_ICD_FILENAMES:-libnvidia-opencl.so.1}
nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader || true
clinfo -l || true
"$BUILD/aeroquilt" --version
"$BUILD/bench/aq_bench" make bench/data/colour colour >/dev/null
config=bench/data/colour/survey.cfg
mosaic=bench/data/colour/out/mosaic.png
for r in 1 2 3; do
  /usr/bin/time -f "whole_run_seconds %e" -a -o /tmp/aq_gpu_times.txt "$BUILD/aeroquilt" "$config" --batch >/tmp/aq_gpu_run.log 2>&1 || true
done
grep -m1 -i "device\|platform" /tmp/aq_gpu_run.log || true
echo "whole runs (--batch), seconds: $(awk '{ print $2 }' /tmp/aq_gpu_times.txt | tr '\n' ' ')"
"$BUILD/bench/aq_bench" stages "$config" | tee /tmp/aq_gpu_stages.txt
awk '$1 == "kernel_seconds" { k = $2 } $1 == "staged_total_seconds" { t = $2 }
     END { printf "kernel share of the staged run: %.1f %% (%.3f of %.3f s)\n", 100 * k / t, k, t }' /tmp/aq_gpu_stages.txt
"$BUILD/bench/aq_bench" floor "$config" "$mosaic"
# The first run of a survey new to the machine: what the driver builds for it.
bench/first_run.sh "$BUILD"
rm -f /tmp/aq_gpu_times.txt
