#!/usr/bin/env bash
# Times whole runs and stages of aeroquilt on the benchmark surveys, the floor
# (decode every frame once, encode the mosaic once, with OpenCV) and a peer
# (GDAL: gdalwarp from 5 x 5 ground control points per frame into the same grid).
#
#   bench/run_bench.sh [build-folder]        (default build; run from anywhere)
#   REPEATS=5 VARIANTS="colour" PEER=0 PROGRAM=other/aeroquilt bench/run_bench.sh build-i
#   MODES="0 1 2" ...   also times whole runs (--batch) with each composite_mode: without
#                       maps, with the source and view-angle maps, and with the source map
#                       alone; and their peak memory
#
# The surveys are made once under bench/data/ (git-ignored): 160 JPEG frames of
# 1280 x 1024 ("colour") and 160 16-bit PNG thermal frames of 640 x 512
# ("thermal"). Reported times are medians of REPEATS runs; whole runs are
# `aeroquilt CONFIG --batch` (no fixed pauses, no preview). The PNG stage is timed
# alone on the finished mosaic: the library's single-threaded encoder (the run
# before the band encoder) and the band encoder on every core and on one.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${1:-build}
REPEATS=${REPEATS:-3}
VARIANTS=${VARIANTS:-"colour thermal"}
PEER=${PEER:-1}
BENCH=$BUILD/bench/aq_bench
PROGRAM=${PROGRAM:-$BUILD/aeroquilt}  # PROGRAM=... times another build of the program
for tool in "$BENCH" "$PROGRAM" /usr/bin/time; do
  [ -x "$tool" ] || { echo "missing $tool: build the targets aeroquilt and aq_bench" >&2; exit 2; }
done
if [ "$PEER" = 1 ] && ! command -v gdalwarp >/dev/null; then
  echo "gdalwarp not found (apt-get install gdal-bin), or run with PEER=0" >&2
  exit 2
fi

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# value of "key value" lines in a file
field() { awk -v k="$2" '$1 == k { print $2 }' "$1"; }
# median over the repeat files of one key
median_field() { local key=$1; shift; for f in "$@"; do field "$f" "$key"; done | median; }
seconds_of() { local start end; start=$(date +%s.%N); "$@" >/dev/null 2>&1 || true; end=$(date +%s.%N); awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }'; }
calc() { awk "BEGIN { printf \"%.4f\", $1 }"; }

