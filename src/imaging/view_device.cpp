#include "imaging/view_device.h"

#include <algorithm>
#include <iterator>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>
#include <opencv2/core/utility.hpp>

namespace aeroquilt {
namespace {

constexpr std::size_t pixel_bytes = 3;  // blue, green, red

// Returns the failure of `expression` (a cl_status) from the calling member function,
// once nothing queued reads the caller's memory any more.
#define AQ_RETURN_IF_FAILED(expression) \
  do {                                  \
    cl_status status_ = (expression);   \
    if (!status_.ok()) {                \
      settle();                         \
      return status_;                   \
    }                                   \
  } while (false)

}  // namespace

view_device::view_device(gpu_context& gpu, const composite_options& options, bool use_dem,
                         const view_dem& dem, double ref_lat_deg, double ref_lon_deg)
    : gpu_(gpu),
      options_(options),
      use_dem_(use_dem),
      dem_(dem),
      ref_lat_deg_(ref_lat_deg),
      ref_lon_deg_(ref_lon_deg) {}

view_device::~view_device() { settle(); }

void view_device::settle() {
  // After a failure too: nothing queued may outlive the memory it reads.
  if (output_) static_cast<void>(gpu_.finish());
}

cl_status view_device::begin(const view_params& view, const cv::Mat& initial,
                             const survey_placement& placement, const view_state* start) {
  view_host_ = view;
  band_first_ = 0;
  cameras_host_.clear();
  cameras_.reset();
  first_pass_last_line_ = 0;
  won_bounds_.clear();
  band_rows_ = feathered()
                   ? feather_band_rows(view.width, view.height, options_.feather_band_pixels)
                   : std::max(view.height, 0);
  const std::size_t pixels = static_cast<std::size_t>(std::max(view.width, 0)) *
                             static_cast<std::size_t>(std::max(view.height, 0));
  const bool zero = initial.empty();
  if (!zero && (initial.total() * initial.elemSize() != pixels * pixel_bytes ||
                !initial.isContinuous()))
    return cl_check(CL_INVALID_VALUE, "clEnqueueWriteBuffer", "view output");
  AQ_RETURN_IF_FAILED(gpu_.create_buffer("view output", pixels * pixel_bytes, output_));
  const unsigned char black = 0;
  AQ_RETURN_IF_FAILED(
      zero ? gpu_.fill_buffer(output_, &black, sizeof(black), "view output")
           : gpu_.write_buffer(output_, initial.data, pixels * pixel_bytes, false, "view output"));
  AQ_RETURN_IF_FAILED(
      gpu_.create_buffer("view record", sizeof(view_params), record_, CL_MEM_READ_ONLY));

  // A plane starts from `start`'s copy when one is given, else filled with `pattern`.
  const auto plane = [&](const char* what, device_buffer& buffer, std::size_t bytes,
                         const void* pattern, std::size_t pattern_bytes, const void* copy) {
    cl_status status = gpu_.create_buffer(what, std::max(bytes, pattern_bytes), buffer);
    if (!status.ok()) return status;
    return copy != nullptr ? gpu_.write_buffer(buffer, copy, bytes, false, what)
                           : gpu_.fill_buffer(buffer, pattern, pattern_bytes, what);
  };
  const auto start_of = [&](auto view_state::*member) -> const void* {
    if (start == nullptr) return nullptr;
    const auto& copy = start->*member;
    return copy.size() == pixels ? copy.data() : nullptr;
  };
  const bool last_wins = options_.rule == composite_rule::last_wins;
  if (last_wins) {
    // The last image to see a pixel owns it: the claim plane holds the line that wrote
    // each pixel. Taken from the last image back, each pixel is sampled once; a device
    // that cannot hold the plane takes them in flight-log order, each overwriting the
    // earlier ones, unless the view goes on from a state, which needs it.
    const uint32_t unclaimed = 0;
    const cl_status status = plane("claim plane", claim_, pixels * sizeof(uint32_t), &unclaimed,
                                   sizeof(unclaimed), start_of(&view_state::claim));
    if (!status.ok() && (start != nullptr || claim_)) {
      settle();
      return status;
    }
    if (!status.ok()) claim_.reset();
    if (claim_)
      AQ_RETURN_IF_FAILED(gpu_.create_buffer("footprint lines", sizeof(footprint_host_), footprint_,
                                             CL_MEM_READ_ONLY));
  }
  if (!composites()) return {};

  const float no_score = std::numeric_limits<float>::infinity();
  const uint32_t no_source = 0;
  const float zeros[4] = {0, 0, 0, 0};
  AQ_RETURN_IF_FAILED(plane("score plane", score_, pixels * sizeof(float), &no_score, 4,
                            start_of(&view_state::score)));
  // Last wins with a claim plane: the claim is the source, one plane fewer.
  if (!claimed_source()) {
    AQ_RETURN_IF_FAILED(plane("source plane", source_, pixels * sizeof(uint32_t), &no_source, 4,
                              start_of(&view_state::source)));
  }
  AQ_RETURN_IF_FAILED(plane("compositing record", composite_, sizeof(composite_record), &no_source,
                            sizeof(no_source), nullptr));
  // Without feathering the two float4 planes are bound but never touched.
  const std::size_t band_pixels =
      static_cast<std::size_t>(std::max(view.width, 0)) * static_cast<std::size_t>(band_rows_);
  const std::size_t float4_bytes = feathered() ? band_pixels * sizeof(zeros) : sizeof(zeros);
  AQ_RETURN_IF_FAILED(
      plane("best-image plane", best_, float4_bytes, zeros, sizeof(zeros), nullptr));
  AQ_RETURN_IF_FAILED(
      plane("feather sum plane", sum_, float4_bytes, zeros, sizeof(zeros), nullptr));
  if (use_dem_) {
    AQ_RETURN_IF_FAILED(gpu_.reserve_dem_buffer(dem_.buffer_size));
    AQ_RETURN_IF_FAILED(gpu_.write_buffer(gpu_.dem_buffer(), dem_.dem_buffer.data(),
                                          dem_.buffer_size, true, "view DEM"));
    composite_dem_bytes_ = static_cast<cl_int>(std::min<uint32_t>(dem_.buffer_size, 0x7fffffffu));
  }

  // Last wins: the planes follow the view's own kernels, so they take the view's own
  // pixel placement and DEM arithmetic.
  survey_placement own;
  own.survey = view;
  base_ = composite_view_record(last_wins ? own : placement, dem_, use_dem_, !last_wins,
                                ref_lat_deg_, ref_lon_deg_, options_.feather_pixels);
  base_.flags |= last_wins ? composite_last_wins : composite_write_colour;
  if (claimed_source()) base_.flags |= composite_claimed;
  return {};
}

kernel_launch view_device::projection() const {
  const kernel_id id =
      use_dem_ ? (claim_ ? kernel_id::project_image_dem_claimed : kernel_id::project_image_dem)
               : (claim_ ? kernel_id::project_image_claimed : kernel_id::project_image);
  kernel_launch launch = gpu_.launch(id);
  launch.set("image_width", gpu_.image_width())
      .set("image_height", gpu_.image_height())
      .set("view", record_)
      .set("output", output_)
      .set("image", gpu_.image_buffer());
  if (use_dem_) {
    launch.set("dem", gpu_.dem_buffer())
        .set("dem_bytes", static_cast<cl_int>(std::min<uint32_t>(dem_.buffer_size, 0x7fffffffu)))
        .set("ref_lat_deg", static_cast<float>(ref_lat_deg_))
        .set("ref_lon_deg", static_cast<float>(ref_lon_deg_));
  }
  if (claim_) {
    launch.set("claimed", claim_).set("line", line_);
    if (!use_dem_) launch.set("footprint", footprint_);
  }
  return launch;
}

kernel_launch view_device::compositing(int pass) const {
  const bool feather = feathered() && pass == 2;
  kernel_id kernel = feather ? kernel_id::composite_feather : kernel_id::composite_best_view;
  // From geometry on flat ground each pass has a kernel without the other cases (the same
  // arithmetic) whose work items draw row spans: a short per-pixel loop runs faster on a
  // CPU device. All but the colour pass bisect the frame's footprint lines.
  if (geometric() && !use_dem_ && pass == 1 && !feathered()) {
    kernel = kernel_id::composite_sample_won_flat;
  } else if (geometric() && (record_host_.flags & composite_footprint) != 0) {
    kernel = pass == 0 ? kernel_id::composite_best_view_flat
             : feather ? kernel_id::composite_feather_flat
                       : kernel_id::composite_extras_flat;
  }
  kernel_launch launch = gpu_.launch(kernel);
  // Each kernel takes its own arguments of these; run() refuses one left unset.
  const auto set = [&launch](const char* argument, const auto& value) {
    if (launch.takes(argument)) launch.set(argument, value);
  };
  set("image_width", gpu_.image_width());
  set("image_height", gpu_.image_height());
  set("view", record_);
  set("output", output_);
  set("image", gpu_.image_buffer());
  set("dem", gpu_.dem_buffer());
  set("dem_bytes", composite_dem_bytes_);
  set("rec", composite_);
  set("score", score_);
  set("source", source_plane());
  set("best", best_);
  set("sum", sum_);
  set("plane_row", static_cast<cl_int>(band_first_));
  set("cameras", cameras_);
  set("camera_count", static_cast<cl_int>(cameras_host_.size() / 3));
  return launch;
}

int feather_band_rows(int width, int height, int64_t least_pixels) {
  if (width < 1 || height < 1) return std::max(height, 0);
  const int quarter = (height + 3) / 4;
  const int64_t least = (std::max<int64_t>(least_pixels, 1) + width - 1) / width;
  return static_cast<int>(std::min<int64_t>(height, std::max<int64_t>(quarter, least)));
}

namespace {

// Two output pixels beyond the footprint lines (within the inner ones): rounding never
// refuses a pixel the projection would take (nor takes one it would refuse).
double footprint_margin(const view_params& view) { return 2.0 * view.pixel_size + 0.01; }

}  // namespace

cl_status view_device::draw(int pass, const image_geometry& geometry, const cv::Mat& frame,
                            const footprint_window& window, const view_params& view) {
  // A record that does not describe the output buffer, or a window beyond the band, would
  // let a kernel write past a buffer.
  if (!output_ || view.width != view_host_.width || view.height != view_host_.height ||
      window.r0 < 0 || window.c0 < 0 ||
      (banded(pass) && (window.r0 < band_first_ || window.r1 >= band_first_ + band_rows_)))
    return cl_check(CL_INVALID_VALUE, "clEnqueueNDRangeKernel", "view record");
  const bool projects = options_.rule == composite_rule::last_wins;
  line_ = std::max(geometry.log_line, 1);
  const auto own_line = static_cast<uint32_t>(std::max(geometry.log_line, 0));
  footprint_window drawn = window;
  if (composites() && pass == 0)
    first_pass_last_line_ = std::max(first_pass_last_line_, own_line);
  if (composites() && pass == 1) {
    if (won_bounds_.empty()) AQ_RETURN_IF_FAILED(find_won_bounds());
    if (!cut_to_won(own_line, drawn)) return {};
  }
  // On flat ground the frame's footprint lines refuse, before their projection, the
  // pixels the frame cannot see.
  composite_record lines;
  const bool footprint = !use_dem_ && (composites() || (projects && claim_)) &&
                         flat_footprint_lines(view, gpu_.image_width(), gpu_.image_height(),
                                              footprint_margin(view), lines);
  AQ_RETURN_IF_FAILED(gpu_.write_buffer(record_, &view, sizeof(view), false, "view record"));
  if (composites()) {
    record_host_ = base_;
    // The second pass of feathering: the terms of the pixels best view gave this frame.
    if (feathered() && pass == 1) record_host_.flags |= composite_extras;
    if (geometric()) {
      record_host_.flags &= ~composite_write_colour;
      record_host_.flags |= composite_geometry | (reads_frames(pass) ? composite_sample_won : 0);
    }
    for (int axis = 0; axis < 3; ++axis)
      record_host_.camera[axis] = static_cast<float>(geometry.camera_position(axis));
    // Claimed last wins finds its pixels by the line the projection claims them with.
    record_host_.source =
        (base_.flags & composite_claimed) != 0 ? static_cast<uint32_t>(line_) : own_line;
    if (footprint) {
      // Within the inner lines best view from geometry takes a pixel without its
      // projection; deep within the edge slopes feathering needs no frame-edge distance.
      std::copy(std::begin(lines.footprint), std::end(lines.footprint), record_host_.footprint);
      std::copy(std::begin(lines.inner), std::end(lines.inner), record_host_.inner);
      std::copy(std::begin(lines.edge_slope), std::end(lines.edge_slope), record_host_.edge_slope);
      record_host_.flags |= composite_footprint;
    }
    if (feathered() && pass == 0) {
      // Every line a pixel's best image can hold is drawn in best view's pass.
      const std::size_t at = 3 * static_cast<std::size_t>(record_host_.source);
      if (cameras_host_.size() < at + 3) cameras_host_.resize(at + 3, 0.0f);
      std::copy(std::begin(record_host_.camera), std::end(record_host_.camera),
                cameras_host_.begin() + static_cast<std::ptrdiff_t>(at));
    }
    if (feathered() && pass == 2 && !cameras_) {
      if (cameras_host_.empty()) cameras_host_.assign(3, 0.0f);
      const std::size_t bytes = cameras_host_.size() * sizeof(float);
      AQ_RETURN_IF_FAILED(
          gpu_.create_buffer("line cameras", bytes, cameras_, CL_MEM_READ_ONLY));
      AQ_RETURN_IF_FAILED(
          gpu_.write_buffer(cameras_, cameras_host_.data(), bytes, true, "line cameras"));
    }
    AQ_RETURN_IF_FAILED(gpu_.write_buffer(composite_, &record_host_, sizeof(record_host_), false,
                                          "compositing record"));
  }
  if (projects && claim_ && !use_dem_) {
    std::copy(std::begin(lines.footprint), std::end(lines.footprint), footprint_host_);
    footprint_host_[12] = footprint ? 1.0f : 0.0f;
    AQ_RETURN_IF_FAILED(gpu_.write_buffer(footprint_, footprint_host_, sizeof(footprint_host_),
                                          false, "footprint lines"));
  }
  if (projects && use_dem_) {
    AQ_RETURN_IF_FAILED(gpu_.reserve_dem_buffer(dem_.buffer_size));
    AQ_RETURN_IF_FAILED(gpu_.write_buffer(gpu_.dem_buffer(), dem_.dem_buffer.data(),
                                          dem_.buffer_size, false, "view DEM"));
  }
  // Blocking: the writes above are done when it returns, so their memory may change.
  if (reads_frames(pass)) {
    AQ_RETURN_IF_FAILED(gpu_.upload_frame(frame.data));
  } else {
    AQ_RETURN_IF_FAILED(gpu_.finish());
  }
  const auto r0 = static_cast<std::size_t>(drawn.r0), c0 = static_cast<std::size_t>(drawn.c0);
  const auto rows = static_cast<std::size_t>(std::max(drawn.rows(), 0));
  const auto cols = static_cast<std::size_t>(std::max(drawn.cols(), 0));
  if (projects) AQ_RETURN_IF_FAILED(projection().run(r0, rows, c0, cols));
  if (composites()) AQ_RETURN_IF_FAILED(compositing(pass).run(r0, rows, c0, cols));
  return {};
}

cl_status view_device::find_won_bounds() {
  const std::size_t lines = std::size_t{first_pass_last_line_} + 1;
  const cl_int empty[4] = {std::numeric_limits<cl_int>::max(), -1,
                           std::numeric_limits<cl_int>::max(), -1};
  device_buffer bounds;
  AQ_RETURN_IF_FAILED(gpu_.create_buffer("won bounds", lines * sizeof(empty), bounds));
  AQ_RETURN_IF_FAILED(gpu_.fill_buffer(bounds, empty, sizeof(empty), "won bounds"));
  // The record gives the kernel the view's size: written here, as no draw may have yet.
  AQ_RETURN_IF_FAILED(gpu_.write_buffer(record_, &view_host_, sizeof(view_host_), false,
                                        "view record"));
  AQ_RETURN_IF_FAILED(gpu_.launch(kernel_id::composite_won_bounds)
                          .set("view", record_)
                          .set("source", source_plane())
                          .set("bounds", bounds)
                          .set("line_count", static_cast<cl_int>(std::min<std::size_t>(
                                                 lines, std::numeric_limits<cl_int>::max())))
                          .run(0, static_cast<std::size_t>(view_host_.height), 0, 1));
  std::vector<cl_int> found(lines * 4);
  AQ_RETURN_IF_FAILED(gpu_.read_buffer(bounds, found.data(), found.size() * sizeof(cl_int),
                                       "won bounds"));
  won_bounds_ = std::move(found);
  return {};
}

bool view_device::cut_to_won(uint32_t line, footprint_window& window) const {
  // A line the first pass did not draw has no box: its window stays whole.
  if (std::size_t{line} * 4 + 3 >= won_bounds_.size()) return true;
  const cl_int* box = won_bounds_.data() + std::size_t{line} * 4;
  window.r0 = std::max(window.r0, box[0]);
  window.r1 = std::min(window.r1, box[1]);
  window.c0 = std::max(window.c0, box[2]);
  window.c1 = std::min(window.c1, box[3]);
  return window.r0 <= window.r1 && window.c0 <= window.c1;
}

cl_status view_device::read_output(cv::Mat& image) {
  image.create(view_host_.height, view_host_.width, CV_8UC3);
  return gpu_.read_buffer(output_, image.data, image.total() * image.elemSize(), "view output");
}

namespace {

// Matrices over device buffers mapped for the host: OpenCV's reference count owns the
// mapping, so the last matrix to let go of it (however it was copied) unmaps it.
class mapped_allocator final : public cv::MatAllocator {
 public:
  // Never asked to allocate: a matrix that is made anew takes the default allocator.
  cv::UMatData* allocate(int, const int*, int, void*, size_t*, cv::AccessFlag,
                         cv::UMatUsageFlags) const override {
    return nullptr;
  }
  bool allocate(cv::UMatData*, cv::AccessFlag, cv::UMatUsageFlags) const override {
    return false;
  }
  void deallocate(cv::UMatData* data) const override {
    delete static_cast<mapped_buffer*>(data->userdata);
    delete data;
  }
};

// A rows x cols matrix of `type` over `mapped`, which it keeps.
cv::Mat mapped_matrix(mapped_buffer&& mapped, int rows, int cols, int type) {
  static const mapped_allocator allocator;
  auto owner = std::make_unique<mapped_buffer>(std::move(mapped));
  auto data = std::make_unique<cv::UMatData>(&allocator);
  data->data = data->origdata = static_cast<uchar*>(owner->data());
  data->size = owner->bytes();
  data->refcount = 1;
  cv::Mat matrix(rows, cols, type, owner->data());
  data->userdata = owner.release();
  matrix.u = data.release();
  return matrix;
}

}  // namespace

cl_status view_device::blend_band() {
  AQ_RETURN_IF_FAILED(gpu_.write_buffer(record_, &view_host_, sizeof(view_host_), false,
                                        "view record"));
  const int rows = std::min(band_rows_, view_host_.height - band_first_);
  return gpu_.launch(kernel_id::composite_blend)
      .set("view", record_)
      .set("output", output_)
      .set("best", best_)
      .set("sum", sum_)
      .set("feather", options_.feather_pixels)
      .set("plane_row", static_cast<cl_int>(band_first_))
      .run(static_cast<std::size_t>(band_first_), static_cast<std::size_t>(std::max(rows, 0)), 0,
           static_cast<std::size_t>(view_host_.width));
}

cl_status view_device::begin_band(int first_row) {
  if (!feathered() || first_row == band_first_) return {};
  if (!output_ || first_row < 0 || first_row >= view_host_.height)
    return cl_check(CL_INVALID_VALUE, "clEnqueueNDRangeKernel", "view record");
  AQ_RETURN_IF_FAILED(blend_band());
  const float zeros[4] = {0, 0, 0, 0};
  AQ_RETURN_IF_FAILED(gpu_.fill_buffer(best_, zeros, sizeof(zeros), "best-image plane"));
  AQ_RETURN_IF_FAILED(gpu_.fill_buffer(sum_, zeros, sizeof(zeros), "feather sum plane"));
  band_first_ = first_row;
  return {};
}

cl_status view_device::finish(cv::Mat& image, composite_planes& planes, view_state* end) {
  if (feathered()) AQ_RETURN_IF_FAILED(blend_band());
  const std::size_t pixels =
      static_cast<std::size_t>(view_host_.width) * static_cast<std::size_t>(view_host_.height);
  const bool maps = options_.source_map || options_.angle_map;
  // The pixels where the device left them, as the planes below: no copy into fresh pages.
  mapped_buffer pixels_memory;
  AQ_RETURN_IF_FAILED(gpu_.map_buffer(output_, pixels * pixel_bytes, "view output", pixels_memory));
  image = mapped_matrix(std::move(pixels_memory), view_host_.height, view_host_.width, CV_8UC3);
  if (end != nullptr) {
    // What a later rendering of the view goes on from: the pixels and every plane a
    // frame is drawn against (feathering is not continued: it blends finished planes).
    end->image = image.clone();
    end->claim.assign(claim_ ? pixels : 0, 0);
    end->score.assign(composites() ? pixels : 0, 0.0f);
    // Claimed last wins keeps no source plane of its own: the claim is the source.
    const bool own_source = composites() && !claimed_source();
    end->source.assign(own_source ? pixels : 0, 0);
    if (claim_) {
      AQ_RETURN_IF_FAILED(
          gpu_.read_buffer(claim_, end->claim.data(), pixels * sizeof(uint32_t), "claim plane"));
    }
    if (composites()) {
      AQ_RETURN_IF_FAILED(
          gpu_.read_buffer(score_, end->score.data(), pixels * sizeof(float), "score plane"));
    }
    if (own_source) {
      AQ_RETURN_IF_FAILED(
          gpu_.read_buffer(source_, end->source.data(), pixels * sizeof(uint32_t), "source plane"));
    }
  }
  if (!maps) return {};
  // The maps are written from the device's planes in place: a read-back would copy them
  // into hundreds of megabytes of fresh pages. The angle map needs the score plane, and
  // the source plane for where nothing was drawn; a source map alone needs the latter.
  AQ_RETURN_IF_FAILED(gpu_.map_buffer(source_plane(), pixels * sizeof(uint32_t), "source plane",
                                      planes.source_memory));
  const auto* sources = static_cast<const uint32_t*>(planes.source_memory.data());
  planes.source = sources;
  if (!options_.angle_map) return {};
  AQ_RETURN_IF_FAILED(
      gpu_.map_buffer(score_, pixels * sizeof(float), "score plane", planes.angle_memory));
  // The device keeps the squared tangent of the angle, which orders as the angle does;
  // a pixel no frame reached has no angle. The view is done with the plane.
  auto* angles = static_cast<float*>(planes.angle_memory.data());
  planes.angle_deg = angles;
  cv::parallel_for_(
      cv::Range(0, static_cast<int>((pixels + 65535) / 65536)), [&](const cv::Range& r) {
        const std::size_t end = std::min(pixels, std::size_t(r.end) * 65536);
        for (std::size_t i = std::size_t(r.start) * 65536; i < end; ++i) {
          angles[i] = sources[i] == 0 ? std::numeric_limits<float>::quiet_NaN()
                                      : static_cast<float>(std::atan(std::sqrt(double(angles[i]))) *
                                                           180.0 / M_PI);
        }
      });
  return {};
}

}  // namespace aeroquilt
