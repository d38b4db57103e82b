#!/usr/bin/env bash
# Applies deliberate faults to a copy of the working tree, one at a time, and reports
# whether the test suite catches each.
#   scripts/mutants.sh               every mutant, full suite for each
#   scripts/mutants.sh NAME...       only the named mutants
#   scripts/mutants.sh --list        the mutants' names
#   MUTANT_FILTER=1 scripts/mutants.sh   run only each mutant's own tests (faster)
# The copy (tracked and untracked-but-not-ignored files) and its build live in
# build-mutants/; the working tree is never written. Exit status: 0 when every mutant
# was caught, 1 when one was missed or stale (its text not found exactly once, or it
# does not build), 2 when the unmutated copy fails its tests.
set -uo pipefail
cd "$(dirname "$0")/.."

# name | file | exact text | replacement | tests expected to catch it (ctest -R)
mutants=(
  "attitude_roll_sign|src/geometry/camera_model.cpp|return arma::mat{{1, 0, 0}, {0, c, -s}, {0, s, c}};|return arma::mat{{1, 0, 0}, {0, c, s}, {0, -s, c}};|camera_model|e2e/mosaic_truth"
  "footprint_corner_off_by_one|src/geometry/footprints.cpp|const double us[5] = {1, W, W, 1, 1};|const double us[5] = {0, W, W, 0, 0};|footprints"
  "view_window_east_edge|src/imaging/view_operation.cpp|window.c1 = c1 >= view.width ? view.width - 1 : static_cast<int>(c1);|window.c1 = c1 >= view.width ? view.width - 2 : static_cast<int>(c1);|view_operation"
  "kml_digits|src/output/output_files.cpp|format_value(\"%3.10f\", south)|format_value(\"%3.6f\", south)|dem_image|gis_outputs"
  "dem_row_order|src/terrain/dem_file.cpp|static_cast<float>(grid.row_count - (latitude - grid.south_latitude) / grid.cell_size)|static_cast<float>((latitude - grid.south_latitude) / grid.cell_size)|dem_file"
  "thermal_zero_celsius|src/imaging/radiometry.cpp|counts.convertTo(celsius_double, CV_64F, 0.04, -273.0);|counts.convertTo(celsius_double, CV_64F, 0.04, -273.15);|image_loading"
  "tile_overlap|src/app/mosaic_grid.h|constexpr int tile_overlap_pixels = 50;|constexpr int tile_overlap_pixels = 40;|e2e/mosaic_truth"
  "cache_slot_wrap|src/imaging/image_cache.cpp|if (next_slot_ >= slot_count_) next_slot_ = 0;|if (next_slot_ > slot_count_) next_slot_ = 0;|image_cache"
  "kernel_half_pixel|kernels/direct_registration.cl|*fx = p0 / p2 - 1.0f;|*fx = p0 / p2 - 0.5f;|projection_kernel"
  "utm_inverse_term|src/terrain/map_projection.cpp|phi1 - t * x2 / (2.0 * rho * nu) +|phi1 + t * x2 / (2.0 * rho * nu) +|map_projection"
  "world_file_digits|src/output/view_files.cpp|format_double(\"%1.10g\", value)|format_double(\"%1.6g\", value)|view_files|e2e/mosaic_truth"
  "flight_log_pitch_heading|src/geometry/flight_log.cpp|&record.pitch,    &record.heading,|&record.heading,  &record.pitch,|flight_log"
  "view_bounds_snapping|src/terrain/view_params.cpp|view.x_min -= std::remainder(view.x_min, p);|view.x_min -= std::fmod(view.x_min, p);|view_params"
  "vignette_coefficient|src/imaging/radiometry.cpp|0.308798699686044 * rho + 0.3 * rho * rho|0.308798699686044 * rho + 0.35 * rho * rho|image_loading|run_options"
  "projection_offset|src/imaging/radiometry.cpp|cv::add(image, cv::Scalar(1, 1, 1, 0), offset);|cv::add(image, cv::Scalar(2, 2, 2, 0), offset);|image_cache"
  "thermal_average_weight|src/imaging/radiometry.cpp|celsius, 1.0 / n, -mean_C / n|celsius, 0.5 / n, -mean_C / n|image_loading"
  "png_alpha|src/output/view_files.cpp|!= 0 ? 255 : 0;|!= 0 ? 255 : 255;|png_encoder"
  "png_band_alpha|src/output/png_encoder.cpp|!= 0 ? 255 : 0;|!= 0 ? 255 : 255;|e2e/"
  "dem_node_slope|src/terrain/dem_sampling.cpp|node.d_lon = (east - west) * 0.5f;|node.d_lon = (east - west) * 0.25f;|dem_sampling|projection_kernel"
  "focal_length_from_height|src/base/config.cpp|config.image_kx = config.image_width_pixels * config.camera_f|config.image_kx = config.image_height_pixels * config.camera_f|config"
  "latitude_beyond_pole|src/geometry/flight_log.cpp|std::fabs(record.latitude) <= 90.0|std::fabs(record.latitude) <= 100.0|e2e/bad_input"
  "sidecar_single_precision|src/app/view_output.cpp|make_local_frame(setting.ref_lat_deg, setting.ref_lon_deg)|make_local_frame(static_cast<float>(setting.ref_lat_deg), static_cast<float>(setting.ref_lon_deg))|gis_outputs"
  "kernel_record_offset|kernels/direct_registration.cl|#define VIEW_PIXEL_SIZE 33|#define VIEW_PIXEL_SIZE 34|kernel_layout|projection_kernel"
  "link_index_href|src/app/mosaic.cpp|linked.push_back(file_name(view.kml_path));|linked.push_back(file_name(view.kml_path) + \"x\");|e2e/bad_input"
  "tile_range_end|src/app/mosaic.cpp|const int64_t end = ranged ? static_cast<int64_t>(run.last_tile) + 1 : count;|const int64_t end = ranged ? static_cast<int64_t>(run.last_tile) : count;|e2e/scale_recipes"
  "png_band_adler|src/output/png_encoder.cpp|adler = adler32_combine(adler, band.adler, static_cast<z_off_t>(band.filtered_bytes));|adler = adler32_combine(adler, band.adler, static_cast<z_off_t>(band.filtered_bytes + 1));|png_encoder"
  "png_band_dictionary|src/output/png_encoder.cpp|isal_deflate_set_dict(&z, const_cast<uint8_t*>(input - window),|isal_deflate_set_dict(&z, const_cast<uint8_t*>(input - window + 1),|png_encoder"
  "lens_ideal_focal|src/app/image_set.cpp|camera.image_kx = job.loader.lens.ideal_focal_px();|camera.image_kx = request.camera.image_kx;|e2e/prepare"
  "staged_write_unchecked|src/output/checked_write.cpp|  if (!written) {|  if (false) {|checked_write|e2e/bad_input"
  "output_lock_always_shared|src/output/output_lock.cpp|mode == output_lock_mode::exclusive ? LOCK_EX : LOCK_SH|LOCK_SH|output_lock|e2e/bad_input"
  "fine_pixel_ratio|src/app/job_size.cpp|constexpr double kFinestPixelRatio = 20.0;|constexpr double kFinestPixelRatio = 200.0;|job_size|e2e/bad_input"
  "gimbal_pitch|src/prepare/frame_tags.cpp|tags.pitch_deg = pitch + 90.0;|tags.pitch_deg = pitch - 90.0;|e2e/prepare"
  "best_view_comparison|kernels/direct_registration.cl|!(key < score[i] |!(key > score[i] |e2e/compositing"
  "flat_best_view_comparison|kernels/direct_registration.cl|!(key < held |!(key > held |projection_kernel|e2e/compositing"
  "camera_topo_height|src/geometry/camera_model.cpp|geometry.altitude - config.topo_height|geometry.altitude|e2e/mosaic_truth"
  "claim_never_set|kernels/direct_registration.cl|    if (project_local_point(span_x(&s, col), s.y,|    if (false && project_local_point(span_x(&s, col), s.y,|projection_kernel|e2e/last_wins"
  "claimed_angle_scaled|kernels/direct_registration.cl|    score[i] = composite_score(x, y, z, rec);|    score[i] = composite_score(x, y, z, rec) * 1.5f;|e2e/compositing"
  "geometric_lost_frame|src/imaging/view_operation.cpp|        lost = true;|        lost = false;|e2e/compositing"
  "feather_gap_bound|kernels/direct_registration.cl|return lower - 1e-3f > limit * 1.0001f;|return lower > limit * 0.25f;|e2e/compositing"
  "read_ahead_waits_for_newer|src/imaging/image_cache.cpp|b.start < a.start)) channel = channel_B;|b.start > a.start)) channel = channel_B;|image_cache"
  "read_ahead_waits_for_queued|src/imaging/image_cache.cpp|if (find_slot(name) >= 0) return 2;  // ready or on its way|if (false) return 2;|image_cache"
  "footprint_lines_outward|src/imaging/composite.cpp|const double turn = area > 0 ? 1.0 : -1.0;|const double turn = area > 0 ? -1.0 : 1.0;|projection_kernel"
  "footprint_margin_inward|src/imaging/view_device.cpp|2.0 * view.pixel_size + 0.01|-2.0 * view.pixel_size|projection_kernel"
  "flat_slope_bound|kernels/direct_registration.cl|return 1.05f * M_SQRT2_F * (pixel_size|return 0.3f * M_SQRT2_F * (pixel_size|projection_kernel"
  "feather_band_sum_kept|src/imaging/view_device.cpp|  AQ_RETURN_IF_FAILED(gpu_.fill_buffer(sum_, zeros, sizeof(zeros), \"feather sum plane\"));|  // sum kept|projection_kernel"
  "feather_band_unblended|src/imaging/view_device.cpp|  AQ_RETURN_IF_FAILED(blend_band());|  // not blended|projection_kernel"
  "feather_band_counted_once|src/imaging/view_operation.cpp|const bool first_band = window.r0 >= lo;|const bool first_band = true;|projection_kernel"
  "overview_size_rounded_up|src/output/output_files.cpp|    width = std::max(1, width / 2);|    width = std::max(1, (width + 1) / 2);|output_files"
  "overview_levels_per_band|src/output/output_files.cpp|    if (GDALRegenerateOverviewsMultiBand(bands, sources.data(), static_cast<int>(sizes.size()),|    if (bands > 1 && GDALRegenerateOverviewsMultiBand(bands, sources.data(), static_cast<int>(sizes.size()),|output_files"
  "feather_best_angle_own_camera|kernels/direct_registration.cl|composite_angle(x, y, z, cameras + 3 * (size_t)best_line)|composite_angle(x, y, z, rec + COMP_CAMERA)|e2e/compositing"
  "feather_camera_table_shifted|src/imaging/view_device.cpp|      const std::size_t at = 3 * static_cast<std::size_t>(record_host_.source);|      const std::size_t at = 3 * static_cast<std::size_t>(record_host_.source + 1);|e2e/compositing"
  "flat_best_view_outside_frame|kernels/direct_registration.cl|      !inside_frame(fx, fy, image_width, image_height))|      false)|projection_kernel"
  "flat_sample_won_any_pixel|kernels/direct_registration.cl|    if (source[i] != own) continue;|    if (false) continue;|projection_kernel"
  "flat_feather_won_unsampled|kernels/direct_registration.cl|if ((flags & COMP_SAMPLE_WON) != 0 && image_point(x, y, 0.0f, view, &fx, &fy))|if ((flags & COMP_SAMPLE_WON) == 0 && image_point(x, y, 0.0f, view, &fx, &fy))|projection_kernel"
  "won_edge_without_feather|kernels/direct_registration.cl|const float widths = rec[COMP_FEATHER] + 2.0f;|const float widths = 2.0f;|projection_kernel"
  "edge_slopes_unwidened|src/imaging/composite.cpp|const double bound = 1.25 * step *|const double bound = 0.25 * step *|projection_kernel"
  "edge_slopes_at_nearest_corner|src/imaging/composite.cpp|const double depth = least > 0 ? least : -most;|const double depth = least > 0 ? most : -least;|projection_kernel"
  "kernel_file_offset_unchecked|src/imaging/kernel_catalogue.cpp|if (found->second * 4 != static_cast<long>(bytes))|if (found->second * 4 == -1)|kernel_layout|e2e/bad_input"
  "kernel_file_parameters_unchecked|src/imaging/kernel_catalogue.cpp|if (found->second != std::vector<std::string>(signature.arguments.begin(),|if (found->second.empty() && found->second != std::vector<std::string>(signature.arguments.begin(),|kernel_layout"
  "columns_far_ignores_edge|kernels/direct_registration.cl|if (!(score[i] < MAXFLOAT && slope < MAXFLOAT && b.z >= feather)) return false;|if (!(score[i] < MAXFLOAT && slope < MAXFLOAT)) return false;|projection_kernel|e2e/compositing"
  "columns_far_farthest_point|kernels/direct_registration.cl|const float dx = cx - clamp(cx, min(x0, x1), max(x0, x1)), dy = cy - s->y;|const float dx = cx - (fabs(cx - x0) > fabs(cx - x1) ? x0 : x1), dy = cy - s->y;|projection_kernel|e2e/compositing"
  "columns_far_last_score|kernels/direct_registration.cl|most_score = max(most_score, score[i]);|most_score = score[i];|projection_kernel|e2e/compositing"
  "flat_extras_any_pixel|kernels/direct_registration.cl|if (source[i] != line) continue;|if (source[i] == 0) continue;|projection_kernel"
  "footprint_columns_side_flipped|kernels/direct_registration.cl|const bool rising = (line[0] > 0.0f) ==|const bool rising = (line[0] < 0.0f) ==|projection_kernel"
  "row_span_offset_lost|kernels/direct_registration.cl|const long start = offset + ((long)get_global_id(1) - offset) * span;|const long start = (long)get_global_id(1) * span;|projection_kernel|e2e/compositing|e2e/last_wins"
  "launch_groups_skip_sizes|src/imaging/device_calls.cpp|group > 0 && done < rows; group /= 2)|group > 0 && done < rows; group /= 4)|projection_kernel"
  "fill_tail_skipped|src/imaging/gpu_context.cpp|  if (done == buffer.bytes) return {};|  if (done > 0) return {};|projection_kernel"
  "fill_pattern_misplaced|src/imaging/gpu_context.cpp|pattern)[i % pattern_bytes];|pattern)[(i + 1) % pattern_bytes];|projection_kernel|e2e/compositing"
  "angle_map_without_scores|src/imaging/view_device.h|!(claimed_source() && !options_.angle_map)|!claimed_source()|e2e/compositing"
  "source_map_alone_unclaimed|src/imaging/view_device.h|!(claimed_source() && !options_.angle_map)|!(!options_.angle_map)|e2e/last_wins|e2e/colour_balance"
  "won_bounds_last_column_lost|kernels/direct_registration.cl|      atomic_max(b + 3, col - 1);|      atomic_max(b + 3, col - 2);|projection_kernel|e2e/compositing"
  "won_bounds_first_row_lost|kernels/direct_registration.cl|      atomic_min(b, row);|      atomic_min(b, row + 1);|projection_kernel|e2e/compositing"
  "geometric_sample_skipped|kernels/direct_registration.cl|  if ((flags & COMP_SAMPLE_WON) != 0) {|  if ((flags & COMP_SAMPLE_WON) != 0 && false) {|e2e/compositing"
  "jpeg_channel_order|src/imaging/jpeg_frame.cpp|  info.out_color_space = JCS_EXT_BGR;|  info.out_color_space = JCS_EXT_RGB;|jpeg_frame"
  "jpeg_orientation_ignored|src/imaging/jpeg_frame.cpp|        if (value >= 2 && value <= 8) return true;|        if (value >= 7 && value <= 8) return true;|jpeg_frame"
  "png_engine_always_isal|src/output/png_encoder.cpp|  const deflater engine = isal_bytes * 100 <= zlib_bytes * 101 ? deflater::isal : deflater::zlib;|  const deflater engine = deflater::isal;|png_encoder"
  "png_zlib_dictionary|src/output/png_encoder.cpp|deflateSetDictionary(&z, input - window, static_cast<uInt>(window))|deflateSetDictionary(&z, input - window + 1, static_cast<uInt>(window))|png_encoder"
  "inner_lines_outward|src/imaging/composite.cpp|inner[3 * k + 2] = static_cast<float>(c - margin);|inner[3 * k + 2] = static_cast<float>(c + margin);|projection_kernel"
  "span_tile_column|kernels/direct_registration.cl|(float)(col + s->col_offset) * s->pixel_size|(float)col * s->pixel_size|e2e/web_map"
  "composite_tile_column|kernels/direct_registration.cl|(float)(col + as_int(rec[COMP_COL_OFFSET])) * pixel_size|(float)col * pixel_size|e2e/compositing"
  "frame_upload_unchecked|src/imaging/view_device.cpp|AQ_RETURN_IF_FAILED(gpu_.upload_frame(frame.data));|static_cast<void>(gpu_.upload_frame(frame.data));|e2e/bad_input"
  "failed_view_exits_finished|src/app/run_main.cpp|    if (mosaic.views_failed > 0) {|    if (mosaic.views_failed > 1) {|e2e/bad_input"
  "kernel_arguments_swapped|src/imaging/kernel_catalogue.cpp|\"best\", \"sum\", \"plane_row\", \"cameras\"|\"sum\", \"best\", \"plane_row\", \"cameras\"|kernel_layout"
  "tile_outputs_not_guarded|src/app/output_guard.cpp|if (file_name(output) == name) refuse_if_input(output, files);|if (false) refuse_if_input(output, files);|e2e/bad_input"
  "dem_grid_cell_not_float_exact|src/prepare/terrain_import.cpp|const double rounded = std::ceil(cell / spacing) * spacing;|const double rounded = cell;|e2e/prepare"
  "side_file_extension_anywhere|src/output/output_names.cpp|  return path.substr(0, extension_position + 1) + replacement;|  return path.substr(0, extension_position + 1) + replacement + path.substr(extension_position + 4 < path.size() ? extension_position + 4 : path.size());|output_names|e2e/bad_input"
  "flight_log_text_fields_read|src/geometry/flight_log.cpp|if (const int field = field_not_a_number(buffer, text)) {|if (const int field = 0 * field_not_a_number(buffer, text)) {|flight_log"
  "output_lock_follows_links|src/output/output_lock.cpp|O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW|O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC|e2e/bad_input"
)

