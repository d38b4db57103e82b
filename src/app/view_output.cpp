#include "app/view_output.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <opencv2/core/utility.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/console.h"
#include "app/fatal_error.h"
#include "imaging/view_projection.h"

namespace aeroquilt {
namespace {

const char* const extension_table[6] = {".JPG", ".jpg", ".bmp", ".tif", ".png", ".PNG"};

bool display_available() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 && *x11) || (wayland && *wayland);
}

std::string format_double(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

}  // namespace

std::string side_file_path(const std::string& path, std::size_t extension_position,
                           const char* replacement) {
  std::string side = path;
  side.replace(extension_position + 1, 3, replacement);
  return side;
}

int find_output_extension(const std::string& path, std::size_t& position) {
  for (int entry = 0; entry < 6; ++entry) {
    const std::size_t found = path.find(extension_table[entry]);
    if (found != std::string::npos) {
      position = found;
      return entry;
    }
  }
  return -1;
}

std::string world_file_text(const view_params& view) {
  std::string text;
  for (double value :
       {static_cast<double>(view.lon_per_pixel), 0.0, 0.0, -static_cast<double>(view.lat_per_pixel),
        static_cast<double>(view.lon_min), static_cast<double>(view.lat_max)}) {
    text += format_double("%1.10g", value) + "\n";
  }
  return text + "\n";
}

bool write_output_text(const std::string& path, const std::string& text) {
  if (write_text_atomically(path, text) != write_outcome::written) {
    console_printf("cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

raster_georeference view_georeference(const view_params& view) {
  constexpr double pi = 3.141592653589793;
  // The same conversion as the record's own lon_min and lat_max, kept in double.
  const double phi0 = view.ref_lat_rad, lambda0 = view.ref_lon_rad;
  const double radius_east = view.radius_east, radius_north = view.radius_north;
  const double east_scale = static_cast<double>(std::cos(view.ref_lat_rad)) * radius_east;
  const double p = view.pixel_size;
  raster_georeference georeference;
  georeference.lon_step_deg = p / east_scale * 180.0 / pi;
  georeference.lat_step_deg = -p / radius_north * 180.0 / pi;
  georeference.first_lon_deg = (view.x_min + lambda0 * east_scale) / east_scale * 180.0 / pi;
  georeference.first_lat_deg = (view.y_max + phi0 * radius_north) / radius_north * 180.0 / pi;
  return georeference;
}

void show_preview(image_cache& canvas, double scale) {
  static bool reported = false;
  if (!display_available()) {
    if (!reported) console_printf("no display available, preview window skipped\n");
    reported = true;
    return;
  }
  const int width = static_cast<int>(canvas.current_image.cols * scale);
  const int height = static_cast<int>(canvas.current_image.rows * scale);
  if (width < 1 || height < 1) return;  // too small a canvas to show at this scale
  cv::Mat preview;
  cv::resize(canvas.current_image, preview, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
  cv::namedWindow("Figure 1", cv::WINDOW_AUTOSIZE);
  cv::imshow("Figure 1", preview);
  cv::waitKey(1);
}

// A write that fails is reported; the run goes on with its other outputs.
static bool write_image_reported(const std::string& path, const cv::Mat& image,
                                 const std::vector<int>& params,
                                 const raster_georeference& georeference) {
  if (write_image_atomically(path, image, params, &georeference) == write_outcome::written)
    return true;
  console_printf("cannot write %s\n", path.c_str());
  return false;
}

bool save_view_image(image_cache& canvas, const std::string& path) {
  return write_image_reported(path, canvas.current_image, {}, view_georeference(canvas.view));
}

void start_png_writer(image_cache& canvas, const std::string& path) {
  if (canvas.writer_thread.joinable()) canvas.writer_thread.join();
  const cv::Mat& image = canvas.current_image;
  // Every byte is written (black stays 0, 0, 0, 0), branch-free and over row
  // bands in parallel: a mosaic has tens of millions of pixels.
  canvas.png_copy.create(image.rows, image.cols, CV_8UC4);
  cv::Mat& copy = canvas.png_copy;
  cv::parallel_for_(cv::Range(0, image.rows), [&image, &copy](const cv::Range& rows) {
    for (int row = rows.start; row < rows.end; ++row) {
      const uchar* source = image.ptr<uchar>(row);
      uchar* target = copy.ptr<uchar>(row);
      for (int column = 0; column < image.cols; ++column, source += 3, target += 4) {
        target[0] = source[0];
        target[1] = source[1];
        target[2] = source[2];
        target[3] = (source[0] | source[1] | source[2]) != 0 ? 255 : 0;
      }
    }
  });
  canvas.png_name = path;
  canvas.png_params = {cv::IMWRITE_PNG_COMPRESSION, 3};
  const raster_georeference georeference = view_georeference(canvas.view);
  canvas.png_written = false;
  canvas.writer_thread = std::thread([&canvas, georeference] {
    canvas.png_written =
        write_image_reported(canvas.png_name, canvas.png_copy, canvas.png_params, georeference);
  });
}

int render_view(mosaic_job& job, const view_params& view, const std::string& path,
                double preview_scale) {
  image_cache& canvas = job.output_canvas;
  install_view(canvas, view);
  console_printf("generating DEM for View, %s\n", g_config.DEM_filename.c_str());
  if (build_view_dem(job.dem, view) == 0)
    return 0;

  gpu_context& gpu = job.gpu;
  gpu.create_view_buffers(canvas.view, canvas.current_image.data);
  int projected = 0;
  for (int k = 0; k < job.geometry_count; ++k) {
    if (project_view_image(k, job.geometries, job.input_cache, gpu, canvas.view, job.dem,
                           job.images.centre_lat, job.images.centre_lon) == 0)
      continue;
    ++projected;
    if (k % 20 == 0) {
      // Only a display can show an intermediate state; the final read-back below
      // fills the canvas either way.
      if (display_available()) gpu.read_view_output(canvas.current_image.data);
      show_preview(canvas, preview_scale);
    }
  }
  gpu.read_view_output(canvas.current_image.data);
  show_preview(canvas, preview_scale);
  gpu.release_view_buffers();
  if (projected == 0) return 0;

  console_printf("Saving Projected Image and KML %s\n", path.c_str());
  std::size_t extension_position = 0;
  const int extension = find_output_extension(path, extension_position);
  if (extension < 0) throw fatal_error("extension not found\n");
  bool saved = false;
  if (extension >= 4) {
    start_png_writer(canvas, path);
    canvas.writer_thread.join();
    saved = canvas.png_written;
  } else {
    saved = save_view_image(canvas, path);
  }
  // Side files for an image that is not there would point at nothing, and the
  // view must not count as written.
  if (!saved) return 0;

  const std::size_t slash = path.find_last_of("/\\");
  const std::string href = slash == std::string::npos ? path : path.substr(slash + 1);
  write_output_text(side_file_path(path, extension_position, "kml"),
                    ground_overlay_kml(href, canvas.view.lat_max, canvas.view.lat_min,
                                       canvas.view.lon_max, canvas.view.lon_min, "\t"));
  write_output_text(side_file_path(path, extension_position, "tfw"), world_file_text(canvas.view));
  // What GIS readers look for: the conventional world file and the .prj (a TIFF holds
  // its georeferencing inside), describing each pixel centre exactly.
  write_georeference_side_files(path, view_georeference(canvas.view));
  return projected;
}

}  // namespace aeroquilt
