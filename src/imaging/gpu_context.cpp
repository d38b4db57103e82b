// clCreateCommandQueue is kept for platforms older than OpenCL 2.0.
#define CL_USE_DEPRECATED_OPENCL_1_2_APIS

#include "imaging/gpu_context.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <vector>

#include "base/fatal_error.h"

namespace aeroquilt {
namespace {

constexpr int64_t max_frame_pixels = 400000000;
constexpr std::size_t view_record_bytes = sizeof(view_params);
// The kernels read and write blue, green, red bytes whatever the channel setting.
constexpr std::size_t kernel_pixel_bytes = 3;

void report_cl_error(cl_int code) {
  std::cerr << "OpenCL call failed with error " << code << std::endl;
}

// An info text without the terminating zero the runtime counts in its size.
template <typename Handle, typename Query>
std::string info_text(Query query, Handle handle, cl_uint name) {
  std::size_t size = 0;
  if (query(handle, name, 0, nullptr, &size) != CL_SUCCESS || size == 0) return {};
  std::string text(size, '\0');
  if (query(handle, name, size, text.data(), nullptr) != CL_SUCCESS) return {};
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
  return text;
}

// "OpenCL <major>.<minor> ..." -> major * 10 + minor; 0 when unreadable.
int platform_version(cl_platform_id platform) {
  const std::string text = info_text(clGetPlatformInfo, platform, CL_PLATFORM_VERSION);
  int major = 0, minor = 0;
  if (std::sscanf(text.c_str(), "OpenCL %d.%d", &major, &minor) != 2) return 0;
  return major * 10 + minor;
}

template <typename Handle, cl_int (*release)(Handle)>
void release_handle(Handle& handle) {
  if (handle != nullptr) release(handle);
  handle = nullptr;
}

void release_mem(cl_mem& mem) { release_handle<cl_mem, clReleaseMemObject>(mem); }

// Launches `kernel` with one work item per view pixel of rows [r0, r0 + rows) and
// columns [c0, c0 + cols).
cl_int enqueue_window(cl_command_queue queue, cl_kernel kernel, int r0, int rows, int c0,
                      int cols) {
  const std::size_t offset[2] = {static_cast<std::size_t>(r0), static_cast<std::size_t>(c0)};
  const std::size_t size[2] = {static_cast<std::size_t>(rows), static_cast<std::size_t>(cols)};
  return clEnqueueNDRangeKernel(queue, kernel, 2, offset, size, nullptr, 0, nullptr, nullptr);
}

}  // namespace

// The kernel file beside the running program, where an installation puts it.
static std::string kernel_path_beside_program() {
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::string();
  return (program.parent_path() / kernel_source_path).string();
}

std::string load_kernel_source() {
  // The working directory first; an installed program also finds its own copy.
  std::ifstream file(kernel_source_path);
  if (!file) {
    const std::string beside = kernel_path_beside_program();
    if (!beside.empty()) file.open(beside);
  }
  if (!file) throw fatal_error("cannot open .cl file");
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

cl_program build_program(cl_context context, const std::string& source) {
  const char* text = source.c_str();
  const std::size_t length = source.size();
  cl_int error = CL_SUCCESS;
  cl_program program = clCreateProgramWithSource(context, 1, &text, &length, &error);
  if (error != CL_SUCCESS) {
    // Fatal like every other device failure: a batch run must not wait for input.
    report_cl_error(error);
    if (program != nullptr) clReleaseProgram(program);
    throw fatal_error("OpenCl device open failed\n");
  }
  return program;
}

gpu_context::~gpu_context() { release_gpu_context(); }

void gpu_context::open_gpu_device(int32_t width, int32_t height, int32_t channels) {
  // 64-bit product: 65536 x 65536 must not wrap to an acceptable size. Negative
  // sizes would turn into huge buffer sizes, so they are refused the same way.
  const int64_t pixels = static_cast<int64_t>(width) * static_cast<int64_t>(height);
  if (width < 0 || height < 0 || pixels > max_frame_pixels) {
    throw fatal_error("invalid width or height");
  }
  if (is_open()) release_gpu_context();
  if (!init_opencl(width, height, channels)) {
    release_gpu_context();
    throw fatal_error("OpenCl device open failed\n");
  }
  if (channels < 1 || channels > 4) throw fatal_error("OpenCl invalid number channel");
  image_width_ = width;
  image_height_ = height;
  channels_ = channels;
}

bool gpu_context::init_opencl(int32_t width, int32_t height, int32_t channels) {
  (void)channels;  // checked by open_gpu_device after the listing
  cl_uint platform_count = 0;
  if (clGetPlatformIDs(0, nullptr, &platform_count) != CL_SUCCESS) platform_count = 0;
  if (platform_count == 0) {
    std::cerr << "No OpenCL platform found" << std::endl;
    return false;
  }
  std::cout << "Found " << platform_count << " platform(s)" << std::endl;
  std::vector<cl_platform_id> platforms(platform_count);
  last_error_ = clGetPlatformIDs(platform_count, platforms.data(), nullptr);
  if (last_error_ != CL_SUCCESS) {
    report_cl_error(last_error_);
    return false;
  }
  for (cl_uint i = 0; i < platform_count; ++i) {
    std::cout << "\t (" << (i + 1)
              << ") : " << info_text(clGetPlatformInfo, platforms[i], CL_PLATFORM_NAME)
              << std::endl;
  }
  const cl_platform_id platform = platforms[0];

  cl_uint device_count = 0;
  if (clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, 0, nullptr, &device_count) != CL_SUCCESS) {
    device_count = 0;
  }
  if (device_count == 0) {
    std::cerr << "No OpenCL devices found" << std::endl;
    return false;
  }
  std::cout << "Found " << device_count << " device(s)" << std::endl;
  std::vector<cl_device_id> devices(device_count);
  last_error_ = clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, device_count, devices.data(), nullptr);
  if (last_error_ != CL_SUCCESS) {
    report_cl_error(last_error_);
    return false;
  }
  for (cl_uint i = 0; i < device_count; ++i) {
    std::cout << "\t (" << (i + 1)
              << ") : " << info_text(clGetDeviceInfo, devices[i], CL_DEVICE_NAME) << std::endl;
  }
  device_ = devices[0];

