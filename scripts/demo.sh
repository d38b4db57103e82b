#!/usr/bin/env bash
# Sets up a fresh machine if needed, makes the bundled demo survey on first use,
# and runs aeroquilt on it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
if [ ! -f demo/survey/survey.cfg ]; then
  echo "making the demo survey in demo/survey"
  build/tools/make_survey demo/survey --dem
fi
set +e
build/aeroquilt demo/survey/survey.cfg
status=$?
set -e
if [ "$status" -ne 1 ]; then
  echo "aeroquilt stopped before the mosaic (exit status $status)" >&2
  exit 1
fi
echo
echo "Outputs are in demo/survey/out/:"
ls -1 demo/survey/out/
