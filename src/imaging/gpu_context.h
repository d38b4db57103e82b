#pragma once
// Every OpenCL object of a run: context on the first platform, in-order queue,
// the program built from kernels/direct_registration.cl, its five kernels, the claimed
// projections and the compositing ones, the run-long buffers (camera image, DEM) and
// the buffers of the current view.

#include <CL/cl.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "terrain/view_params.h"

namespace aeroquilt {

constexpr std::size_t device_dem_buffer_bytes = 100000000;
constexpr const char* kernel_source_path = "kernels/direct_registration.cl";

class gpu_context {
 public:
  gpu_context() = default;
  ~gpu_context();  // release_gpu_context
  gpu_context(const gpu_context&) = delete;
  gpu_context& operator=(const gpu_context&) = delete;

  // Opens the device for camera frames of width x height x channels; fatal on failure.
  void open_gpu_device(int32_t width, int32_t height, int32_t channels);
  // The set-up proper, with its listing; false on failure.
  bool init_opencl(int32_t width, int32_t height, int32_t channels);
  // Makes the output buffer (initialised from `initial_pixels`) and the record buffer.
  bool create_view_buffers(const view_params& view, const void* initial_pixels);
  // Blocking read of the whole output buffer (height x width x 3 bytes) into `pixels`.
  bool read_view_output(void* pixels);
  // Releases the view's output, record and claim buffers.
  void release_view_buffers();
  // Makes the claim mask of the current view (after create_view_buffers), one zero byte
  // per pixel: from then on the projections run their "_claimed" kernels, which write
  // only pixels no earlier launch wrote, so images taken in reverse order leave the view
  // as the forward order would. False on failure.
  bool create_claim_mask();
  // Uploads record and image, launches "project_image" (or, with a claim mask,
  // "project_image_claimed") over the window.
  bool enqueue_projection(const unsigned char* image_pixels, int r0, int rows, int c0, int cols,
                          const view_params& view);
  // Uploads record, DEM bytes and image, launches "project_image_dem" (or, with a claim
  // mask, "project_image_dem_claimed") over the window.
  bool enqueue_projection_dem(const unsigned char* image_pixels, int r0, int rows, int c0, int cols,
                              const view_params& view, const unsigned char* dem_bytes,
                              uint32_t dem_size, float ref_lat_deg, float ref_lon_deg);
  // Makes the compositing planes of the current view (after create_view_buffers), filled
  // on the device: score (+infinity) and source (0), and with `feather` the best-image
  // and sum planes (0);
  // uploads `dem_size` bytes of view DEM once for the view. False on failure.
  bool create_composite_planes(bool feather, const unsigned char* dem_bytes, uint32_t dem_size);
  // Uploads the 64-byte compositing record and the image, launches "composite_best_view"
  // (or, with `feather_pass`, "composite_feather") over the window.
  bool enqueue_composite(bool feather_pass, const unsigned char* image_pixels, int r0, int rows,
                         int c0, int cols, const view_params& view, const void* record);
  // Launches "composite_blend" over the whole view.
  bool enqueue_composite_blend(const view_params& view, float feather_pixels);
  // Blocking read of the score (width x height floats) and source (uint16) planes.
  bool read_composite_planes(float* score, uint16_t* source);
  // Waits for the queue to drain.
  void finish();
  // Releases everything made by init_opencl and the view buffers.
  void release_gpu_context();

  bool is_open() const { return context_ != nullptr; }
  int32_t image_width() const { return image_width_; }
  int32_t image_height() const { return image_height_; }
  int32_t channels() const { return channels_; }
  // Bytes the device DEM buffer holds now (grown when a view DEM needs more).
  std::size_t dem_buffer_capacity() const { return dem_buffer_bytes_; }

 private:
  // Preconditions of a launch: view buffers made for this record, pixels present.
  bool launch_ready(const unsigned char* image_pixels, const view_params& view) const;
  // Writes the record and the image, sets arguments 0..4 and launches over the window.
  bool upload_and_launch(cl_kernel kernel, const unsigned char* image_pixels, int r0, int rows,
                         int c0, int cols, const view_params& view);

  int32_t image_height_ = 0;
  int32_t image_width_ = 0;
  cl_context context_ = nullptr;
  cl_mem image_buffer_ = nullptr;
  cl_mem spare_buffers_[3] = {nullptr, nullptr, nullptr};
  cl_mem dem_buffer_ = nullptr;
  std::size_t dem_buffer_bytes_ = 0;
  cl_mem output_buffer_ = nullptr;
  std::size_t output_bytes_ = 0;
  cl_mem view_buffer_ = nullptr;
  cl_mem claim_buffer_ = nullptr;
  cl_mem score_buffer_ = nullptr, source_buffer_ = nullptr, best_buffer_ = nullptr,
         sum_buffer_ = nullptr, record_buffer_ = nullptr;
  uint32_t composite_dem_bytes_ = 0;
  cl_kernel kernel_composite_best_ = nullptr, kernel_composite_feather_ = nullptr,
            kernel_composite_blend_ = nullptr;
  cl_kernel kernel_bayer_ = nullptr, kernel_copy_ = nullptr, kernel_project_dem_ = nullptr,
            kernel_project_ = nullptr, kernel_block_correlation_ = nullptr,
            kernel_project_claimed_ = nullptr, kernel_project_dem_claimed_ = nullptr;
  cl_command_queue queue_ = nullptr;
  cl_program program_ = nullptr;
  cl_device_id device_ = nullptr;
  cl_int last_error_ = CL_SUCCESS;
  int32_t channels_ = 0;
};

// The whole text of kernels/direct_registration.cl, looked up in the working folder,
// then beside the running program; fatal "cannot open .cl file" when in neither.
std::string load_kernel_source();

// Creates the program from one source string; fatal when creation fails.
cl_program build_program(cl_context context, const std::string& source);

}  // namespace aeroquilt
