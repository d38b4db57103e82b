#include "imaging/colour_balance.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <future>
#include <limits>
#include <numeric>
#include <thread>
#include <utility>

namespace aeroquilt {
namespace {

// A channel this bright may be clipped: it no longer follows the exposure.
constexpr float clipped_level = 250.0f;
constexpr double lowest_gain = 0.5, highest_gain = 2.0;

// The frames linked to each other by overlaps: one group number per frame, from 0.
std::vector<int> overlap_groups(int n, const std::vector<std::pair<int, int>>& links) {
  std::vector<int> root(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) root[i] = i;
  const auto find = [&](int i) {
    while (root[i] != i) i = root[i] = root[root[i]];
    return i;
  };
  for (const auto& [i, j] : links) root[find(i)] = find(j);
  std::vector<int> group(static_cast<std::size_t>(n), -1), number(group);
  int groups = 0;
  for (int i = 0; i < n; ++i) {
    const int r = find(i);
    if (number[r] < 0) number[r] = groups++;
    group[i] = number[r];
  }
  return group;
}

// Holds a gain field within lowest_gain .. highest_gain over its frame: the offset first,
// then the slopes shrunk as far as the corners need.
void hold_field(double& offset, double& slope_x, double& slope_y) {
  if (!std::isfinite(offset) || !std::isfinite(slope_x) || !std::isfinite(slope_y)) {
    offset = 1;
    slope_x = slope_y = 0;
    return;
  }
  offset = std::clamp(offset, lowest_gain, highest_gain);
  const double allowed = std::min(offset - lowest_gain, highest_gain - offset);
  const double corner = std::fabs(slope_x) + std::fabs(slope_y);
  if (corner <= allowed) return;
  slope_x *= allowed / corner;
  slope_y *= allowed / corner;
}

// The camera of one frame in plain numbers: ground point to zero-based pixel.
struct frame_camera {
  double r[9];  // A^T, row-major: local axes to camera axes
  double c[3];  // camera position, local metres
  double kx = 0, half_w = 0, half_h = 0;
  double x_min = 0, x_max = 0, y_min = 0, y_max = 0;  // footprint box, local metres
};

frame_camera camera_of(const image_geometry& g) {
  frame_camera cam;
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column)
      cam.r[3 * row + column] = g.camera_rotation_t(row, column);
    cam.c[row] = g.camera_position(row);
  }
  cam.kx = g.focal_length_px;
  cam.half_w = g.image_width / 2.0;
  cam.half_h = g.image_height / 2.0;
  cam.x_min = cam.y_min = std::numeric_limits<double>::infinity();
  cam.x_max = cam.y_max = -std::numeric_limits<double>::infinity();
  for (arma::uword k = 0; k < g.footprint_corners.n_rows && g.footprint_corners.n_cols >= 2; ++k) {
    const double x = g.footprint_corners(k, 0), y = g.footprint_corners(k, 1);
    if (!std::isfinite(x) || !std::isfinite(y)) continue;
    cam.x_min = std::min(cam.x_min, x);
    cam.x_max = std::max(cam.x_max, x);
    cam.y_min = std::min(cam.y_min, y);
    cam.y_max = std::max(cam.y_max, y);
  }
  // Over relief the footprint's sides bulge past its corners.
  const double margin = 0.1 * std::max(cam.x_max - cam.x_min, cam.y_max - cam.y_min);
  cam.x_min -= margin;
  cam.x_max += margin;
  cam.y_min -= margin;
  cam.y_max += margin;
  return cam;
}

// The pixel (u, v counted from 1, as the camera model has it) less one.
bool ground_to_pixel(const frame_camera& cam, double x, double y, double z, double& column,
                     double& row) {
  const double d[3] = {x - cam.c[0], y - cam.c[1], z - cam.c[2]};
  const double q0 = cam.r[0] * d[0] + cam.r[1] * d[1] + cam.r[2] * d[2];
  const double q1 = cam.r[3] * d[0] + cam.r[4] * d[1] + cam.r[5] * d[2];
  const double q2 = cam.r[6] * d[0] + cam.r[7] * d[1] + cam.r[8] * d[2];
  if (!(q2 > 0)) return false;
  column = cam.half_w - cam.kx * q0 / q2 - 1.0;
  row = cam.half_h - cam.kx * q1 / q2 - 1.0;
  return true;
}

