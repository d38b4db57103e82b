#!/usr/bin/env bash
# Makes a tiled mosaic with GNU parallel: the tiles split into JOBS contiguous ranges,
# `aeroquilt CONFIG --batch --tiles FIRST-LAST` per range, JOBS at a time, then the link
# index from the tiles on disk (`--link-index`, which also makes the DEM image).
#   scripts/run_parallel.sh CONFIG JOBS
# AEROQUILT names the program (default: build/aeroquilt of this checkout when it exists,
# else aeroquilt on PATH). Options for GNU parallel itself go in its PARALLEL variable,
# e.g. PARALLEL="--sshloginfile nodes.txt --workdir /shared/survey" to run the ranges
# on other machines over ssh; they must see the images, DEM and output folder under the
# configuration's paths (a shared file system) and the program with its kernels/.
# Exit status: 0 when every range ran and the link index was written.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
config=${1:?usage: $0 CONFIG JOBS}
jobs=${2:?usage: $0 CONFIG JOBS}
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "JOBS must be a positive number, not $jobs" >&2; exit 2; }
command -v parallel >/dev/null || { echo "GNU parallel not found: apt-get install parallel" >&2; exit 2; }
program=${AEROQUILT:-}
if [ -z "$program" ]; then
  if [ -x "$here/../build/aeroquilt" ]; then program=$(cd "$here/../build" && pwd)/aeroquilt; else program=aeroquilt; fi
fi

count=$("$program" "$config" --list-tiles | head -n 1)
[[ $count =~ ^[0-9]+$ ]] || { echo "no tile list from $program $config --list-tiles" >&2; exit 2; }
per=$(((count + jobs - 1) / jobs))
ranges=()
for ((first = 0; first < count; first += per)); do
  last=$((first + per - 1))
  ((last < count)) || last=$((count - 1))
  ranges+=("$first-$last")
done
echo "$count tiles in ${#ranges[@]} ranges of up to $per, $jobs at a time"
# Status 1 (tiles written) and 0 (no image in the range) both mean the range is done.
printf -v run '%q %q --batch --tiles {}; test $? -le 1' "$program" "$config"
parallel --will-cite --jobs "$jobs" --halt now,fail=1 --line-buffer --tag "$run" ::: "${ranges[@]}"
status=0
"$program" "$config" --batch --link-index || status=$?
[ "$status" -eq 1 ] || { echo "the link index was not written (status $status)" >&2; exit 1; }
