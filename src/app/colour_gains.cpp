#include "app/colour_gains.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <vector>

#include "base/console.h"
#include "base/local_frame.h"
#include "imaging/colour_balance.h"
#include "imaging/colour_overlaps.h"

namespace aeroquilt {
namespace {

// The largest decoder reduction that leaves a frame 120 pixels wide or more: enough for
// the samples of a frame, a small part of a full decode.
int reduction_for(int frame_width) {
  int reduction = 8;
  while (reduction > 1 && frame_width / reduction < 120) reduction /= 2;
  return reduction;
}

// "min/median/max" of one channel's gains at the frames' centres.
std::string gain_spread(const std::vector<colour_gain>& gains, int channel) {
  std::vector<float> values;
  for (const colour_gain& g : gains) values.push_back(g.offset[channel]);
  std::sort(values.begin(), values.end());
  char text[64];
  std::snprintf(text, sizeof text, "%.3f/%.3f/%.3f", values.front(), values[values.size() / 2],
                values.back());
  return text;
}

std::vector<cv::Matx33d> view_terms(const std::vector<image_geometry>& geometries) {
  std::vector<cv::Matx33d> terms;
  for (const image_geometry& g : geometries) terms.push_back(view_direction_terms(g));
  return terms;
}

}  // namespace

void balance_frame_colours(mosaic_job& job, const mosaic_request& request) {
  const auto start = std::chrono::steady_clock::now();
  if (job.geometries.empty()) return;
  // Raw frames are measured as they will be drawn: with their vignette correction.
  if (request.vignette_multiplier > 0.0 && !job.loader.vignette_ready)
    build_vignette_table(job.loader, request.vignette_multiplier);

  ground_height_fn height = [](double, double) { return 0.0; };
  const local_frame frame = make_local_frame(job.images.centre_lat, job.images.centre_lon);
  if (request.views.use_dem) {
    height = [&](double x, double y) {
      double lat = 0, lon = 0;
      local_to_geographic(x, y, frame, lat, lon);
      const float h =
          dem_height_bicubic(job.dem, static_cast<float>(lat), static_cast<float>(lon), false);
      return h == out_of_dem_height ? std::numeric_limits<double>::quiet_NaN() : double(h);
    };
  }
  const int reduction = reduction_for(request.camera.image_width_pixels);
  const reduced_frame_fn read = [&](int index) {
    return job.loader.load_reduced(job.geometries[static_cast<std::size_t>(index)].path, reduction);
  };
  const sample_grid grid = ground_sample_grid(job.geometries);
  const overlap_sums sums = measure_overlaps(job.geometries, grid, height, read, job.loader.lens);
  const bool fields = request.colour_balance == colour_balance_fields;
  const std::vector<colour_gain> gains =
      fields ? solve_colour_fields(sums, view_terms(job.geometries)) : solve_colour_gains(sums);
  double samples = 0, slope = 0;
  for (std::size_t i = 0; i < gains.size(); ++i) {
    job.loader.colour_gains[job.geometries[i].path] = gains[i];
    samples += sums.count[i];
    for (int c = 0; c < 3; ++c)
      slope =
          std::max<double>(slope, std::fabs(gains[i].slope_x[c]) + std::fabs(gains[i].slope_y[c]));
  }
  char across[64] = "";
  if (fields)
    std::snprintf(across, sizeof across, ", at most %.3f more or less at a corner", slope);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  console_printf(
      "colour balance: %d frames, %.0f samples; gains min/median/max blue %s, green %s, red "
      "%s%s; %.2f s\n",
      static_cast<int>(gains.size()), samples, gain_spread(gains, 0).c_str(),
      gain_spread(gains, 1).c_str(), gain_spread(gains, 2).c_str(), across, seconds);
}

}  // namespace aeroquilt