  const cl_context_properties properties[] = {CL_CONTEXT_PLATFORM,
                                              reinterpret_cast<cl_context_properties>(platform), 0};
  context_ =
      clCreateContext(properties, device_count, devices.data(), nullptr, nullptr, &last_error_);
  if (last_error_ != CL_SUCCESS) {
    context_ = nullptr;
    report_cl_error(last_error_);
    return false;
  }
  std::cout << "Context created" << std::endl;

  const std::size_t frame_pixels =
      static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  auto make_buffer = [&](cl_mem& target, cl_mem_flags flags, std::size_t bytes) {
    target = clCreateBuffer(context_, flags, bytes, nullptr, &last_error_);
    if (last_error_ != CL_SUCCESS) {
      target = nullptr;
      report_cl_error(last_error_);
      return false;
    }
    return true;
  };
  if (!make_buffer(image_buffer_, CL_MEM_READ_WRITE, frame_pixels * kernel_pixel_bytes))
    return false;
  if (!make_buffer(dem_buffer_, CL_MEM_READ_WRITE, device_dem_buffer_bytes)) return false;
  dem_buffer_bytes_ = device_dem_buffer_bytes;
  if (!make_buffer(spare_buffers_[0], CL_MEM_READ_ONLY | CL_MEM_ALLOC_HOST_PTR, frame_pixels * 2) ||
      !make_buffer(spare_buffers_[1], CL_MEM_READ_WRITE | CL_MEM_ALLOC_HOST_PTR, 36) ||
      !make_buffer(spare_buffers_[2], CL_MEM_READ_WRITE, frame_pixels * 2)) {
    return false;
  }

