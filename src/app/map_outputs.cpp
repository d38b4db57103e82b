#include "app/map_outputs.h"

#include <filesystem>

#include "output/gis_layer.h"
#include "output/output_names.h"

namespace aeroquilt {
namespace {

// The rasters of the views `on_disk` for a layer: the images, or one of their maps
// (those on disk).
std::vector<std::string> layer_sources(const mosaic_request& request, const view_params& survey,
                                       const tile_plan& plan, const std::vector<int64_t>& on_disk,
                                       const char* map_suffix) {
  std::vector<std::string> sources;
  for (const int64_t number : on_disk) {
    const std::string image = mosaic_view_at(survey, request.joined, plan, number).path;
    const std::string path = map_suffix == nullptr ? image : quality_map_path(image, map_suffix);
    std::error_code error;
    if (std::filesystem::is_regular_file(path, error)) sources.push_back(path);
  }
  return sources;
}

}  // namespace

std::string web_folder(const mosaic_request& request) {
  const std::string& joined = request.joined;
  return folder_of(joined) + "web/";
}

geo_bounds view_bounds(const view_params& view) {
  return {view.lon_min, view.lat_min, view.lon_max, view.lat_max};
}

bool write_map_outputs(const mosaic_request& request, const view_params& survey,
                       const tile_plan& plan, const std::vector<int64_t>& on_disk,
                       const geo_bounds& region, long version) {
  if (!request.gis_layer || on_disk.empty()) return true;
  const composite_options& compositing = request.views.compositing;
  struct layer {
    const char* map_suffix;  // none: the images
    bool written;
    web_layer_kind kind;
    const char* web_subfolder;
  };
  const layer layers[] = {
      {nullptr, true, web_layer_kind::colour, ""},
      {"_source", compositing.source_map, web_layer_kind::source_map, "source/"},
      {"_view_angle", compositing.angle_map, web_layer_kind::angle_map, "view_angle/"},
  };
  const std::string stem = mosaic_stem(request.joined);
  const geo_bounds area = view_bounds(survey);
  const web_pyramid pyramid = plan_web_pyramid(area, request.pixel_size);
  for (const layer& kind : layers) {
    if (!kind.written) continue;
    const std::vector<std::string> sources =
        layer_sources(request, survey, plan, on_disk, kind.map_suffix);
    if (sources.empty()) continue;
    // A whole image is its own layer; tiles are mosaicked by the VRT.
    std::string source = sources.front();
    if (!plan.whole) {
      source = stem + (kind.map_suffix ? kind.map_suffix : "") + ".vrt";
      if (!write_gis_layer(source, sources)) return false;
    }
    if (request.web_map && !write_web_tiles(source, web_folder(request) + kind.web_subfolder,
                                            pyramid, region, kind.kind))
      return false;
  }
  if (!request.web_map) return true;
  web_page page;
  page.title = file_name(stem);
  page.area = area;
  page.pyramid = pyramid;
  page.source_map = compositing.source_map;
  page.angle_map = compositing.angle_map;
  page.version = version;
  for (const int64_t number : on_disk) {
    const mosaic_view view = mosaic_view_at(survey, request.joined, plan, number);
    page.tiles.emplace_back(file_name(view.path), view_bounds(view.view));
  }
  // A live run writes the page with its first update; later ones change only the outlines
  // and the version the page polls.
  return version > 1 ? write_web_version(web_folder(request), page)
                     : write_web_page(web_folder(request), page);
}

}  // namespace aeroquilt
