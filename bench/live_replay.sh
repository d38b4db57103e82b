#!/usr/bin/env bash
# The lag of a live run: the colour benchmark survey (160 JPEG frames of 1280 x 1024)
# replayed at FPS frames per second into an empty folder while `aeroquilt --live` maps
# it at 0.1 m pixels into tiles of 1024 x 1024 pixels. A frame's lag runs from the
# moment its line and its file are both complete to the moment the last tile it reaches
# is renamed into place.
#
#   bench/live_replay.sh FPS [build-folder]      (default build; run from anywhere)
#   FRAMES=40 ...                                 only the first 40 frames of the flight
#   EXTRA="composite_mode,1" ...                  configuration lines for the live run
#
# Prints p50, p95 and max of the lag, and whether it grows over the flight (the mean
# lag of the last quarter of the frames against the first: a backlog that grows). The
# replay's and the run's outputs are kept under bench/data/live/.
set -euo pipefail
cd "$(dirname "$0")/.."

FPS=${1:?usage: bench/live_replay.sh FPS [build-folder]}
BUILD=${2:-build}
BENCH=$BUILD/bench/aq_bench
PROGRAM=$BUILD/aeroquilt
REPLAY=$BUILD/tools/replay_survey
for tool in "$BENCH" "$PROGRAM" "$REPLAY"; do
  [ -x "$tool" ] || { echo "missing $tool: build the targets aeroquilt, aq_bench and replay_survey" >&2; exit 2; }
done

data=bench/data/colour
"$BENCH" make "$data" colour >/dev/null
survey=bench/data/live/survey
target=$(pwd)/bench/data/live/flight
rm -rf "$survey" "$target"
mkdir -p "$survey"
# The survey as it stands, cut to FRAMES frames when asked.
cp "$data/survey.cfg" "$survey/survey.cfg"
head -n "${FRAMES:-100000}" "$(awk -F, '$1 == "FPO_file" { print $2 }' "$data/survey.cfg")" \
  > "$survey/flight_log.txt"
sed -i "s|^FPO_file,.*|FPO_file,$(pwd)/$survey/flight_log.txt|" "$survey/survey.cfg"

settings=(--set output_pixel_size,0.1 --set output_tile_size_pixels,1048576
          --set live_frame_wait_seconds,30 --set allow_fine_pixel_size,1)
for line in ${EXTRA:-}; do settings+=(--set "$line"); done
"$REPLAY" "$survey" "$target" --config-only "${settings[@]}"

echo "machine: $(nproc) cores, OpenCL: $(clinfo -l 2>/dev/null | awk '/Platform/ { sub(/.*Platform #[0-9]+: /, ""); print; exit }')"
echo "replaying $(wc -l < "$survey/flight_log.txt") frames at $FPS frames/s"
"$PROGRAM" "$target/live.cfg" --live --batch --idle-exit 5 > "$target/live.log" 2>&1 &
live=$!
sleep 1
"$REPLAY" "$survey" "$target" --rate "$FPS" > "$target/replay.log"
status=0
wait "$live" || status=$?
[ "$status" -le 1 ] || echo "the live run ended with status $status (see $target/live.log)"

# complete NAME LINE T  and  live: frame PATH (line L) placed at T
awk '
  $1 == "complete" { done[$3] = $4; next }
  /^live: frame .* placed at / { line = $5; sub(/\)$/, "", line); placed[line] = $NF }
  END { for (l in done) if (l in placed) printf "%d %.3f\n", l, placed[l] - done[l] }
' "$target/replay.log" "$target/live.log" | sort -n > "$target/lag.txt"
placed=$(wc -l < "$target/lag.txt")
echo "frames placed: $placed of $(wc -l < "$target/replay.log")"
[ "$placed" -gt 0 ] || exit 1
cut -d' ' -f2 "$target/lag.txt" | sort -g | awk '
  { v[NR] = $1 }
  END {
    p50 = v[int((NR - 1) * 0.50) + 1]; p95 = v[int((NR - 1) * 0.95) + 1]
    printf "lag: p50 %.2f s, p95 %.2f s, max %.2f s\n", p50, p95, v[NR]
  }'
awk '
  { lag[NR] = $2 }
  END {
    q = int(NR / 4); if (q < 1) q = 1
    for (i = 1; i <= q; ++i) { first += lag[i]; last += lag[NR - q + i] }
    first /= q; last /= q
    printf "backlog: mean lag %.2f s over the first quarter, %.2f s over the last: %s\n", \
      first, last, (last > 2 * first + 0.5 ? "growing" : "bounded")
  }' "$target/lag.txt"