name_of() { local name rest; IFS='|' read -r name rest <<<"$1"; echo "$name"; }

if [ "${1:-}" = "--list" ]; then
  for m in "${mutants[@]}"; do name_of "$m"; done
  exit 0
fi

work=build-mutants
tree=$work/src-copy
build=$work/build
jobs=${MUTANT_JOBS:-2}

# A fresh copy with the files' own times, so that the build stays incremental.
rm -rf "$tree"
mkdir -p "$tree"
git ls-files -co --exclude-standard -z |
  tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$tree" || exit 2
# Objects built from a mutant of an earlier run look newer than the copied sources.
for m in "${mutants[@]}"; do
  IFS='|' read -r _ file _ <<<"$m"
  touch "$tree/$file"
done

build_copy() { cmake --build "$build" -j"$jobs" >"$work/build.log" 2>&1; }
run_tests() { ctest --test-dir "$build" -j"$jobs" --stop-on-failure --timeout 600 "$@" >"$work/ctest.log" 2>&1; }

echo "building the unmutated copy in $build"
cmake -S "$tree" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$work/configure.log" 2>&1 || {
  echo "configure failed: $work/configure.log"; exit 2; }
build_copy || { echo "build failed: $work/build.log"; exit 2; }
if [ -z "${MUTANT_SKIP_BASELINE:-}" ]; then
  run_tests || { echo "the unmutated copy fails its tests: $work/ctest.log"; exit 2; }