// The 3 x 3 mean about reduced pixel (x, y); false where a pixel is black (no data) or a
// channel clipped, or the box leaves the frame.
bool box_colour(const cv::Mat& reduced, int x, int y, cv::Vec3f& bgr) {
  if (x < 1 || y < 1 || x > reduced.cols - 2 || y > reduced.rows - 2) return false;
  cv::Vec3f total(0, 0, 0);
  for (int dy = -1; dy <= 1; ++dy) {
    const cv::Vec3b* row = reduced.ptr<cv::Vec3b>(y + dy);
    for (int dx = -1; dx <= 1; ++dx) {
      const cv::Vec3b p = row[x + dx];
      if (p == cv::Vec3b(0, 0, 0)) return false;
      for (int c = 0; c < 3; ++c) {
        if (p[c] >= clipped_level) return false;
        total[c] += p[c];
      }
    }
  }
  bgr = total / 9.0f;
  return true;
}

}  // namespace

overlap_sums empty_overlap_sums(int frame_count) {
  const std::size_t n = static_cast<std::size_t>(std::max(frame_count, 0));
  overlap_sums sums;
  sums.count.assign(n, 0.0);
  sums.sum.assign(n, cv::Vec3d(0, 0, 0));
  sums.placed.assign(n, {});
  return sums;
}

void add_ground_sample(overlap_sums& sums, const std::vector<frame_sample>& seen) {
  for (const frame_sample& a : seen) {
    const std::size_t i = static_cast<std::size_t>(a.frame);
    sums.count[i] += 1;
    for (int c = 0; c < 3; ++c) {
      sums.sum[i][c] += a.bgr[c];
      sums.placed[i][c] += cv::Vec3d(1.0, a.x, a.y) * double(a.bgr[c]);
    }
  }
  for (std::size_t m = 0; m < seen.size(); ++m) {
    for (std::size_t k = m + 1; k < seen.size(); ++k) {
      const bool in_order = seen[m].frame < seen[k].frame;
      const frame_sample& low = in_order ? seen[m] : seen[k];
      const frame_sample& high = in_order ? seen[k] : seen[m];
      if (low.frame == high.frame) continue;
      pair_sums& pair = sums.pairs[{low.frame, high.frame}];
      pair.count += 1;
      pair.first += cv::Vec3d(low.bgr);
      pair.second += cv::Vec3d(high.bgr);
      for (int c = 0; c < 3; ++c) {
        const double vl = low.bgr[c], vh = high.bgr[c];
        const cv::Vec<double, 6> u(vl, vl * low.x, vl * low.y, -vh, -vh * high.x, -vh * high.y);
        pair.moments[c] += u * u.t();
      }
    }
  }
}

arma::vec solve_channel_gains(const arma::sp_mat& count, const arma::sp_mat& sum,
                              const gain_weights& weights) {
  const arma::uword n = count.n_rows;
  arma::vec gains(n, arma::fill::ones);
  double total = 0, samples = 0;
  for (arma::uword i = 0; i < n; ++i) {
    total += sum(i, i);
    samples += count(i, i);
  }
  if (!(samples > 0 && total > 0)) return gains;
  // Relative to the survey's mean, so that a dark channel is balanced as a bright one is.
  const double mean = total / samples;
  const double alpha = 1.0 / (weights.noise * weights.noise);
  const double beta = 1.0 / (weights.gain * weights.gain);
  // Sparse: a frame overlaps a few neighbours, and a survey may have many thousand frames.
  arma::vec diagonal(n, arma::fill::zeros), b(n, arma::fill::zeros);
  std::vector<arma::uword> rows, columns;
  std::vector<double> values;
  std::vector<std::pair<int, int>> links;
  for (auto entry = count.begin(); entry != count.end(); ++entry) {
    const arma::uword i = entry.row(), j = entry.col();
    const double overlap = *entry;
    if (!(overlap > 0)) continue;
    diagonal(i) += beta * overlap;
    b(i) += beta * overlap;
    if (i == j) continue;
    if (i < j) links.emplace_back(int(i), int(j));
    const double mean_ij = sum(i, j) / overlap / mean, mean_ji = sum(j, i) / overlap / mean;
    diagonal(i) += 2.0 * alpha * overlap * mean_ij * mean_ij;
    rows.push_back(i);
    columns.push_back(j);
    values.push_back(-2.0 * alpha * overlap * mean_ij * mean_ji);
  }
  for (arma::uword i = 0; i < n; ++i) {
    if (diagonal(i) == 0) {  // a frame without samples
      diagonal(i) = beta;
      b(i) = beta;
    }
    rows.push_back(i);
    columns.push_back(i);
    values.push_back(diagonal(i));
  }
  arma::umat locations(2, values.size());
  for (std::size_t e = 0; e < values.size(); ++e) {
    locations(0, e) = rows[e];
    locations(1, e) = columns[e];
  }
  const arma::sp_mat a(true, locations, arma::vec(values), n, n);
  arma::vec solved;
  if (!arma::spsolve(solved, a, b)) return gains;
  // The pull toward 1 lets every gain sag a little where the overlaps disagree; each group
  // gets back its own brightness.
  const std::vector<int> group = overlap_groups(int(n), links);
  const int groups = n == 0 ? 0 : *std::max_element(group.begin(), group.end()) + 1;
  std::vector<double> kept(static_cast<std::size_t>(groups), 0.0), now(kept);
  for (arma::uword i = 0; i < n; ++i) {
    kept[group[i]] += sum(i, i);
    now[group[i]] += solved(i) * sum(i, i);
  }
  for (arma::uword i = 0; i < n; ++i) {
    const double scale = now[group[i]] > 0 ? kept[group[i]] / now[group[i]] : 1.0;
    const double g = solved(i) * scale;
    gains(i) = std::isfinite(g) ? std::clamp(g, lowest_gain, highest_gain) : 1.0;
  }
  return gains;
}

