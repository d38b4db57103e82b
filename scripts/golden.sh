#!/usr/bin/env bash
# Runs one build of aeroquilt over a fixed set of synthetic surveys and keeps every
# output file and the console output of each run, so that two builds can be compared
# byte for byte (a refactoring must not change either).
#   scripts/golden.sh BUILD_DIR RESULT_DIR     run BUILD_DIR/aeroquilt, keep results
#   scripts/golden.sh --compare RESULT_A RESULT_B
# PNG files whose bytes differ are compared by their decoded pixels (GDAL's
# gdal_translate), since the band encoder of mosaic views (png_encode_threads other
# than 1, the default) writes other bytes than the library encoder for the same pixels.
# The surveys are made once under build-golden/surveys by BUILD_DIR/tools/make_survey
# and shared by every build, so that paths in the console output agree.
set -euo pipefail
cd "$(dirname "$0")/.."

# Whether the loader threads had an image ready in time is not the run's output.
timing_free() { grep -v -e '^waiting for image to cache ' -e '^image cache timeout ' -e '^image not in cache ' "$1"; }

if [ "${1:-}" = "--compare" ]; then
  a=$2 b=$3 status=0
  decoded=$(mktemp -d)
  trap 'rm -rf "$decoded"' EXIT
  # Pixels of a PNG as raw bytes, for cmp.
  pixels() { gdal_translate -q -of ENVI "$1" "$decoded/$2.raw" >/dev/null && echo "$decoded/$2.raw"; }
  while IFS= read -r line; do
    if [[ $line =~ ^Files\ (.*\.(png|PNG))\ and\ (.*)\ differ$ ]]; then
      file_a=${BASH_REMATCH[1]} file_b=${BASH_REMATCH[3]}
      if cmp -s "$(pixels "$file_a" a)" "$(pixels "$file_b" b)"; then
        echo "same pixels, other bytes: $file_a $file_b"
        continue
      fi
    fi
    echo "$line"
    status=1
  done < <(diff -rq -x '*.log' -x '*.aux.xml' "$a" "$b")
  for log in "$a"/*.log; do
    name=$(basename "$log")
    if ! diff <(timing_free "$log") <(timing_free "$b/$name") >/dev/null; then
      echo "console output differs: $name" >&2
      diff <(timing_free "$log") <(timing_free "$b/$name") | head -20 >&2
      status=1
    fi
  done
  [ $status -eq 0 ] && echo "identical: $a $b" || echo "outputs differ: $a $b" >&2
  exit $status
fi
build=${1:?usage: $0 BUILD_DIR RESULT_DIR | --compare A B}
result=${2:?usage: $0 BUILD_DIR RESULT_DIR | --compare A B}
surveys=build-golden/surveys
mkdir -p "$surveys"
rm -rf "$result"
mkdir -p "$result"

# name | make_survey options | extra configuration lines (";"-separated)
# (No running average of thermal frames: it takes each frame as the loader threads
# finish it, so its result depends on their timing.)
cases=(
  "flat|--small|"
  "dem|--small --dem|"
  "tiles|--small --dem --tile 40000|"
  "thermal|--small --thermal|"
  "jet|--small --thermal --jet|"
  "raw|--small --raw|vingette_removal_multiplier,0.5"
  "jpeg_utm|--small --jpeg --utm|output_filename,mosaic.jpg"
  "tiff_tiles|--small --tile 40000|output_filename,mosaic.tif"
  "subview|--small|project_subview_only,1;subview_min_lon,9.1995;subview_max_lon,9.2010;subview_min_lat,45.2995;subview_max_lat,45.3010"
  "dem_image|--small --dem|generate_DEM_image,1;output_DEM_filename,dem.png"
  "best_view_tiles|--small --dem --tilt 8 --tile 40000|composite_mode,1;write_source_map,1;write_view_angle_map,1"
  "feathered|--small --dem --tilt 8|composite_mode,2;seam_feather_pixels,6;write_source_map,1"
  "feathered_flat|--small --tilt 8 --frame 640x480|composite_mode,2;seam_feather_pixels,6;write_view_angle_map,1"
  "last_wins_maps|--small --dem --tile 40000|write_source_map,1;write_view_angle_map,1"
  "subview_best|--small --tile 40000|composite_mode,1;project_subview_only,1;subview_min_lon,9.1995;subview_max_lon,9.2010;subview_min_lat,45.2995;subview_max_lat,45.3010"
)
for entry in "${cases[@]}"; do
  IFS='|' read -r name options extra <<<"$entry"
  survey="$surveys/$name"
  if [ ! -f "$survey/survey.cfg" ]; then
    # shellcheck disable=SC2086
    "$build/tools/make_survey" "$survey" $options >/dev/null
    if [ -n "$extra" ]; then tr ';' '\n' <<<"$extra" >>"$survey/survey.cfg"; fi
  fi
  rm -rf "$survey/out"
  set +e
  env -u DISPLAY -u WAYLAND_DISPLAY "$build/aeroquilt" "$survey/survey.cfg" >"$result/$name.log" 2>&1
  echo "exit status $?" >>"$result/$name.log"
  set -e
  if [ -d "$survey/out" ]; then mv "$survey/out" "$result/$name"; fi
  echo "$name: $(tail -1 "$result/$name.log")"
done
