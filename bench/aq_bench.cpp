// Benchmark driver for bench/run_bench.sh:
//   aq_bench make <folder> rgb|thermal   the benchmark survey (once) and its peer inputs
//   aq_bench run <config>                a whole run in process; pauses recorded, not slept
//   aq_bench stages <config>             the run's stages one after the other, each timed
//   aq_bench floor <config> <mosaic>     decode every frame once, encode the mosaic once
//   aq_bench hardfloor <config> <mosaic>  the hard floor: every frame decoded once by
//                                        libjpeg-turbo straight to BGR, the mosaic's raw
//                                        RGBA deflated once by ISA-L at its fastest level,
//                                        one thread
//   aq_bench png <mosaic>                the PNG stage: the library's encoder, then the band
//                                        encoder on every core and on one
//
// Times are wall-clock seconds on stdout as "key value" lines, which the script parses.

#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <thread>
#include <vector>

#include "app/image_set.h"
#include "app/job.h"
#include "app/mosaic_request.h"
#include "app/run_main.h"
#include "base/console.h"
#include "imaging/jpeg_frame.h"
#include "imaging/preview.h"
#include "imaging/view_operation.h"
#include "output/png_encoder.h"
#include "output/view_files.h"
#include "survey/synthetic_survey.h"

namespace {

using namespace aeroquilt;
using aeroquilt::testing::survey_design;
using aeroquilt::testing::survey_image_format;
using aeroquilt::testing::survey_truth;
using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

// 10 lines of 16 frames at 250 m: 0.1 m ground resolution in the 1280 x 1024
// colour frames (0.2 m in the 640 x 512 thermal ones, same field of view),
// 61 % forward and 30 % side overlap, mosaic at 0.2 m.
survey_design bench_spec(bool thermal) {
  survey_design design;
  design.image_width = thermal ? 640 : 1280;
  design.image_height = thermal ? 512 : 1024;
  design.focal_length_px = thermal ? 1250.0 : 2500.0;
  design.supersampling = 1;
  design.line_count = 10;
  design.images_per_line = 16;
  design.line_spacing_m = 90.0;
  design.image_spacing_m = 40.0;
  design.dem_margin_m = 300.0;
  design.output_pixel_size_m = 0.2;
  design.image_format = thermal ? survey_image_format::thermal16 : survey_image_format::jpeg;
  return design;
}

// A VRT of one frame with a 5 x 5 grid of ground control points (pixel centres
// to longitude and latitude, from the survey's own ray caster), for gdalwarp.
std::string gcp_vrt(const survey_truth& truth, int camera) {
  const survey_design& design = truth.design;
  const bool thermal = design.image_format == survey_image_format::thermal16;
  std::string xml = "<VRTDataset rasterXSize=\"" + std::to_string(design.image_width) +
                    "\" rasterYSize=\"" + std::to_string(design.image_height) + "\">\n";
  xml += "  <GCPList Projection=\"EPSG:4326\">\n";
  int id = 0;
  for (int gy = 0; gy < 5; ++gy) {
    for (int gx = 0; gx < 5; ++gx) {
      // GDAL pixel coordinates have 0 at the frame's outer edge; the survey's u
      // and v count 1 at the first pixel's centre.
      const double pixel = 0.5 + gx * (design.image_width - 1) / 4.0;
      const double line = 0.5 + gy * (design.image_height - 1) / 4.0;
      aeroquilt::testing::local_point ground;
      if (!truth.pixel_ground_point(camera, pixel + 0.5, line + 0.5, ground))
        throw std::runtime_error("control point ray misses the ground");
      const auto geo = truth.local_to_geographic(ground.x_m, ground.y_m);
      char text[200];
      std::snprintf(text, sizeof(text),
                    "    <GCP Id=\"%d\" Pixel=\"%.3f\" Line=\"%.3f\" X=\"%.10f\" Y=\"%.10f\"/>\n",
                    ++id, pixel, line, geo.longitude_deg, geo.latitude_deg);
      xml += text;
    }
  }
  xml += "  </GCPList>\n";
  const char* colours[3] = {"Red", "Green", "Blue"};
  const int bands = thermal ? 1 : 3;
  const std::string source =
      std::filesystem::absolute(truth.files.image_dir + truth.cameras[camera].name).string();
  for (int band = 1; band <= bands; ++band) {
    xml += "  <VRTRasterBand dataType=\"" + std::string(thermal ? "UInt16" : "Byte") +
           "\" band=\"" + std::to_string(band) + "\">\n";
    xml += "    <ColorInterp>" + std::string(thermal ? "Gray" : colours[band - 1]) +
           "</ColorInterp>\n";
    xml += "    <SimpleSource><SourceFilename relativeToVRT=\"0\">" + source +
           "</SourceFilename><SourceBand>" + std::to_string(band) +
           "</SourceBand></SimpleSource>\n";
    xml += "  </VRTRasterBand>\n";
  }
  return xml + "</VRTDataset>\n";
}

int make_bench_survey(const std::string& folder, bool thermal) {
  const survey_design design = bench_spec(thermal);
  const auto start = clock_type::now();
  const survey_truth truth = std::filesystem::exists(folder + "/survey.cfg")
                                 ? aeroquilt::testing::plan_survey(design, folder)
                                 : aeroquilt::testing::make_survey(design, folder);
  const std::string peer_dir = folder + "/peer/";
  std::filesystem::create_directories(peer_dir);
  std::ofstream list(peer_dir + "frames.txt");
  for (int i = 0; i < static_cast<int>(truth.cameras.size()); ++i) {
    char name[32];
    std::snprintf(name, sizeof(name), "frame_%03d.vrt", i);
    std::ofstream(peer_dir + name) << gcp_vrt(truth, i);
    list << peer_dir + name << "\n";
  }
  std::printf("frames %zu\nframe_size %dx%d\nmake_seconds %.2f\n", truth.cameras.size(),
              design.image_width, design.image_height, seconds_since(start));
  return 0;
}

int whole_run(const std::string& config_path) {
  console_capture capture;
  std::string path = config_path;
  char program[] = "aeroquilt";
  char* argv[] = {program, path.data(), nullptr};
  const auto start = clock_type::now();
  const int code = run_main(2, argv);
  const double seconds = seconds_since(start);
  std::printf("run_seconds %.3f\npaused_seconds %.3f\nexit_code %d\n", seconds,
              capture.paused_ms() / 1000.0, code);
  return 0;
}

// The stages of one whole-view run, in the order the program does them but one
// at a time (no loader threads, each frame's launches waited for), so that each can be
// timed on its own.
int staged_run(const std::string& config_path) {
  console_capture capture;
  disable_preview();
  mosaic_job job;
  const auto start = clock_type::now();
  mosaic_request request;
  if (!load_mosaic_request(config_path, request)) return 1;
  if (prepare_image_set(job, request) == 0) return 1;
  const double prepare = seconds_since(start);

  auto t = clock_type::now();
  const view_params view = survey_view_params(job_footprints(job), request.pixel_size,
                                              job.images.centre_lat, job.images.centre_lon);
  frame_source frames(job.input_cache, request.projection, job.loader.lens.no_data());
  const view_setting setting{job.gpu,
                             frames,
                             job.geometries,
                             job.dem,
                             view,
                             job.images.centre_lat,
                             job.images.centre_lon,
                             request.views};
  view_timing timing;
  const rendered_view rendered =
      render_view_canvas(setting, view, all_frames(job.geometry_count), &timing);
  if (rendered.status != view_status::rendered) return 1;
  const double view_total = seconds_since(t);

  t = clock_type::now();
  const std::string out_path = request.output_dir + "stages_" + request.output_filename;
  std::filesystem::create_directories(request.output_dir);
  write_view_image(out_path, rendered.image,
                   view_georeference(rendered.view, make_local_frame(job.images.centre_lat,
                                                                     job.images.centre_lon)),
                   request.png_encode_threads);
  const double encode = seconds_since(t);
  std::filesystem::remove(out_path);
  const double total = seconds_since(start);

  std::printf(
      "prepare_seconds %.3f\nview_setup_seconds %.3f\ndecode_seconds %.3f\n"
      "kernel_seconds %.3f\nfinal_readback_seconds %.3f\nencode_seconds %.3f\n"
      "staged_total_seconds %.3f\nimages %d\noutput_megapixels %.3f\n"
      "kernel_window_megapixels %.3f\noutput_width %d\noutput_height %d\n"
      "lon_min %.10f\nlat_max %.10f\nlon_per_pixel %.12g\nlat_per_pixel %.12g\n",
      prepare, view_total - timing.frames_s - timing.launches_s - timing.readback_s,
      timing.frames_s, timing.launches_s, timing.readback_s, encode, total, rendered.projected,
      view.width * static_cast<double>(view.height) / 1e6, timing.window_megapixels, view.width,
      view.height, static_cast<double>(view.lon_min), static_cast<double>(view.lat_max),
      static_cast<double>(view.lon_per_pixel), static_cast<double>(view.lat_per_pixel));
  return 0;
}

// The floor: every input frame decoded once and the mosaic encoded once, with
// OpenCV as the program uses it (PNG outputs: four channels, compression 3).
// Every file of the request's frame folder, in name order.
std::vector<std::string> frames_of(const mosaic_request& request) {
  std::vector<std::string> frames;
  for (const auto& entry : std::filesystem::directory_iterator(request.image_dir))
    frames.push_back(entry.path().string());
  std::sort(frames.begin(), frames.end());
  return frames;
}

int floor_run(const std::string& config_path, const std::string& mosaic_path) {
  console_capture capture;
  mosaic_request request;
  if (!load_mosaic_request(config_path, request)) return 1;
  const bool thermal = request.frames.use_16bit_image_input != 0;
  const std::vector<std::string> frames = frames_of(request);

  auto t = clock_type::now();
  std::size_t decoded = 0;
  for (const std::string& frame : frames) {
    const cv::Mat image = cv::imread(frame, thermal ? cv::IMREAD_ANYDEPTH : cv::IMREAD_COLOR);
    decoded += image.empty() ? 0 : 1;
  }
  const double decode = seconds_since(t);

  const cv::Mat mosaic = cv::imread(mosaic_path, cv::IMREAD_UNCHANGED);
  if (mosaic.empty()) {
    std::fprintf(stderr, "cannot read %s\n", mosaic_path.c_str());
    return 1;
  }
  const std::string encoded_path = mosaic_path + ".floor.png";
  t = clock_type::now();
  const bool png =
      mosaic_path.size() > 4 && (mosaic_path.substr(mosaic_path.size() - 4) == ".png" ||
                                 mosaic_path.substr(mosaic_path.size() - 4) == ".PNG");
  if (png) {
    cv::imwrite(encoded_path, mosaic, {cv::IMWRITE_PNG_COMPRESSION, 3});
  } else {
    cv::imwrite(encoded_path + mosaic_path.substr(mosaic_path.rfind('.')), mosaic);
  }
  const double encode = seconds_since(t);
  std::filesystem::remove(encoded_path);
  std::printf(
      "floor_frames %zu\nfloor_decode_seconds %.3f\nfloor_encode_seconds %.3f\n"
      "floor_seconds %.3f\n",
      decoded, decode, encode, decode + encode);
  return 0;
}

// The hard floor of a run: what no mosaicker can avoid, each done once on one thread by the
// fastest library for it. Frames that are not JPEG (thermal PNG) are decoded by the image
// library instead, and counted apart. File reads are left out of the decode time.
int hard_floor_run(const std::string& config_path, const std::string& mosaic_path) {
  console_capture capture;
  mosaic_request request;
  if (!load_mosaic_request(config_path, request)) return 1;
  const std::vector<std::string> frames = frames_of(request);

  double decode = 0;
  std::size_t jpeg = 0, other = 0;
  std::vector<unsigned char> bytes;
  for (const std::string& frame : frames) {
    std::ifstream in(frame, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const bool is_jpeg = bytes.size() > 3 && bytes[0] == 0xFF && bytes[1] == 0xD8;
    const auto t = clock_type::now();
    if (is_jpeg) {
      jpeg += decode_jpeg_bgr(bytes).empty() ? 0 : 1;
    } else {
      other += cv::imdecode(bytes, cv::IMREAD_UNCHANGED).empty() ? 0 : 1;
    }
    decode += seconds_since(t);
  }

  const cv::Mat mosaic = cv::imread(mosaic_path, cv::IMREAD_UNCHANGED);
  if (mosaic.empty() || mosaic.depth() != CV_8U) {
    std::fprintf(stderr, "cannot read %s as an 8-bit image\n", mosaic_path.c_str());
    return 1;
  }
  cv::Mat rgba;
  cv::cvtColor(mosaic, rgba, mosaic.channels() == 4 ? cv::COLOR_BGRA2RGBA : cv::COLOR_BGR2RGBA);
  const std::size_t raw = rgba.total() * 4;
  std::vector<unsigned char> deflated(raw + raw / 8 + (1 << 16));
  const auto t = clock_type::now();
  isal_zstream stream;
  isal_deflate_stateless_init(&stream);
  stream.level = 0;
  stream.end_of_stream = 1;
  stream.flush = NO_FLUSH;
  stream.next_in = rgba.data;
  stream.avail_in = static_cast<uint32_t>(raw);
  stream.next_out = deflated.data();
  stream.avail_out = static_cast<uint32_t>(deflated.size());
  const int status = isal_deflate_stateless(&stream);
  const double deflate = seconds_since(t);
  if (status != COMP_OK) {
    std::fprintf(stderr, "ISA-L deflate failed (%d)\n", status);
    return 1;
  }
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  std::printf(
      "hard_floor_jpeg_frames %zu\nhard_floor_other_frames %zu\nhard_floor_decode_seconds %.3f\n"
      "hard_floor_deflate_seconds %.3f\nhard_floor_deflated_bytes %zu\nhard_floor_seconds %.3f\n"
      "hard_floor_cores %u\nhard_floor_all_cores_seconds %.3f\n",
      jpeg, other, decode, deflate, static_cast<std::size_t>(stream.total_out), decode + deflate,
      cores, (decode + deflate) / cores);
  return 0;
}

// The PNG stage alone on a finished four-channel mosaic, in memory: what the run did
// before (the transparent copy, then the library at compression 3 on one thread) and
// does now (the band encoder).
int png_stage(const std::string& mosaic_path) {
  const cv::Mat mosaic = cv::imread(mosaic_path, cv::IMREAD_UNCHANGED);
  if (mosaic.empty()) {
    std::fprintf(stderr, "cannot read %s\n", mosaic_path.c_str());
    return 1;
  }
  // Wall and processor seconds (all threads): on a shared machine the wall time of
  // the threads depends on what else runs.
  const auto cpu_since = [](std::clock_t start) {
    return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  };
  // The canvas the run holds: BGR, black where the mosaic is transparent. Both
  // encoders start from it, as in write_view_image: the library after the
  // transparent copy, the bands making the alpha row by row.
  cv::Mat canvas;
  cv::cvtColor(mosaic, canvas, cv::COLOR_BGRA2BGR);
  auto t = clock_type::now();
  std::clock_t c = std::clock();
  std::vector<unsigned char> library;
  cv::imencode(".png", transparent_copy(canvas), library, {cv::IMWRITE_PNG_COMPRESSION, 3});
  const double library_seconds = seconds_since(t), library_cpu = cpu_since(c);
  t = clock_type::now();
  c = std::clock();
  const std::vector<unsigned char> bands = encode_png(canvas, 3, 0, png_pixels::transparent_black);
  const double bands_seconds = seconds_since(t), bands_cpu = cpu_since(c);
  t = clock_type::now();
  c = std::clock();
  const std::vector<unsigned char> one = encode_png(canvas, 3, 1, png_pixels::transparent_black);
  const double one_seconds = seconds_since(t), one_cpu = cpu_since(c);
  const cv::Mat decoded = cv::imdecode(bands, cv::IMREAD_UNCHANGED);
  const bool same = !decoded.empty() && decoded.size() == mosaic.size() &&
                    decoded.type() == mosaic.type() &&
                    cv::norm(decoded, mosaic, cv::NORM_INF) == 0.0;
  std::printf(
      "png_library_seconds %.3f\npng_bands_seconds %.3f\npng_bands_one_thread_seconds %.3f\n"
      "png_library_cpu_seconds %.3f\npng_bands_cpu_seconds %.3f\n"
      "png_bands_one_thread_cpu_seconds %.3f\n"
      "png_library_bytes %zu\npng_bands_bytes %zu\npng_same_pixels %d\n",
      library_seconds, bands_seconds, one_seconds, library_cpu, bands_cpu, one_cpu, library.size(),
      bands.size(), same ? 1 : 0);
  return same ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  try {
    if (command == "make" && argc == 4)
      return make_bench_survey(argv[2], std::strcmp(argv[3], "thermal") == 0);
    if (command == "run" && argc == 3) return whole_run(argv[2]);
    if (command == "stages" && argc == 3) return staged_run(argv[2]);
    if (command == "floor" && argc == 4) return floor_run(argv[2], argv[3]);
    if (command == "hardfloor" && argc == 4) return hard_floor_run(argv[2], argv[3]);
    if (command == "png" && argc == 3) return png_stage(argv[2]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "aq_bench: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr,
               "usage: aq_bench make <folder> rgb|thermal | run <config> | stages <config> | "
               "floor <config> <mosaic> | hardfloor <config> <mosaic> | png <mosaic>\n");
  return 2;
}
