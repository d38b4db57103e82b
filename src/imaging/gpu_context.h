#pragma once
// The OpenCL device of a run: context on the first platform, in-order queue, the
// program built from kernels/direct_registration.cl with every kernel of the catalogue,
// and the buffers that live for the whole run (camera frame, DEM, three spares). The
// buffers of a view belong to the view; every call on the device is checked.

#include <CL/cl.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "imaging/device_calls.h"
#include "imaging/kernel_catalogue.h"

namespace aeroquilt {

constexpr std::size_t device_dem_buffer_bytes = 100000000;
constexpr const char* kernel_source_path = "kernels/direct_registration.cl";

class gpu_context {
 public:
  gpu_context() = default;
  ~gpu_context();  // release_gpu_context
  gpu_context(const gpu_context&) = delete;
  gpu_context& operator=(const gpu_context&) = delete;

  // Opens the device for camera frames of width x height x channels, on the first
  // platform or the first whose name contains `platform_name`; fatal on failure.
  void open_gpu_device(int32_t width, int32_t height, int32_t channels,
                       const std::string& platform_name = "");
  // The set-up proper, with its listing; false on failure, fatal on a kernel file that
  // does not match this program (kernel_file_mismatch).
  bool init_opencl(int32_t width, int32_t height, int32_t channels,
                   const std::string& platform_name = "");
  // Waits for the queue, then releases everything init_opencl made.
  void release_gpu_context();

  bool is_open() const { return static_cast<bool>(context_); }
  int32_t image_width() const { return image_width_; }
  int32_t image_height() const { return image_height_; }
  int32_t channels() const { return channels_; }

  // A new buffer of `bytes` (at least 1) named `what` in messages.
  cl_status create_buffer(const std::string& what, std::size_t bytes, device_buffer& buffer,
                          cl_mem_flags flags = CL_MEM_READ_WRITE);
  // Writes `bytes` from `data` at the start of `buffer`. A write that does not block
  // reads `data` until a later blocking call returns (the queue is in order).
  cl_status write_buffer(const device_buffer& buffer, const void* data, std::size_t bytes,
                         bool blocking, const std::string& what);
  // Blocking read of the first `bytes` of `buffer` into `data`.
  cl_status read_buffer(const device_buffer& buffer, void* data, std::size_t bytes,
                        const std::string& what);
  // Maps the first `bytes` of `buffer` for the host to read and write (blocking) into
  // `mapped`: on a CPU device the buffer's own memory, where a read-back would copy it
  // into fresh pages.
  cl_status map_buffer(const device_buffer& buffer, std::size_t bytes, const std::string& what,
                       mapped_buffer& mapped);
  // Fills the whole buffer with the `pattern_bytes` of `pattern`.
  cl_status fill_buffer(const device_buffer& buffer, const void* pattern, std::size_t pattern_bytes,
                        const std::string& what);
  // Waits until every queued command has run.
  cl_status finish();

  // A launch of `kernel` on the queue.
  kernel_launch launch(kernel_id kernel) const;
  // Whether a work item of a kernel that spans rows draws a whole window row (a CPU
  // device's way) or one pixel (a GPU's): the results are the same either way.
  bool row_spans() const { return row_spans_; }
  void set_row_spans(bool whole_rows) { row_spans_ = whole_rows; }

  // The camera frame buffer (image width x height x 3 bytes) and its upload, which
  // blocks: the frame's pixels may change once it returns, and every write queued
  // before it is done.
  const device_buffer& image_buffer() const { return image_buffer_; }
  cl_status upload_frame(const unsigned char* pixels);

  // The DEM buffer, grown when a view DEM needs more than it holds (launches already
  // queued keep the old one).
  cl_status reserve_dem_buffer(std::size_t bytes);
  const device_buffer& dem_buffer() const { return dem_buffer_; }

 private:
  int32_t image_height_ = 0;
  int32_t image_width_ = 0;
  cl_device_id device_ = nullptr;
  // Released in reverse order: kernels and buffers before the program, queue and context.
  cl_context_handle context_;
  cl_queue_handle queue_;
  cl_program_handle program_;
  device_buffer image_buffer_;
  device_buffer spare_buffers_[3];
  device_buffer dem_buffer_;
  cl_kernel_handle kernels_[kernel_count];
  std::size_t group_rows_[kernel_count] = {};  // rows of each kernel's work groups (0: any)
  bool row_spans_ = false;
  int32_t channels_ = 0;
};

// The whole text of kernels/direct_registration.cl and where it was found: in the working
// folder, else beside the running program; fatal "cannot open .cl file" when in neither.
struct kernel_source {
  std::string path, text;
};
kernel_source load_kernel_source();

// Creates the program from one source string; fatal when creation fails.
cl_program build_program(cl_context context, const std::string& source);

}  // namespace aeroquilt