  program_ = build_program(context_, load_kernel_source());
  last_error_ = clBuildProgram(program_, device_count, devices.data(), "", nullptr, nullptr);
  if (last_error_ != CL_SUCCESS) {
    const cl_int build_error = last_error_;
    std::size_t log_size = 0;
    std::string log;
    if (clGetProgramBuildInfo(program_, device_, CL_PROGRAM_BUILD_LOG, 0, nullptr, &log_size) ==
            CL_SUCCESS &&
        log_size > 0) {
      log.assign(log_size, '\0');
      clGetProgramBuildInfo(program_, device_, CL_PROGRAM_BUILD_LOG, log_size, log.data(), nullptr);
      log.resize(log.find('\0') == std::string::npos ? log.size() : log.find('\0'));
    }
    report_cl_error(build_error);
    // The compiler names its own temporary copy; say which file failed.
    std::cerr << "kernel file " << kernel_source_path << " does not compile:\n" << log << std::endl;
    return false;
  }

  struct named_kernel {
    const char* name;
    cl_kernel* target;
  };
  const named_kernel kernels[] = {{"Bayer", &kernel_bayer_},
                                  {"project_image", &kernel_project_},
                                  {"block_correlation", &kernel_block_correlation_},
                                  {"Copy", &kernel_copy_},
                                  {"project_image_dem", &kernel_project_dem_},
                                  {"composite_best_view", &kernel_composite_best_},
                                  {"composite_feather", &kernel_composite_feather_},
                                  {"composite_blend", &kernel_composite_blend_},
                                  {"project_image_claimed", &kernel_project_claimed_},
                                  {"project_image_dem_claimed", &kernel_project_dem_claimed_}};
  for (const named_kernel& k : kernels) {
    *k.target = clCreateKernel(program_, k.name, &last_error_);
    if (last_error_ != CL_SUCCESS) {
      *k.target = nullptr;
      report_cl_error(last_error_);
      return false;
    }
  }

  // The properties entry point exists from OpenCL 2.0 on; older platforms (and
  // some drivers that report 1.2) only have the plain one.
  if (platform_version(platform) >= 20) {
    queue_ = clCreateCommandQueueWithProperties(context_, device_, nullptr, &last_error_);
  } else {
    queue_ = clCreateCommandQueue(context_, device_, 0, &last_error_);
  }
  if (last_error_ != CL_SUCCESS) {
    queue_ = nullptr;
    report_cl_error(last_error_);
    return false;
  }
  return true;
}

bool gpu_context::create_view_buffers(const view_params& view, const void* initial_pixels) {
  release_view_buffers();
  const int64_t pixels = static_cast<int64_t>(view.width) * static_cast<int64_t>(view.height);
  const std::size_t bytes = pixels > 0 ? static_cast<std::size_t>(pixels) * kernel_pixel_bytes : 0;

  output_buffer_ = clCreateBuffer(context_, CL_MEM_READ_WRITE, bytes, nullptr, &last_error_);
  if (last_error_ != CL_SUCCESS) {
    output_buffer_ = nullptr;
    report_cl_error(last_error_);
    return false;
  }
  output_bytes_ = bytes;
  // Blocking: nothing else guarantees the caller's pixels outlive a deferred copy.
  last_error_ = clEnqueueWriteBuffer(queue_, output_buffer_, CL_TRUE, 0, bytes, initial_pixels, 0,
                                     nullptr, nullptr);
  if (last_error_ != CL_SUCCESS) {
    report_cl_error(last_error_);
    release_view_buffers();
    return false;
  }

  view_buffer_ =
      clCreateBuffer(context_, CL_MEM_READ_ONLY, view_record_bytes, nullptr, &last_error_);
  if (last_error_ != CL_SUCCESS) {
    view_buffer_ = nullptr;
    report_cl_error(last_error_);
    release_view_buffers();
    return false;
  }
  return true;
}

bool gpu_context::read_view_output(void* pixels) {
  if (output_buffer_ == nullptr || pixels == nullptr) return false;
  last_error_ = clEnqueueReadBuffer(queue_, output_buffer_, CL_TRUE, 0, output_bytes_, pixels, 0,
                                    nullptr, nullptr);
  if (last_error_ != CL_SUCCESS) {
    report_cl_error(last_error_);
    return false;
  }
  return true;
}

