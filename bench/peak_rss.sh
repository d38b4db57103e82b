#!/usr/bin/env bash
# Peak resident memory (/usr/bin/time -v) of tiled runs of the colour benchmark survey
# at two mosaic sizes: its 0.2 m pixels and 0.1 m (four times the pixels), both in
# tiles of 2000 x 2000 (output_tile_size_pixels 4000000), with --batch; and the whole
# 0.2 m mosaic as one image for comparison.
#   bench/peak_rss.sh [build-folder]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
"$BUILD/bench/aq_bench" make bench/data/colour colour >/dev/null
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
run() {  # label, pixel size, tile size
  local config=$scratch/$1.cfg
  { cat bench/data/colour/survey.cfg
    echo "output_pixel_size,$2"
    echo "output_tile_size_pixels,$3"
    echo "output_dir,$scratch/$1/"; } >"$config"
  /usr/bin/time -v -o "$scratch/$1.time" "$BUILD/aeroquilt" "$config" --batch >"$scratch/$1.log" 2>&1 || true
  local size peak seconds views
  size=$(awk '/Calculated projetion size/ { printf "%d x %d = %.1f Mpx", $5, $7, $5 * $7 / 1e6 }' "$scratch/$1.log")
  peak=$(awk -F: '/Maximum resident set size/ { printf "%.0f", $2 / 1024 }' "$scratch/$1.time")
  seconds=$(awk '/Elapsed \(wall clock\)/ { print $NF }' "$scratch/$1.time")
  views=$(ls "$scratch/$1" | grep -c '\.png$' || true)
  printf "%-22s %s, %d image file(s): peak RSS %s MiB, wall %s\n" "$1" "$size" "$views" "$peak" "$seconds"
  rm -rf "${scratch:?}/$1"
}
run tiled_0.2m 0.2 4000000
run tiled_0.1m 0.1 4000000
run whole_0.2m 0.2 0
