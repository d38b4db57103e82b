#include "app/view_output.h"

#include <cstdio>
#include <cstdlib>

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

std::string ground_overlay_kml(const std::string& href, double north, double south, double east,
                               double west, const char* indent) {
  const std::string t = indent;
  std::string kml;
  kml += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  kml += "<kml xmlns = \"http://www.opengis.net/kml/2.2\">\n";
  kml += t + "<GroundOverlay>\n";
  kml += t + "<name>GroundOverlay.kml</name>\n";
  kml += t + "<color>ffffffff</color>\n";
  kml += t + "<drawOrder>1</drawOrder>\n";
  kml += t + "<Icon>\n";
  kml += t + "<href>" + href + "</href>\n";
  kml += t + "<refreshMode>onInterval</refreshMode>\n";
  kml += t + "<refreshInterval>10</refreshInterval>\n";
  kml += t + "<viewBoundScale>1</viewBoundScale>\n";
  kml += t + "</Icon>\n";
  kml += t + "<LatLonBox>\n";
  kml += t + "<north>" + format_double("%3.10f", north) + "</north>\n";
  kml += t + "<south>" + format_double("%3.10f", south) + "</south>\n";
  kml += t + "<east>" + format_double("%3.10f", east) + "</east>\n";
  kml += t + "<west>" + format_double("%3.10f", west) + "</west>\n";
  kml += t + "<rotation>0</rotation>\n";
  kml += t + "</LatLonBox>\n";
  kml += t + "</GroundOverlay>\n";
  kml += "</kml>\n";
  return kml;
}

std::string world_file_text(const view_params& view) {
  std::string text;
  for (double value : {static_cast<double>(view.lon_per_pixel), 0.0, 0.0,
                       -static_cast<double>(view.lat_per_pixel), static_cast<double>(view.lon_min),
                       static_cast<double>(view.lat_max)}) {
    text += format_double("%1.10g", value) + "\n";
  }
  return text + "\n";
}

bool write_output_text(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    console_printf("cannot write %s\n", path.c_str());
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    console_printf("cannot write %s\n", path.c_str());
    return false;
  }
  return true;
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
static void write_image_reported(const std::string& path, const cv::Mat& image,
                          const std::vector<int>& params) {
  bool written = false;
  try {
    written = cv::imwrite(path, image, params);
  } catch (const cv::Exception&) {
    written = false;
  }
  if (!written) console_printf("cannot write %s\n", path.c_str());
}

void save_view_image(image_cache& canvas, const std::string& path) {
  write_image_reported(path, canvas.current_image, {});
}

void start_png_writer(image_cache& canvas, const std::string& path) {
  if (canvas.writer_thread.joinable()) canvas.writer_thread.join();
  const cv::Mat& image = canvas.current_image;
  canvas.png_copy = cv::Mat::zeros(image.rows, image.cols, CV_8UC4);
  for (int row = 0; row < image.rows; ++row) {
    const cv::Vec3b* source = image.ptr<cv::Vec3b>(row);
    cv::Vec4b* target = canvas.png_copy.ptr<cv::Vec4b>(row);
    for (int column = 0; column < image.cols; ++column) {
      const cv::Vec3b& pixel = source[column];
      if (pixel[0] != 0 || pixel[1] != 0 || pixel[2] != 0)
        target[column] = cv::Vec4b(pixel[0], pixel[1], pixel[2], 255);
    }
  }
  canvas.png_name = path;
  canvas.png_params = {cv::IMWRITE_PNG_COMPRESSION, 3};
  canvas.writer_thread = std::thread([&canvas] {
    write_image_reported(canvas.png_name, canvas.png_copy, canvas.png_params);
  });
}

int render_view(mosaic_job& job, const view_params& view, const std::string& path,
                double preview_scale) {
  image_cache& canvas = job.output_canvas;
  install_view(canvas, view);
  console_printf("generating DEM for View, %s\n", g_config.DEM_filename.c_str());
  job.dem.requested_extent[0] = view.lat_min;
  job.dem.requested_extent[1] = view.lon_min;
  job.dem.requested_extent[2] = view.lat_max;
  job.dem.requested_extent[3] = view.lon_max;
  if (build_view_dem(job.dem, view.lat_min, view.lon_min, view.lat_max, view.lon_max) == 0)
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
      gpu.read_view_output(canvas.current_image.data);
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
  if (extension >= 4) {
    start_png_writer(canvas, path);
  } else {
    save_view_image(canvas, path);
  }
  if (canvas.writer_thread.joinable()) canvas.writer_thread.join();

  const std::size_t slash = path.find_last_of("/\\");
  const std::string href = slash == std::string::npos ? path : path.substr(slash + 1);
  write_output_text(side_file_path(path, extension_position, "kml"),
                    ground_overlay_kml(href, canvas.view.lat_max, canvas.view.lat_min,
                                       canvas.view.lon_max, canvas.view.lon_min, "\t"));
  write_output_text(side_file_path(path, extension_position, "tfw"), world_file_text(canvas.view));
  return projected;
}

}  // namespace aeroquilt