void gpu_context::release_view_buffers() {
  if (queue_ != nullptr && (output_buffer_ != nullptr || view_buffer_ != nullptr)) {
    clFinish(queue_);
  }
  release_mem(output_buffer_);
  release_mem(view_buffer_);
  release_mem(claim_buffer_);
  for (cl_mem* plane :
       {&score_buffer_, &source_buffer_, &best_buffer_, &sum_buffer_, &record_buffer_}) {
    release_mem(*plane);
  }
  composite_dem_bytes_ = 0;
  output_bytes_ = 0;
}

bool gpu_context::create_claim_mask() {
  if (output_buffer_ == nullptr || kernel_project_claimed_ == nullptr) return false;
  release_mem(claim_buffer_);
  const std::size_t bytes = std::max<std::size_t>(output_bytes_ / kernel_pixel_bytes, 1);
  cl_int error = CL_SUCCESS;
  claim_buffer_ = clCreateBuffer(context_, CL_MEM_READ_WRITE, bytes, nullptr, &error);
  if (error == CL_SUCCESS) {
    const cl_uchar zero = 0;
    error = clEnqueueFillBuffer(queue_, claim_buffer_, &zero, 1, 0, bytes, 0, nullptr, nullptr);
  }
  if (error != CL_SUCCESS) {
    last_error_ = error;
    report_cl_error(error);
    release_mem(claim_buffer_);
    return false;
  }
  return true;
}

bool gpu_context::launch_ready(const unsigned char* image_pixels, const view_params& view) const {
  const std::size_t view_bytes = static_cast<std::size_t>(std::max(view.width, 0)) *
                                 static_cast<std::size_t>(std::max(view.height, 0)) *
                                 kernel_pixel_bytes;
  // A record that does not describe the output buffer would let the kernel write
  // past it; a failed load leaves no pixels to upload.
  return queue_ != nullptr && channels_ >= 1 && view_buffer_ != nullptr &&
         output_buffer_ != nullptr && view_bytes == output_bytes_ && image_pixels != nullptr;
}

bool gpu_context::upload_and_launch(cl_kernel kernel, const unsigned char* image_pixels, int r0,
                                    int rows, int c0, int cols, const view_params& view) {
  cl_int error = clEnqueueWriteBuffer(queue_, view_buffer_, CL_FALSE, 0, view_record_bytes, &view,
                                      0, nullptr, nullptr);
  // Whatever the channel setting, never read more than the 3-byte frame the image
  // buffer holds (and the cache's images carry).
  const std::size_t image_bytes = static_cast<std::size_t>(std::min<int32_t>(channels_, 3)) *
                                  static_cast<std::size_t>(image_width_) *
                                  static_cast<std::size_t>(image_height_);
  // Blocking, so the record, the DEM bytes and the image may change once it returns
  // (the queue is in order, so the earlier writes are done too).
  if (error == CL_SUCCESS && image_bytes > 0) {
    error = clEnqueueWriteBuffer(queue_, image_buffer_, CL_TRUE, 0, image_bytes, image_pixels, 0,
                                 nullptr, nullptr);
  }
  const cl_int width = image_width_, height = image_height_;
  if (error == CL_SUCCESS) error = clSetKernelArg(kernel, 0, sizeof(cl_int), &width);
  if (error == CL_SUCCESS) error = clSetKernelArg(kernel, 1, sizeof(cl_int), &height);
  if (error == CL_SUCCESS) error = clSetKernelArg(kernel, 2, sizeof(cl_mem), &view_buffer_);
  if (error == CL_SUCCESS) error = clSetKernelArg(kernel, 3, sizeof(cl_mem), &output_buffer_);
  if (error == CL_SUCCESS) error = clSetKernelArg(kernel, 4, sizeof(cl_mem), &image_buffer_);
  if (error == CL_SUCCESS) error = enqueue_window(queue_, kernel, r0, rows, c0, cols);
  if (error != CL_SUCCESS) {
    last_error_ = error;
    report_cl_error(error);
    return false;
  }
  return true;
}

