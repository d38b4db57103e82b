#include "imaging/colour_balance.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

#include "geometry/footprints.h"

namespace aeroquilt {
namespace {

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
      const arma::vec ray = corner_ray_direction(g, u, v);
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

namespace {

// A channel value times its gain, rounded and saturated; a value that was not 0 stays at
// least 1, so that no dark pixel turns black, which the views read as no data.
uchar gained(uchar value, float gain) {
  if (value == 0) return 0;
  return std::max<uchar>(1, cv::saturate_cast<uchar>(static_cast<float>(value) * gain));
}

}  // namespace

void apply_colour_gain(cv::Mat& bgr, const colour_gain& gain) {
  if (bgr.type() != CV_8UC3) return;
  if (gain.slope_x == cv::Vec3f() && gain.slope_y == cv::Vec3f()) {
    cv::Mat table(1, 256, CV_8UC3);
    for (int v = 0; v < 256; ++v) {
      for (int c = 0; c < 3; ++c) {
        table.at<cv::Vec3b>(0, v)[c] = gained(static_cast<uchar>(v), gain.offset[c]);
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
      for (int c = 0; c < 3; ++c) row[x][c] = gained(row[x][c], g[c]);
    }
  }
}

}  // namespace aeroquilt