fi

caught=0 missed=0 stale=0
for m in "${mutants[@]}"; do
  IFS='|' read -r name file text replacement filters <<<"$m"
  if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then continue; fi
  target="$tree/$file"
  backup="$work/original"
  cp -p "$target" "$backup"
  if ! python3 - "$target" "$text" "$replacement" <<'EOF'; then
import sys
path, text, replacement = sys.argv[1:]
source = open(path).read()
if source.count(text) != 1:
    sys.exit(1)
open(path, "w").write(source.replace(text, replacement))
EOF
    outcome="stale (text not found exactly once)"
    stale=$((stale + 1))
  elif ! build_copy; then
    outcome="stale (does not build)"
    stale=$((stale + 1))
  else
    args=()
    if [ -n "${MUTANT_FILTER:-}" ]; then args=(-R "$filters"); fi
    if run_tests "${args[@]}"; then
      outcome="MISSED"
      missed=$((missed + 1))
    else
      failed=$(grep -oE '[0-9]+ - [^ ]+ \(' "$work/ctest.log" | sed 's/^[0-9]* - //; s/ ($//' | paste -sd' ')
      outcome="caught by ${failed:-the suite}"
      caught=$((caught + 1))
    fi
  fi
  # Back to the original text (with a new time, so that the next build recompiles it).
  cp "$backup" "$target"
  touch "$target"
  printf '%-28s %-34s %s\n' "$name" "$file" "$outcome"
done

echo
echo "mutants: $((caught + missed + stale)), caught: $caught, missed: $missed, stale: $stale"
[ $((missed + stale)) -eq 0 ]