std::vector<colour_gain> solve_colour_gains(const overlap_sums& sums, const gain_weights& weights) {
  const arma::uword n = sums.count.size();
  std::vector<colour_gain> gains(n);
  for (int c = 0; c < 3; ++c) {
    const std::size_t entries = n + 2 * sums.pairs.size();
    arma::umat locations(2, entries);
    arma::vec counts(entries), colours(entries);
    std::size_t e = 0;
    const auto put = [&](arma::uword i, arma::uword j, double shared, double colour) {
      locations(0, e) = i;
      locations(1, e) = j;
      counts(e) = shared;
      colours(e++) = colour;
    };
    for (arma::uword i = 0; i < n; ++i) put(i, i, sums.count[i], sums.sum[i][c]);
    for (const auto& [frames, pair] : sums.pairs) {
      const arma::uword i = arma::uword(frames.first), j = arma::uword(frames.second);
      put(i, j, pair.count, pair.first[c]);
      put(j, i, pair.count, pair.second[c]);
    }
    const arma::vec g = solve_channel_gains(arma::sp_mat(locations, counts, n, n),
                                            arma::sp_mat(locations, colours, n, n), weights);
    for (arma::uword i = 0; i < n; ++i) gains[i].offset[c] = static_cast<float>(g(i));
  }
  return gains;
}

cv::Matx33d view_direction_terms(const image_geometry& g) {
  // Least squares over a 5 x 5 grid of frame positions: the direction's east and north
  // parts each as c + J (x, y).
  cv::Matx33d normal = cv::Matx33d::zeros();
  cv::Matx32d right = cv::Matx32d::zeros();
  for (int a = 0; a < 5; ++a) {
    for (int b = 0; b < 5; ++b) {
      const double x = -1.0 + 0.5 * a, y = -1.0 + 0.5 * b;
      // Pixel u, v counted from 1 at position x, y.
      const double u = ((x + 1.0) * g.image_width - 1.0) / 2.0 + 1.0;
      const double v = ((y + 1.0) * g.image_height - 1.0) / 2.0 + 1.0;
      const arma::vec ray =
          g.camera_rotation * arma::vec{(g.image_width / 2.0 - u) / g.focal_length_px,
                                        (g.image_height / 2.0 - v) / g.focal_length_px, 1.0};
      const double length = arma::norm(ray);
      const cv::Vec3d basis(1.0, x, y);
      normal += basis * basis.t();
      for (int k = 0; k < 3; ++k) {
        right(k, 0) += basis[k] * ray(0) / length;
        right(k, 1) += basis[k] * ray(1) / length;
      }
    }
  }
  const cv::Matx32d fit = normal.inv() * right;  // rows c, J_x, J_y; columns east, north
  return {1.0, fit(0, 0), fit(0, 1), 0.0, fit(1, 0), fit(1, 1), 0.0, fit(2, 0), fit(2, 1)};
}