bool gpu_context::enqueue_projection(const unsigned char* image_pixels, int r0, int rows, int c0,
                                     int cols, const view_params& view) {
  if (kernel_project_ == nullptr || !launch_ready(image_pixels, view)) return false;
  if (rows <= 0 || cols <= 0) return true;  // an empty window: nothing to draw
  if (r0 < 0 || c0 < 0) return false;       // the window lies in the view
  cl_kernel kernel = kernel_project_;
  if (claim_buffer_ != nullptr) {
    kernel = kernel_project_claimed_;
    const cl_int error = clSetKernelArg(kernel, 5, sizeof(cl_mem), &claim_buffer_);
    if (error != CL_SUCCESS) {
      last_error_ = error;
      report_cl_error(error);
      return false;
    }
  }
  return upload_and_launch(kernel, image_pixels, r0, rows, c0, cols, view);
}

bool gpu_context::enqueue_projection_dem(const unsigned char* image_pixels, int r0, int rows,
                                         int c0, int cols, const view_params& view,
                                         const unsigned char* dem_bytes, uint32_t dem_size,
                                         float ref_lat_deg, float ref_lon_deg) {
  if (kernel_project_dem_ == nullptr || !launch_ready(image_pixels, view) ||
      (dem_size > 0 && dem_bytes == nullptr)) {
    return false;
  }
  if (rows <= 0 || cols <= 0) return true;  // an empty window: nothing to draw
  if (r0 < 0 || c0 < 0) return false;       // the window lies in the view
  if (dem_size > dem_buffer_bytes_) {
    // A view DEM larger than the device buffer: grow it rather than overrun it.
    // Pending launches keep the old buffer alive until they finish.
    release_mem(dem_buffer_);
    dem_buffer_bytes_ = 0;
    dem_buffer_ = clCreateBuffer(context_, CL_MEM_READ_WRITE, dem_size, nullptr, &last_error_);
    if (last_error_ != CL_SUCCESS) {
      dem_buffer_ = nullptr;
      report_cl_error(last_error_);
      return false;
    }
    dem_buffer_bytes_ = dem_size;
  }
  // The DEM write must precede the blocking image upload, which orders it.
  if (dem_size > 0) {
    const cl_int error = clEnqueueWriteBuffer(queue_, dem_buffer_, CL_FALSE, 0, dem_size, dem_bytes,
                                              0, nullptr, nullptr);
    if (error != CL_SUCCESS) {
      last_error_ = error;
      report_cl_error(error);
      return false;
    }
  }
  const cl_int dem_size_arg = static_cast<cl_int>(std::min<uint32_t>(dem_size, 0x7fffffffu));
  cl_kernel kernel = claim_buffer_ != nullptr ? kernel_project_dem_claimed_ : kernel_project_dem_;
  cl_int error = clSetKernelArg(kernel, 5, sizeof(cl_mem), &dem_buffer_);
  if (error == CL_SUCCESS) error = clSetKernelArg(kernel, 6, sizeof(cl_int), &dem_size_arg);
  if (error == CL_SUCCESS) error = clSetKernelArg(kernel, 7, sizeof(float), &ref_lat_deg);
  if (error == CL_SUCCESS) error = clSetKernelArg(kernel, 8, sizeof(float), &ref_lon_deg);
  if (error == CL_SUCCESS && claim_buffer_ != nullptr)
    error = clSetKernelArg(kernel, 9, sizeof(cl_mem), &claim_buffer_);
  if (error != CL_SUCCESS) {
    last_error_ = error;
    report_cl_error(error);
    // Drain the DEM write before the caller may free its bytes.
    clFinish(queue_);
    return false;
  }
  if (!upload_and_launch(kernel, image_pixels, r0, rows, c0, cols, view)) {
    clFinish(queue_);  // the DEM write may still read the caller's bytes
    return false;
  }
  return true;
}

