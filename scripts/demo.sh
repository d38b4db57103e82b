#!/usr/bin/env bash
# Sets up a fresh machine if needed, makes the bundled demo survey on first use,
# and runs aeroquilt on it.
#   scripts/demo.sh            the survey with its flight log and DEM file
#   scripts/demo.sh --prepare  the survey as a crew brings it: tagged frames with lens
#                              distortion, a GeoTIFF DEM in UTM and a lens calibration,
#                              made ready by aeroquilt prepare
#   scripts/demo.sh --live     the survey flown again: its frames and flight log replayed
#                              into demo/live/ at 4 frames a second while aeroquilt --live
#                              maps them; the tiles appear in demo/live/out/ as they come
set -euo pipefail
cd "$(dirname "$0")/.."

prepare=0 live=0
case "${1:-}" in
  "") ;;
  --prepare) prepare=1 ;;
  --live) live=1 ;;
  *) echo "usage: scripts/demo.sh [--prepare | --live]" >&2; exit 2 ;;
esac

# Only what the demo runs; the test command builds the rest.
AEROQUILT_BUILD_TARGETS="aeroquilt make_survey replay_survey" scripts/setup.sh
if [ "$live" -eq 1 ]; then
  if [ ! -f demo/survey/survey.cfg ]; then
    echo "making the demo survey in demo/survey"
    build/tools/make_survey demo/survey --dem
  fi
  rm -rf demo/live
  build/tools/replay_survey demo/survey demo/live --config-only \
    --set output_tile_size_pixels,40000 --set live_frame_wait_seconds,5
  echo "aeroquilt demo/live/live.cfg --live --idle-exit 5, while the flight is replayed"
  build/aeroquilt demo/live/live.cfg --live --idle-exit 5 &
  live_run=$!
  sleep 1
  build/tools/replay_survey demo/survey demo/live --rate 4 >/dev/null
  status=0
  wait "$live_run" || status=$?
  echo
  echo "Tiles and the KML index are in demo/live/out/ (status $status); open"
  echo "demo/live/out/mosaic_live.kml in Google Earth to watch a live run grow."
  ls -1 demo/live/out/
  exit 0
fi
if [ "$prepare" -eq 0 ]; then
  if [ ! -f demo/survey/survey.cfg ]; then
    echo "making the demo survey in demo/survey"
    build/tools/make_survey demo/survey --dem
  fi
  # The web map too: a page to open in any browser, offline.
  grep -q '^write_web_tiles,1' demo/survey/survey.cfg || echo "write_web_tiles,1" >> demo/survey/survey.cfg
  config=demo/survey/survey.cfg
else
  if [ ! -f demo/tagged/terrain_utm.tif ]; then
    echo "making the tagged demo survey in demo/tagged"
    build/tools/make_survey demo/tagged --dem --tagged --lens
  fi
  echo
  echo "aeroquilt prepare demo/tagged/images demo/tagged/terrain_utm.tif demo/prepared" \
       "--camera demo/tagged/camera.yaml"
  build/aeroquilt prepare demo/tagged/images demo/tagged/terrain_utm.tif demo/prepared \
    --camera demo/tagged/camera.yaml
  echo
  config=demo/prepared/survey.cfg
fi
set +e
build/aeroquilt "$config"
status=$?
set -e
if [ "$status" -ne 1 ]; then
  echo "aeroquilt stopped before the mosaic (exit status $status)" >&2
  exit 1
fi
out=$(dirname "$config")/out
echo
echo "Outputs are in $out/:"
ls -1 "$out/"
if [ -f "$out/web/index.html" ]; then
  echo
  echo "The web map: $(cd "$out/web" && pwd)/index.html"
fi