std::vector<colour_gain> solve_colour_fields(const overlap_sums& sums,
                                             const std::vector<cv::Matx33d>& view_terms,
                                             const gain_weights& weights) {
  const int n = static_cast<int>(sums.count.size());
  std::vector<colour_gain> fields(static_cast<std::size_t>(n));
  if (view_terms.size() != sums.count.size()) return fields;
  std::vector<std::pair<int, int>> links;
  std::vector<double> linked(sums.count);  // a frame's samples and those it shares
  for (const auto& [frames, pair] : sums.pairs) {
    links.push_back(frames);
    linked[frames.first] += pair.count;
    linked[frames.second] += pair.count;
  }
  const std::vector<int> group = overlap_groups(n, links);
  const int groups = n == 0 ? 0 : *std::max_element(group.begin(), group.end()) + 1;
  const double samples = std::accumulate(sums.count.begin(), sums.count.end(), 0.0);
  double weight_sum = 0;
  for (double& w : linked) weight_sum += (w = w > 0 ? w : 1.0);
  const arma::uword unknowns = arma::uword(n) + 2;  // the gains, then the view term east, north
  for (int c = 0; c < 3; ++c) {
    double total = 0;
    for (const cv::Vec3d& s : sums.sum) total += s[c];
    if (!(samples > 0 && total > 0)) continue;
    const double mean = total / samples;
    // Each pair counted from both frames, as the gains' overlaps are.
    const double alpha = 2.0 / (weights.noise * weights.noise * mean * mean);
    const double gain_prior = 1.0 / (weights.gain * weights.gain);
    const double view_prior = weight_sum / (weights.slope * weights.slope);
    // Frame i's field (offset, slope_x, slope_y) = terms(i) (g_i, k_east, k_north): the view
    // term scaled by the frame's gain, so that it multiplies the exposure's correction; the
    // gains of the pass before stand in for it.
    std::vector<double> gain_before(static_cast<std::size_t>(n), 1.0);
    const auto terms = [&](int i) {
      cv::Matx33d t = view_terms[i];
      for (int r = 0; r < 3; ++r)
        for (int k = 1; k < 3; ++k) t(r, k) *= gain_before[i];
      return t;
    };
    arma::vec solved;
    for (int pass = 0; pass < 3; ++pass) {
      std::vector<arma::uword> rows, columns;
      std::vector<double> values;
      const auto add = [&](arma::uword row, arma::uword column, double value) {
        rows.push_back(row);
        columns.push_back(column);
        values.push_back(value);
      };
      arma::vec b(unknowns, arma::fill::zeros);
      for (int i = 0; i < n; ++i) {
        add(i, i, linked[i] * gain_prior);
        b(i) = linked[i] * gain_prior;
      }
      add(n, n, view_prior);
      add(n + 1, n + 1, view_prior);
      for (const auto& [frames, pair] : sums.pairs) {
        const cv::Matx33d ti = terms(frames.first), tj = terms(frames.second);
        cv::Matx66d t = cv::Matx66d::zeros();
        for (int r = 0; r < 3; ++r) {
          for (int k = 0; k < 3; ++k) {
            t(r, k) = ti(r, k);
            t(r + 3, k + 3) = tj(r, k);
          }
        }
        const cv::Matx66d m = t.t() * pair.moments[c] * t;
        const arma::uword at[6] = {arma::uword(frames.first),  arma::uword(n), arma::uword(n) + 1,
                                   arma::uword(frames.second), arma::uword(n), arma::uword(n) + 1};
        for (int r = 0; r < 6; ++r)
          for (int k = 0; k < 6; ++k) add(at[r], at[k], alpha * m(r, k));
      }
      arma::umat locations(2, values.size());
      for (std::size_t e = 0; e < values.size(); ++e) {
        locations(0, e) = rows[e];
        locations(1, e) = columns[e];
      }
      const arma::sp_mat a(true, locations, arma::vec(values), unknowns, unknowns);
      if (!arma::spsolve(solved, a, b)) break;
      if (pass == 2) break;
      for (int i = 0; i < n; ++i) gain_before[i] = std::clamp(solved(i), lowest_gain, highest_gain);
    }
    if (solved.n_elem != unknowns) continue;
    std::vector<cv::Vec3d> theta(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
      theta[i] = terms(i) * cv::Vec3d(solved(i), solved(n), solved(n + 1));
    // As with the gains: each group gets back its own brightness.
    std::vector<double> kept(static_cast<std::size_t>(groups), 0.0), now(kept);
    for (int i = 0; i < n; ++i) {
      kept[group[i]] += sums.sum[i][c];
      now[group[i]] += theta[i].dot(sums.placed[i][c]);
    }
    for (int i = 0; i < n; ++i) {
      const double scale = now[group[i]] > 0 ? kept[group[i]] / now[group[i]] : 1.0;
      double offset = theta[i][0] * scale, slope_x = theta[i][1] * scale,
             slope_y = theta[i][2] * scale;
      hold_field(offset, slope_x, slope_y);
      fields[i].offset[c] = static_cast<float>(offset);
      fields[i].slope_x[c] = static_cast<float>(slope_x);
      fields[i].slope_y[c] = static_cast<float>(slope_y);
    }
  }
  return fields;
}

void apply_colour_gain(cv::Mat& bgr, const colour_gain& gain) {
  if (bgr.type() != CV_8UC3) return;
  if (gain.slope_x == cv::Vec3f() && gain.slope_y == cv::Vec3f()) {
    cv::Mat table(1, 256, CV_8UC3);
    for (int v = 0; v < 256; ++v) {
      for (int c = 0; c < 3; ++c) {
        table.at<cv::Vec3b>(0, v)[c] =
            cv::saturate_cast<uchar>(static_cast<float>(v) * gain.offset[c]);
      }
    }
    cv::LUT(bgr, table, bgr);
    return;
  }
  std::vector<cv::Vec3f> across(static_cast<std::size_t>(bgr.cols));
  for (int x = 0; x < bgr.cols; ++x)
    across[x] = gain.slope_x * static_cast<float>(frame_position(x, bgr.cols));
  for (int y = 0; y < bgr.rows; ++y) {
    const cv::Vec3f base =
        gain.offset + gain.slope_y * static_cast<float>(frame_position(y, bgr.rows));
    cv::Vec3b* row = bgr.ptr<cv::Vec3b>(y);
    for (int x = 0; x < bgr.cols; ++x) {
      const cv::Vec3f g = base + across[x];
      for (int c = 0; c < 3; ++c)
        row[x][c] = cv::saturate_cast<uchar>(static_cast<float>(row[x][c]) * g[c]);
    }
  }
}

sample_grid ground_sample_grid(const std::vector<image_geometry>& frames, int per_side,
                               long max_points) {
  sample_grid grid;
  double x_min = std::numeric_limits<double>::infinity(), y_min = x_min;
  double x_max = -x_min, y_max = -x_min;
  std::vector<double> areas;
  for (const image_geometry& g : frames) {
    const arma::mat& f = g.footprint_corners;
    if (f.n_rows < 4 || f.n_cols < 2 || !f.cols(0, 1).is_finite()) continue;
    double area = 0;
    for (arma::uword k = 0; k < 4; ++k) {
      const arma::uword next = (k + 1) % 4;
      area += f(k, 0) * f(next, 1) - f(next, 0) * f(k, 1);
      x_min = std::min(x_min, f(k, 0));
      x_max = std::max(x_max, f(k, 0));
      y_min = std::min(y_min, f(k, 1));
      y_max = std::max(y_max, f(k, 1));
    }
    areas.push_back(std::fabs(area) / 2.0);
  }
  if (areas.empty() || per_side < 1) return grid;
  std::nth_element(areas.begin(), areas.begin() + areas.size() / 2, areas.end());
  double spacing = std::sqrt(areas[areas.size() / 2]) / per_side;
  if (!(spacing > 0) || !std::isfinite(spacing)) return grid;
  const auto points = [&](double s) {
    return (std::floor((x_max - x_min) / s) + 1) * (std::floor((y_max - y_min) / s) + 1);
  };
  while (points(spacing) > static_cast<double>(max_points)) spacing *= 1.25;
  grid.x0_m = x_min;
  grid.y0_m = y_min;
  grid.spacing_m = spacing;
  grid.columns = static_cast<int>(std::floor((x_max - x_min) / spacing)) + 1;
  grid.rows = static_cast<int>(std::floor((y_max - y_min) / spacing)) + 1;
  return grid;
}

overlap_sums measure_overlaps(const std::vector<image_geometry>& frames, const sample_grid& grid,
                              const ground_height_fn& height, const reduced_frame_fn& read,
                              const lens_undistorter& lens) {
  const int count = static_cast<int>(frames.size());
  overlap_sums sums = empty_overlap_sums(count);
  if (count == 0 || grid.columns < 1 || grid.rows < 1) return sums;
  const std::size_t points = static_cast<std::size_t>(grid.columns) * grid.rows;
  std::vector<std::vector<frame_sample>> seen(points);
  std::vector<float> heights(points, 0.0f);
  std::vector<unsigned char> height_known(points, 0);
  const cv::Mat& no_data = lens.no_data();

  // Decoding is most of the time: frames are read ahead on every core.
  const int ahead = static_cast<int>(std::max(2u, std::thread::hardware_concurrency()));
  std::deque<std::future<cv::Mat>> reading;
  int requested = 0;
  for (int k = 0; k < count; ++k) {
    while (requested < count && requested < k + ahead)
      reading.push_back(std::async(std::launch::async, read, requested++));
    const cv::Mat reduced = reading.front().get();
    reading.pop_front();
    const image_geometry& g = frames[static_cast<std::size_t>(k)];
    const int width = static_cast<int>(g.image_width),
              frame_height = static_cast<int>(g.image_height);
    if (reduced.empty() || reduced.type() != CV_8UC3 || width < 1 || frame_height < 1) continue;
    const double scale_x = static_cast<double>(reduced.cols) / width;
    const double scale_y = static_cast<double>(reduced.rows) / frame_height;
    // A frame turned by its orientation tag is not the camera's; the views leave it out.
    if (std::fabs(scale_x - scale_y) > 0.1 * scale_x) continue;
    const frame_camera cam = camera_of(g);
    if (!(cam.x_min <= cam.x_max && cam.y_min <= cam.y_max)) continue;
    const int c0 =
        std::max(0, static_cast<int>(std::ceil((cam.x_min - grid.x0_m) / grid.spacing_m)));
    const int c1 = std::min(grid.columns - 1,
                            static_cast<int>(std::floor((cam.x_max - grid.x0_m) / grid.spacing_m)));
    const int r0 =
        std::max(0, static_cast<int>(std::ceil((cam.y_min - grid.y0_m) / grid.spacing_m)));
    const int r1 = std::min(grid.rows - 1,
                            static_cast<int>(std::floor((cam.y_max - grid.y0_m) / grid.spacing_m)));
    for (int r = r0; r <= r1; ++r) {
      for (int c = c0; c <= c1; ++c) {
        const std::size_t point = static_cast<std::size_t>(r) * grid.columns + c;
        const double x = grid.x0_m + c * grid.spacing_m, y = grid.y0_m + r * grid.spacing_m;
        if (!height_known[point]) {
          heights[point] = static_cast<float>(height(x, y));
          height_known[point] = 1;
        }
        if (!std::isfinite(heights[point])) continue;
        double column = 0, row = 0;
        if (!ground_to_pixel(cam, x, y, heights[point], column, row)) continue;
        if (!(column >= 0 && column <= width - 1 && row >= 0 && row <= frame_height - 1)) continue;
        // The pixel of the frame as read, before its lens resampling.
        double source_x = column, source_y = row;
        if (lens.active()) {
          const int ideal_x = static_cast<int>(std::lround(column));
          const int ideal_y = static_cast<int>(std::lround(row));
          if (no_data.at<uchar>(ideal_y, ideal_x) != 0) continue;
          const cv::Point2f source = lens.source_point(ideal_x, ideal_y);
          source_x = source.x;
          source_y = source.y;
        }
        const int reduced_x = static_cast<int>(std::lround((source_x + 0.5) * scale_x - 0.5));
        const int reduced_y = static_cast<int>(std::lround((source_y + 0.5) * scale_y - 0.5));
        cv::Vec3f bgr;
        if (!box_colour(reduced, reduced_x, reduced_y, bgr)) continue;
        seen[point].push_back({k, bgr, static_cast<float>(frame_position(column, width)),
                               static_cast<float>(frame_position(row, frame_height))});
      }
    }
  }
  for (const std::vector<frame_sample>& point : seen) add_ground_sample(sums, point);
  return sums;
}

}  // namespace aeroquilt