bool gpu_context::create_composite_planes(bool feather, const unsigned char* dem_bytes,
                                          uint32_t dem_size) {
  if (output_buffer_ == nullptr || kernel_composite_best_ == nullptr) return false;
  const std::size_t pixels = output_bytes_ / kernel_pixel_bytes;
  cl_int error = CL_SUCCESS;
  auto make_plane = [&](cl_mem& target, std::size_t bytes, const void* pattern,
                        std::size_t pattern_bytes) {
    if (error != CL_SUCCESS) return;
    bytes = std::max(bytes, pattern_bytes);
    target = clCreateBuffer(context_, CL_MEM_READ_WRITE, bytes, nullptr, &error);
    if (error != CL_SUCCESS) {
      target = nullptr;
      return;
    }
    error =
        clEnqueueFillBuffer(queue_, target, pattern, pattern_bytes, 0, bytes, 0, nullptr, nullptr);
  };
  const float no_score = std::numeric_limits<float>::infinity();
  const uint16_t no_source = 0;
  const float zeros[4] = {0, 0, 0, 0};
  make_plane(score_buffer_, pixels * sizeof(float), &no_score, sizeof(no_score));
  make_plane(source_buffer_, pixels * sizeof(uint16_t), &no_source, sizeof(no_source));
  make_plane(record_buffer_, 64, zeros, sizeof(zeros));
  // Without feathering the two float4 planes are bound but never touched.
  const std::size_t float4_bytes = feather ? pixels * sizeof(zeros) : sizeof(zeros);
  make_plane(best_buffer_, float4_bytes, zeros, sizeof(zeros));
  make_plane(sum_buffer_, float4_bytes, zeros, sizeof(zeros));
  if (error == CL_SUCCESS && dem_size > dem_buffer_bytes_) {
    release_mem(dem_buffer_);
    dem_buffer_bytes_ = 0;
    dem_buffer_ = clCreateBuffer(context_, CL_MEM_READ_WRITE, dem_size, nullptr, &error);
    if (error == CL_SUCCESS) dem_buffer_bytes_ = dem_size;
  }
  if (error == CL_SUCCESS && dem_size > 0) {
    error = clEnqueueWriteBuffer(queue_, dem_buffer_, CL_TRUE, 0, dem_size, dem_bytes, 0, nullptr,
                                 nullptr);
  }
  if (error != CL_SUCCESS) {
    last_error_ = error;
    report_cl_error(error);
    release_view_buffers();
    return false;
  }
  composite_dem_bytes_ = dem_size;
  return true;
}

bool gpu_context::enqueue_composite(bool feather_pass, const unsigned char* image_pixels, int r0,
                                    int rows, int c0, int cols, const view_params& view,
                                    const void* record) {
  if (record_buffer_ == nullptr || record == nullptr || !launch_ready(image_pixels, view))
    return false;
  if (rows <= 0 || cols <= 0) return true;
  if (r0 < 0 || c0 < 0) return false;
  cl_kernel kernel = feather_pass ? kernel_composite_feather_ : kernel_composite_best_;
  cl_int error = clEnqueueWriteBuffer(queue_, view_buffer_, CL_FALSE, 0, view_record_bytes, &view,
                                      0, nullptr, nullptr);
  if (error == CL_SUCCESS) {
    error =
        clEnqueueWriteBuffer(queue_, record_buffer_, CL_FALSE, 0, 64, record, 0, nullptr, nullptr);
  }
  const std::size_t image_bytes = static_cast<std::size_t>(image_width_) *
                                  static_cast<std::size_t>(image_height_) * kernel_pixel_bytes;
  // Blocking, so the record and the image may change once it returns.
  if (error == CL_SUCCESS) {
    error = clEnqueueWriteBuffer(queue_, image_buffer_, CL_TRUE, 0, image_bytes, image_pixels, 0,
                                 nullptr, nullptr);
  }
  const cl_int width = image_width_, height = image_height_;
  const cl_int dem_bytes =
      static_cast<cl_int>(std::min<uint32_t>(composite_dem_bytes_, 0x7fffffffu));
  cl_uint arg = 0;
  auto set = [&](std::size_t size, const void* value) {
    if (error == CL_SUCCESS) error = clSetKernelArg(kernel, arg, size, value);
    ++arg;
  };
  set(sizeof(cl_int), &width);
  set(sizeof(cl_int), &height);
  set(sizeof(cl_mem), &view_buffer_);
  if (!feather_pass) set(sizeof(cl_mem), &output_buffer_);
  set(sizeof(cl_mem), &image_buffer_);
  set(sizeof(cl_mem), &dem_buffer_);
  set(sizeof(cl_int), &dem_bytes);
  set(sizeof(cl_mem), &record_buffer_);
  set(sizeof(cl_mem), &score_buffer_);
  set(sizeof(cl_mem), &source_buffer_);
  set(sizeof(cl_mem), &best_buffer_);
  if (feather_pass) set(sizeof(cl_mem), &sum_buffer_);
  if (error == CL_SUCCESS) error = enqueue_window(queue_, kernel, r0, rows, c0, cols);
  if (error != CL_SUCCESS) {
    last_error_ = error;
    report_cl_error(error);
    clFinish(queue_);
    return false;
  }
  return true;
}

