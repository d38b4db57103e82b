#include "app/live_tiles.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

namespace aeroquilt {

std::vector<int64_t> tiles_reached(const view_setting& setting, const view_params& survey,
                                   const tile_plan& plan, const image_geometry& geometry) {
  std::vector<int64_t> tiles;
  footprint_window window;
  if (plan.whole) {
    if (frame_window_in_view(setting, geometry, survey, window)) tiles.push_back(0);
    return tiles;
  }
  // The survey columns and rows of the footprint's box, a few pixels wide of what any
  // rule cuts, give the candidates; the view operation's own window decides.
  const arma::mat& corners = geometry.footprint_corners;
  const double p = survey.pixel_size;
  const double c0 = std::floor((corners.col(0).min() - survey.x_min) / p) - 4;
  const double c1 = std::floor((corners.col(0).max() - survey.x_min) / p) + 4;
  const double r0 = std::floor((survey.y_max - corners.col(1).max()) / p) - 4;
  const double r1 = std::floor((survey.y_max - corners.col(1).min()) / p) + 4;
  if (!(c0 <= c1 && r0 <= r1)) return tiles;
  // Tile i covers survey columns i * side - overlap to i * side + side - 1.
  const double side = plan.side;
  const auto first = [&](double low) { return std::max(0.0, std::floor(low / side)); };
  const auto last = [&](double high, int64_t count) {
    return std::min(double(count - 1), std::floor((high + tile_overlap_pixels) / side));
  };
  for (double i = first(c0); i <= last(c1, plan.columns); ++i) {
    for (double j = first(r0); j <= last(r1, plan.rows); ++j) {
      const int64_t number = static_cast<int64_t>(i) * plan.rows + static_cast<int64_t>(j);
      const tile_window tile = tile_at(plan, number);
      const view_params view = tile_view_params(survey, tile.first_row, tile.first_column,
                                                tile.row_count, tile.column_count);
      if (frame_window_in_view(setting, geometry, view, window)) tiles.push_back(number);
    }
  }
  std::sort(tiles.begin(), tiles.end());
  return tiles;
}

std::string frame_record_text(const std::vector<int>& frames,
                              const std::vector<FPO_record>& records) {
  std::string text;
  for (const int k : frames)
    text += std::to_string(records[k].line_number) + " " + records[k].name + "\n";
  return text;
}

std::map<int, std::string> read_frame_record(const std::string& path) {
  std::map<int, std::string> frames;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream fields(line);
    int number = 0;
    std::string name;
    if (fields >> number && fields.get() == ' ' && std::getline(fields, name))
      frames[number] = name;
  }
  return frames;
}

std::size_t state_bytes(const view_state& state) {
  return state.image.total() * state.image.elemSize() + state.claim.size() * 4 +
         state.score.size() * 4 + state.source.size() * 4;
}

}  // namespace aeroquilt
