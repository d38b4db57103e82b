#!/usr/bin/env bash
# Sets up a fresh machine if needed, makes the bundled demo survey on first use,
# and runs aeroquilt on it.
#   scripts/demo.sh            the survey with its flight log and DEM file
#   scripts/demo.sh --prepare  the survey as a crew brings it: tagged frames with lens
#                              distortion, a GeoTIFF DEM in UTM and a lens calibration,
#                              made ready by aeroquilt prepare
set -euo pipefail
cd "$(dirname "$0")/.."

prepare=0
case "${1:-}" in
  "") ;;
  --prepare) prepare=1 ;;
  *) echo "usage: scripts/demo.sh [--prepare]" >&2; exit 2 ;;
esac

scripts/setup.sh
if [ "$prepare" -eq 0 ]; then
  if [ ! -f demo/survey/survey.cfg ]; then
    echo "making the demo survey in demo/survey"
    build/tools/make_survey demo/survey --dem
  fi
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
