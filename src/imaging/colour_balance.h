#pragma once
// Colour balancing of a survey's frames, solved by least squares from the colours the
// frames show of the same ground where they overlap, so that differences of exposure and
// of view-angle brightness leave no step at the seams: one gain per frame and channel, or
// a gain field (a gain and its slopes across the frame) per frame and channel.

#include <armadillo>
#include <array>
#include <map>
#include <opencv2/core.hpp>
#include <utility>
#include <vector>

#include "geometry/camera_model.h"

namespace aeroquilt {

// One frame's colour gain at frame position (x, y): offset + slope_x x + slope_y y, per
// channel (blue, green, red); x and y run from -1 at the first column and row to 1 at the
// last (frame_position). A plain gain has no slopes.
struct colour_gain {
  cv::Vec3f offset{1, 1, 1};
  cv::Vec3f slope_x{0, 0, 0}, slope_y{0, 0, 0};
};

// Zero-based pixel `pixel` of a frame `size` pixels across as a position from -1 to 1.
inline double frame_position(double pixel, int size) { return (2.0 * pixel + 1.0) / size - 1.0; }

// One frame's colour at a ground sample, and where in the frame it lies (frame_position).
struct frame_sample {
  int frame = 0;
  cv::Vec3f bgr;
  float x = 0, y = 0;
};

// What two frames i < j share: the samples, their colour sums in either frame, and per
// channel the sums of u u^T, u = (v_i, v_i x_i, v_i y_i, -v_j, -v_j x_j, -v_j y_j).
struct pair_sums {
  double count = 0;
  cv::Vec3d first{0, 0, 0}, second{0, 0, 0};
  std::array<cv::Matx66d, 3> moments{};
};

// The overlaps of a survey's frames as measured at ground samples.
struct overlap_sums {
  std::vector<double> count;                       // per frame: the samples it holds
  std::vector<cv::Vec3d> sum;                      // per frame: their colour summed
  std::vector<std::array<cv::Vec3d, 3>> placed;    // per frame and channel: sum of v (1, x, y)
  std::map<std::pair<int, int>, pair_sums> pairs;  // frames i < j that share samples
};

overlap_sums empty_overlap_sums(int frame_count);

// Adds one ground sample with the colours of every frame that holds it.
void add_ground_sample(overlap_sums& sums, const std::vector<frame_sample>& seen);

// The spreads that weigh the terms of the solve.
struct gain_weights {
  double noise = 0.03;  // sigma_N: spread of an overlap's colour, a fraction of the mean colour
  double gain = 0.3;    // sigma_g: spread of the gains about 1
  double slope = 1.0;   // sigma_s: spread of the view term about 0 (the overlaps fix it)
};

// The gains g of one channel from count(i, j), the samples frames i and j share (count(i, i)
// those i holds), and sum(i, j), frame i's colour summed over them: the minimum of
//   sum_ij N_ij ((g_i I_ij - g_j I_ji)^2 / sigma_N^2 + (1 - g_i)^2 / sigma_g^2),
// I_ij frame i's mean over its overlap with j relative to the mean of every sample, j = i
// included in the second term. Each group of frames linked by overlaps is then scaled to
// keep its samples' total (the survey keeps its brightness), a frame without overlap keeps
// 1, and the gains are held within 0.5 .. 2.
arma::vec solve_channel_gains(const arma::sp_mat& count, const arma::sp_mat& sum,
                              const gain_weights& weights = {});

// One gain per frame and channel (solve_channel_gains).
std::vector<colour_gain> solve_colour_gains(const overlap_sums& sums,
                                            const gain_weights& weights = {});

// The direction of a frame's rays across it: the east and north parts of the unit ray
// through frame position (x, y) fitted as c + J (x, y), returned as the rows (1, c_east,
// c_north), (0, J_east_x, J_north_x), (0, J_east_y, J_north_y). A view term (k_east,
// k_north) then gives the frame the field terms * (g, k_east, k_north) with gain g.
cv::Matx33d view_direction_terms(const image_geometry& geometry);

// A gain field per frame and channel: each frame's gain g_i times 1 plus a view term shared
// by the survey, k . (east and north parts of the ray), linear across the frame
// (view_direction_terms): the brightness of ground seen from one side or the other (the
// sun's hot spot and its opposite), which a gain per frame cannot take out. Minimum over
// the samples frames i and j share of (f_i v_i - f_j v_j)^2 relative to the mean colour
// over sigma_N^2, plus the gains' pull toward 1 as in solve_channel_gains and the view
// term's toward 0 (sigma_s); then each group keeps its brightness and every field stays
// within 0.5 .. 2 over its frame. `view_terms` holds one entry per frame.
std::vector<colour_gain> solve_colour_fields(const overlap_sums& sums,
                                             const std::vector<cv::Matx33d>& view_terms,
                                             const gain_weights& weights = {});

// Each channel of an 8-bit BGR image times its gain at the pixel, rounded and saturated, in
// place; black (no data) stays black, and a channel that was not 0 stays at least 1 (a
// dark pixel never becomes no data).
void apply_colour_gain(cv::Mat& bgr, const colour_gain& gain);

}  // namespace aeroquilt