bool gpu_context::enqueue_composite_blend(const view_params& view, float feather_pixels) {
  if (sum_buffer_ == nullptr || view_buffer_ == nullptr || view.width < 1 || view.height < 1)
    return false;
  cl_int error = clEnqueueWriteBuffer(queue_, view_buffer_, CL_TRUE, 0, view_record_bytes, &view, 0,
                                      nullptr, nullptr);
  cl_kernel kernel = kernel_composite_blend_;
  if (error == CL_SUCCESS) error = clSetKernelArg(kernel, 0, sizeof(cl_mem), &view_buffer_);
  if (error == CL_SUCCESS) error = clSetKernelArg(kernel, 1, sizeof(cl_mem), &output_buffer_);
  if (error == CL_SUCCESS) error = clSetKernelArg(kernel, 2, sizeof(cl_mem), &best_buffer_);
  if (error == CL_SUCCESS) error = clSetKernelArg(kernel, 3, sizeof(cl_mem), &sum_buffer_);
  if (error == CL_SUCCESS) error = clSetKernelArg(kernel, 4, sizeof(float), &feather_pixels);
  if (error == CL_SUCCESS) {
    const std::size_t size[2] = {static_cast<std::size_t>(view.height),
                                 static_cast<std::size_t>(view.width)};
    error = clEnqueueNDRangeKernel(queue_, kernel, 2, nullptr, size, nullptr, 0, nullptr, nullptr);
  }
  if (error != CL_SUCCESS) {
    last_error_ = error;
    report_cl_error(error);
    return false;
  }
  return true;
}

bool gpu_context::read_composite_planes(float* score, uint16_t* source) {
  if (score_buffer_ == nullptr || source_buffer_ == nullptr) return false;
  const std::size_t pixels = output_bytes_ / kernel_pixel_bytes;
  cl_int error = CL_SUCCESS;
  if (score != nullptr) {
    error = clEnqueueReadBuffer(queue_, score_buffer_, CL_TRUE, 0, pixels * sizeof(float), score, 0,
                                nullptr, nullptr);
  }
  if (error == CL_SUCCESS && source != nullptr) {
    error = clEnqueueReadBuffer(queue_, source_buffer_, CL_TRUE, 0, pixels * sizeof(uint16_t),
                                source, 0, nullptr, nullptr);
  }
  if (error != CL_SUCCESS) {
    last_error_ = error;
    report_cl_error(error);
    return false;
  }
  return true;
}

void gpu_context::finish() {
  if (queue_ != nullptr) clFinish(queue_);
}

void gpu_context::release_gpu_context() {
  finish();
  release_view_buffers();
  release_mem(image_buffer_);
  release_mem(dem_buffer_);
  for (cl_mem& spare : spare_buffers_) release_mem(spare);
  dem_buffer_bytes_ = 0;
  for (cl_kernel* kernel :
       {&kernel_bayer_, &kernel_project_, &kernel_block_correlation_, &kernel_copy_,
        &kernel_project_dem_, &kernel_composite_best_, &kernel_composite_feather_,
        &kernel_composite_blend_, &kernel_project_claimed_, &kernel_project_dem_claimed_}) {
    release_handle<cl_kernel, clReleaseKernel>(*kernel);
  }
  release_handle<cl_command_queue, clReleaseCommandQueue>(queue_);
  release_handle<cl_program, clReleaseProgram>(program_);
  release_handle<cl_context, clReleaseContext>(context_);
  device_ = nullptr;
}

}  // namespace aeroquilt