echo "machine: $(nproc) cores, $(lscpu | awk -F: '/Model name/ { gsub(/^ +/, "", $2); print $2; exit }'), OpenCL: $(clinfo -l 2>/dev/null | awk '/Platform/ { sub(/.*Platform #[0-9]+: /, ""); print; exit }')"
echo "repeats: $REPEATS (medians)"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for variant in $VARIANTS; do
  data=bench/data/$variant
  config=$data/survey.cfg
  if [ ! -f "$config" ]; then
    echo "making the $variant survey under $data (once)"
  fi
  "$BENCH" make "$data" "$variant" > "$scratch/make.txt"  # also writes the peer's frame VRTs
  frames=$(field "$scratch/make.txt" frames)
  mosaic=$data/out/$(awk -F, '$1 == "output_filename" { print $2 }' "$config")

  echo
  echo "== $variant: $frames frames of $(field "$scratch/make.txt" frame_size)"
  for r in $(seq "$REPEATS"); do
    /usr/bin/time -f "%e %U %S %M" -o "$scratch/time.$r" "$PROGRAM" "$config" --batch >/dev/null 2>&1 || true
    # the last line: time reports the program's exit status (1 after a mosaic) first
    tail -n 1 "$scratch/time.$r" | awk '{ print $1 }' > "$scratch/process.$r"
    tail -n 1 "$scratch/time.$r" | awk '{ print $2 + $3 }' > "$scratch/cpu.$r"
    tail -n 1 "$scratch/time.$r" | awk '{ print $4 }' > "$scratch/rss.$r"
    "$BENCH" run "$config" > "$scratch/run.$r"
    "$BENCH" stages "$config" > "$scratch/stages.$r"
    "$BENCH" floor "$config" "$mosaic" > "$scratch/floor.$r"
    "$BENCH" hardfloor "$config" "$mosaic" > "$scratch/hardfloor.$r"
    "$BENCH" png "$mosaic" > "$scratch/png.$r"
  done
  process=$(cat "$scratch"/process.* | median)
  process_net=$process
  inproc=$(median_field run_seconds "$scratch"/run.*)
  floor=$(median_field floor_seconds "$scratch"/floor.*)
  images=$(field "$scratch/stages.1" images)
  megapixels=$(field "$scratch/stages.1" output_megapixels)
  width=$(field "$scratch/stages.1" output_width)
  height=$(field "$scratch/stages.1" output_height)

  printf "whole run (--batch)      %8.2f s, CPU %.2f s\n" \
    "$process" "$(cat "$scratch"/cpu.* | median)"
  printf "whole run (in process)   %8.2f s (pauses recorded, not slept)\n" "$inproc"
  printf "throughput               %8.1f images/s, %.1f output Mpx/s (%dx%d = %.1f Mpx)\n" \
    "$(calc "$images / $process_net")" "$(calc "$megapixels / $process_net")" "$width" "$height" "$megapixels"
  echo "stages, one at a time:"
  # decode: each frame read and corrected; kernel: its uploads and launches, waited for.
  for key in prepare view_setup decode kernel final_readback encode staged_total; do
    printf "  %-22s %8.3f s\n" "$key" "$(median_field "${key}_seconds" "$scratch"/stages.*)"
  done
  printf "  %-22s %8.1f Mpx\n" "kernel windows" "$(field "$scratch/stages.1" kernel_window_megapixels)"
  printf "floor                    %8.2f s (decode %.2f s, encode %.2f s)\n" "$floor" \
    "$(median_field floor_decode_seconds "$scratch"/floor.*)" "$(median_field floor_encode_seconds "$scratch"/floor.*)"
  printf "PNG stage                %8.2f s library (one thread), %.2f s bands (every core), %.2f s bands (one thread); %d / %d bytes\n" \
    "$(median_field png_library_seconds "$scratch"/png.*)" "$(median_field png_bands_seconds "$scratch"/png.*)" \
    "$(median_field png_bands_one_thread_seconds "$scratch"/png.*)" "$(field "$scratch/png.1" png_library_bytes)" \
    "$(field "$scratch/png.1" png_bands_bytes)"
  printf "PNG stage, CPU           %8.2f s library, %.2f s bands (every core), %.2f s bands (one thread)\n" \
    "$(median_field png_library_cpu_seconds "$scratch"/png.*)" "$(median_field png_bands_cpu_seconds "$scratch"/png.*)" \
    "$(median_field png_bands_one_thread_cpu_seconds "$scratch"/png.*)"
  printf "whole run / floor        %8.2f (target 1.3)\n" "$(calc "$process_net / $floor")"
  hard=$(median_field hard_floor_seconds "$scratch"/hardfloor.*)
  hard_all=$(median_field hard_floor_all_cores_seconds "$scratch"/hardfloor.*)
  printf "hard floor               %8.2f s one thread (libjpeg-turbo decode %.2f s of %d JPEG + %d other frames, ISA-L level 0 deflate %.2f s), %.2f s over %d cores\n" \
    "$hard" "$(median_field hard_floor_decode_seconds "$scratch"/hardfloor.*)" \
    "$(field "$scratch/hardfloor.1" hard_floor_jpeg_frames)" "$(field "$scratch/hardfloor.1" hard_floor_other_frames)" \
    "$(median_field hard_floor_deflate_seconds "$scratch"/hardfloor.*)" "$hard_all" "$(field "$scratch/hardfloor.1" hard_floor_cores)"
  printf "whole run / hard floor   %8.2f (all cores; target 4)\n" "$(calc "$process_net / $hard_all")"
  rss=$(cat "$scratch"/rss.* | median)
  printf "peak memory              %8.0f MiB, %.1f bytes per mosaic pixel\n" "$(calc "$rss / 1024")" \
    "$(calc "$rss * 1024 / ($megapixels * 1000000)")"

  # Compositing modes: the same configuration with composite_mode appended (later keys
  # win), the modes taken in turn within each repeat so that a change of load hits all.
  if [ -n "${MODES:-}" ]; then
    for mode in $MODES; do
      { cat "$config"; echo "composite_mode,$mode"; } > "$data/survey_mode$mode.cfg"
      { cat "$config"; echo "composite_mode,$mode"; echo "write_source_map,1"; echo "write_view_angle_map,1"; } \
        > "$data/survey_mode${mode}maps.cfg"
      { cat "$config"; echo "composite_mode,$mode"; echo "write_source_map,1"; } \
        > "$data/survey_mode${mode}source.cfg"
    done
    for r in $(seq "$REPEATS"); do
      for mode in $MODES; do
        for maps in "" maps source; do
          /usr/bin/time -f "%e %M" -o "$scratch/mode$mode$maps.$r" "$PROGRAM" "$data/survey_mode$mode$maps.cfg" --batch >/dev/null 2>&1 || true
          # The replaced files' pages and the journal settle here, not in the next run.
          sync
          sleep 1
        done
      done
    done
    first=""
    for mode in $MODES; do
      rm -f "$data/survey_mode$mode.cfg" "$data/survey_mode${mode}maps.cfg" "$data/survey_mode${mode}source.cfg"
      net=$(calc "$(for r in $(seq "$REPEATS"); do tail -n 1 "$scratch/mode$mode.$r" | awk '{ print $1 }'; done | median)")
      with_maps=$(calc "$(for r in $(seq "$REPEATS"); do tail -n 1 "$scratch/mode${mode}maps.$r" | awk '{ print $1 }'; done | median)")
      with_source=$(calc "$(for r in $(seq "$REPEATS"); do tail -n 1 "$scratch/mode${mode}source.$r" | awk '{ print $1 }'; done | median)")
      kib=$(for r in $(seq "$REPEATS"); do tail -n 1 "$scratch/mode$mode.$r" | awk '{ print $2 }'; done | median)
      kib_maps=$(for r in $(seq "$REPEATS"); do tail -n 1 "$scratch/mode${mode}maps.$r" | awk '{ print $2 }'; done | median)
      [ -z "$first" ] && first=$net
      printf "composite_mode %d         %8.2f s (%.3f x composite_mode %s), %.0f MiB (%.1f B/px); with maps %.2f s (%.3f x), %.0f MiB; source map alone %.2f s (%.3f x)\n" \
        "$mode" "$net" "$(calc "$net / $first")" "${MODES%% *}" "$(calc "$kib / 1024")" \
        "$(calc "$kib * 1024 / ($megapixels * 1000000)")" "$with_maps" "$(calc "$with_maps / $net")" "$(calc "$kib_maps / 1024")" \
        "$with_source" "$(calc "$with_source / $net")"
    done
  fi

  if [ "$PEER" = 1 ]; then
    lon_min=$(field "$scratch/stages.1" lon_min)
    lat_max=$(field "$scratch/stages.1" lat_max)
    lon_step=$(field "$scratch/stages.1" lon_per_pixel)
    lat_step=$(field "$scratch/stages.1" lat_per_pixel)
    te=$(awk -v x="$lon_min" -v y="$lat_max" -v dx="$lon_step" -v dy="$lat_step" -v w="$width" -v h="$height" \
      'BEGIN { printf "%.10f %.10f %.10f %.10f", x, y - h * dy, x + w * dx, y }')
    peer_out=$scratch/peer
    for r in $(seq "$REPEATS"); do
      rm -f "$peer_out".tif "$peer_out".png
      # shellcheck disable=SC2046,SC2086
      seconds_of gdalwarp -q -multi -wo NUM_THREADS=ALL_CPUS -tps -r bilinear -t_srs EPSG:4326 \
        -te $te -ts "$width" "$height" -dstalpha $(cat "$data/peer/frames.txt") "$peer_out.tif" \
        > "$scratch/peer_warp.$r"
      seconds_of gdal_translate -q -of PNG -co ZLEVEL=3 "$peer_out.tif" "$peer_out.png" \
        > "$scratch/peer_png.$r"
    done
    [ -s "$peer_out.png" ] || { echo "the peer made no mosaic: run its gdalwarp by hand to see why" >&2; exit 1; }
    peer_warp=$(cat "$scratch"/peer_warp.* | median)
    peer_png=$(cat "$scratch"/peer_png.* | median)
    printf "peer gdalwarp (GeoTIFF)  %8.2f s, then PNG %.2f s\n" "$peer_warp" "$peer_png"
    printf "our net run / peer       %8.3f (peer to GeoTIFF), %.3f (peer to PNG like ours)\n" \
      "$(calc "$process_net / $peer_warp")" "$(calc "$process_net / ($peer_warp + $peer_png)")"
    printf "peer / our net run       %8.2f (to GeoTIFF), %.2f (to PNG like ours; target 4)\n" \
      "$(calc "$peer_warp / $process_net")" "$(calc "($peer_warp + $peer_png) / $process_net")"
  fi
done
