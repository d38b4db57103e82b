#include "app/view_output.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <opencv2/core/utility.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "base/console.h"
#include "base/fatal_error.h"
#include "imaging/view_projection.h"
#include "output/output_files.h"

namespace aeroquilt {
namespace {

// Opens and closes a window in a child process. The GUI toolkit aborts the whole
// process when DISPLAY names a display it cannot reach (a stale forwarded session, a
// CI runner with DISPLAY exported), so the run only opens windows once a child has
// done so and ended normally.
bool window_opens_in_child() {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    // The toolkit's complaints about the display are not the run's messages.
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
    }
    cv::namedWindow("aeroquilt display check", cv::WINDOW_AUTOSIZE);
    cv::destroyAllWindows();
    ::_exit(0);
  }
  // A display that neither answers nor refuses counts as unusable after 10 s.
  for (int waited_ms = 0; waited_ms < 10000; waited_ms += 10) {
    int status = 0;
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (done < 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  return false;
}

}  // namespace

bool display_available() {
  static const bool usable = [] {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (!((x11 && *x11) || (wayland && *wayland))) return false;
    return window_opens_in_child();
  }();
  return usable;
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

bool save_view_image(image_cache& canvas, const std::string& path,
                     const raster_georeference* georeference) {
  return write_image_reported(
      path, canvas.current_image, {},
      georeference ? *georeference : view_georeference(canvas.view, record_frame(canvas.view)));
}

void start_png_writer(image_cache& canvas, const std::string& path,
                      const raster_georeference* placement) {
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
  const raster_georeference georeference =
      placement ? *placement : view_georeference(canvas.view, record_frame(canvas.view));
  canvas.png_written = false;
  canvas.writer_thread = std::thread([&canvas, georeference] {
    canvas.png_written =
        write_image_reported(canvas.png_name, canvas.png_copy, canvas.png_params, georeference);
  });
}

view_result render_view(mosaic_job& job, const view_params& view, const std::string& path,
                        double preview_scale) {
  view_result result;
  image_cache& canvas = job.output_canvas;
  install_view(canvas, view);
  console_printf("generating DEM for View, %s\n", g_config.DEM_filename.c_str());
  if (build_view_dem(job.dem, view) == 0) {
    result.outcome = view_outcome::dem_not_covered;
    return result;
  }

  gpu_context& gpu = job.gpu;
  // Without its output buffer a view would be read back as all black and saved as if
  // projected.
  if (!gpu.create_view_buffers(canvas.view, canvas.current_image.data)) {
    console_printf("view %s left out: the device cannot hold its %d x %d pixels\n", path.c_str(),
                   canvas.view.width, canvas.view.height);
    result.outcome = view_outcome::buffer_not_created;
    return result;
  }
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
  result.projected = projected;
  if (projected == 0) return result;

  console_printf("Saving Projected Image and KML %s\n", path.c_str());
  std::size_t extension_position = 0;
  const int extension = find_output_extension(path, extension_position);
  if (extension < 0) throw fatal_error("extension not found\n");
  const raster_georeference georeference =
      view_georeference(canvas.view, make_local_frame(job.images.centre_lat, job.images.centre_lon));
  bool saved = false;
  if (extension >= 4) {
    start_png_writer(canvas, path, &georeference);
    canvas.writer_thread.join();
    saved = canvas.png_written;
  } else {
    saved = save_view_image(canvas, path, &georeference);
  }
  // Side files for an image that is not there would point at nothing, and the
  // view must not count as written.
  if (!saved) {
    result.outcome = view_outcome::image_not_written;
    return result;
  }

  const std::size_t slash = path.find_last_of("/\\");
  const std::string href = slash == std::string::npos ? path : path.substr(slash + 1);
  result.kml_path = side_file_path(path, extension_position, "kml");
  write_output_text(result.kml_path,
                    ground_overlay_kml(href, canvas.view.lat_max, canvas.view.lat_min,
                                       canvas.view.lon_max, canvas.view.lon_min, "\t"));
  write_output_text(side_file_path(path, extension_position, "tfw"), world_file_text(canvas.view));
  // What GIS readers look for: the conventional world file and the .prj (a TIFF holds
  // its georeferencing inside), describing each pixel centre exactly.
  write_georeference_side_files(path, georeference);
  result.outcome = view_outcome::written;
  return result;
}

}  // namespace aeroquilt
