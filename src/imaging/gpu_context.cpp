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
// The kernels read blue, green, red frame bytes whatever the channel setting.
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

// A set-up call's failure, as the device listing reports it; false when `code` is one.
bool set_up(cl_int code) {
  if (code == CL_SUCCESS) return true;
  report_cl_error(code);
  return false;
}

// The rows of `kernel`'s work groups on a CPU device: `rows_most`, or the most a group may
// hold, as a power of two; 0 elsewhere. A CPU runtime (PoCL) builds a kernel anew for every
// local size it is launched with, and its own choice follows each frame window's height,
// so every new survey built new ones: seconds in its first run, a minute with
// feathering. A few fixed sizes run as fast. A GPU builds a kernel once for any size and
// keeps its own choice.
std::size_t cpu_group_rows(cl_device_id device, cl_kernel kernel, std::size_t rows_most) {
  cl_device_type type = 0;
  std::size_t device_most = 0, kernel_most = 0;
  std::size_t item_most[3] = {0, 0, 0};
  if (clGetDeviceInfo(device, CL_DEVICE_TYPE, sizeof(type), &type, nullptr) != CL_SUCCESS ||
      (type & CL_DEVICE_TYPE_CPU) == 0 ||
      clGetDeviceInfo(device, CL_DEVICE_MAX_WORK_GROUP_SIZE, sizeof(device_most), &device_most,
                      nullptr) != CL_SUCCESS ||
      clGetDeviceInfo(device, CL_DEVICE_MAX_WORK_ITEM_SIZES, sizeof(item_most), item_most,
                      nullptr) != CL_SUCCESS ||
      clGetKernelWorkGroupInfo(kernel, device, CL_KERNEL_WORK_GROUP_SIZE, sizeof(kernel_most),
                               &kernel_most, nullptr) != CL_SUCCESS)
    return 0;
  const std::size_t most = std::min({rows_most, device_most, item_most[0], kernel_most});
  std::size_t rows = 1;
  while (rows * 2 <= most) rows *= 2;
  return most == 0 ? 0 : rows;
}

}  // namespace

// The kernel file beside the running program, where an installation puts it.
static std::string kernel_path_beside_program() {
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::string();
  return (program.parent_path() / kernel_source_path).string();
}

kernel_source load_kernel_source() {
  // The working directory first; an installed program also finds its own copy.
  std::string path = kernel_source_path;
  std::ifstream file(path);
  const std::string beside = file ? "" : kernel_path_beside_program();
  if (!file && !beside.empty()) {
    path = beside;
    file.open(path);
  }
  if (!file) {
    std::error_code error;
    const std::filesystem::path here = std::filesystem::current_path(error);
    throw fatal_error("cannot open .cl file: looked for " + std::string(kernel_source_path) +
                      " in the working folder (" +
                      (error ? "unknown" : (here / kernel_source_path).string()) +
                      ") and beside the program (" + (beside.empty() ? "unknown" : beside) + ")\n");
  }
  return {path,
          std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>())};
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

void gpu_context::open_gpu_device(int32_t width, int32_t height, int32_t channels,
                                  const std::string& platform_name) {
  // 64-bit product: 65536 x 65536 must not wrap to an acceptable size. Negative
  // sizes would turn into huge buffer sizes, so they are refused the same way.
  const int64_t pixels = static_cast<int64_t>(width) * static_cast<int64_t>(height);
  if (width < 0 || height < 0 || pixels > max_frame_pixels) {
    throw fatal_error("invalid width or height");
  }
  if (is_open()) release_gpu_context();
  if (!init_opencl(width, height, channels, platform_name)) {
    release_gpu_context();
    throw fatal_error("OpenCl device open failed\n");
  }
  if (channels < 1 || channels > 4) throw fatal_error("OpenCl invalid number channel");
  image_width_ = width;
  image_height_ = height;
  channels_ = channels;
}

bool gpu_context::init_opencl(int32_t width, int32_t height, int32_t channels,
                              const std::string& platform_name) {
  (void)channels;  // checked by open_gpu_device after the listing
  cl_uint platform_count = 0;
  if (clGetPlatformIDs(0, nullptr, &platform_count) != CL_SUCCESS) platform_count = 0;
  if (platform_count == 0) {
    std::cerr << "No OpenCL platform found" << std::endl;
    return false;
  }
  std::cout << "Found " << platform_count << " platform(s)" << std::endl;
  std::vector<cl_platform_id> platforms(platform_count);
  if (!set_up(clGetPlatformIDs(platform_count, platforms.data(), nullptr))) return false;
  for (cl_uint i = 0; i < platform_count; ++i) {
    std::cout << "\t (" << (i + 1)
              << ") : " << info_text(clGetPlatformInfo, platforms[i], CL_PLATFORM_NAME)
              << std::endl;
  }
  // The first platform (or the first whose name holds the text asked for), all its
  // devices; the queue on the first device.
  cl_uint chosen = 0;
  if (!platform_name.empty()) {
    while (chosen < platform_count &&
           info_text(clGetPlatformInfo, platforms[chosen], CL_PLATFORM_NAME).find(platform_name) ==
               std::string::npos)
      ++chosen;
    if (chosen == platform_count) {
      std::cerr << "no OpenCL platform's name contains \"" << platform_name
                << "\" (opencl_platform)" << std::endl;
      return false;
    }
  }
  const cl_platform_id platform = platforms[chosen];
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
  if (!set_up(
          clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, device_count, devices.data(), nullptr))) {
    return false;
  }
  for (cl_uint i = 0; i < device_count; ++i) {
    std::cout << "\t (" << (i + 1)
              << ") : " << info_text(clGetDeviceInfo, devices[i], CL_DEVICE_NAME) << std::endl;
  }
  device_ = devices[0];
  // Several platforms may be installed (a GPU's and a CPU implementation): say which runs.
  std::cout << "using OpenCL platform " << info_text(clGetPlatformInfo, platform, CL_PLATFORM_NAME)
            << ", device " << info_text(clGetDeviceInfo, device_, CL_DEVICE_NAME) << std::endl;

  const cl_context_properties properties[] = {CL_CONTEXT_PLATFORM,
                                              reinterpret_cast<cl_context_properties>(platform), 0};
  cl_int error = CL_SUCCESS;
  context_.reset(
      clCreateContext(properties, device_count, devices.data(), nullptr, nullptr, &error));
  if (!set_up(error)) {
    context_.reset();
    return false;
  }
  std::cout << "Context created" << std::endl;

  // The run-long buffers: camera frame, DEM, then three spares no kernel is given.
  const std::size_t frame_pixels =
      static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  const auto make = [&](device_buffer& buffer, cl_mem_flags flags, std::size_t bytes) {
    cl_int code = CL_SUCCESS;
    buffer.mem.reset(clCreateBuffer(context_.get(), flags, bytes, nullptr, &code));
    buffer.bytes = code == CL_SUCCESS ? bytes : 0;
    if (code != CL_SUCCESS) buffer.mem.reset();
    return set_up(code);
  };
  if (!make(image_buffer_, CL_MEM_READ_WRITE, frame_pixels * kernel_pixel_bytes) ||
      !make(dem_buffer_, CL_MEM_READ_WRITE, device_dem_buffer_bytes) ||
      !make(spare_buffers_[0], CL_MEM_READ_ONLY | CL_MEM_ALLOC_HOST_PTR, frame_pixels * 2) ||
      !make(spare_buffers_[1], CL_MEM_READ_WRITE | CL_MEM_ALLOC_HOST_PTR, 36) ||
      !make(spare_buffers_[2], CL_MEM_READ_WRITE, frame_pixels * 2)) {
    return false;
  }

  const kernel_source source = load_kernel_source();
  program_.reset(build_program(context_.get(), source.text));
  const cl_int build_error =
      clBuildProgram(program_.get(), device_count, devices.data(), "", nullptr, nullptr);
  if (build_error != CL_SUCCESS) {
    std::size_t log_size = 0;
    std::string log;
    if (clGetProgramBuildInfo(program_.get(), device_, CL_PROGRAM_BUILD_LOG, 0, nullptr,
                              &log_size) == CL_SUCCESS &&
        log_size > 0) {
      log.assign(log_size, '\0');
      clGetProgramBuildInfo(program_.get(), device_, CL_PROGRAM_BUILD_LOG, log_size, log.data(),
                            nullptr);
      log.resize(log.find('\0') == std::string::npos ? log.size() : log.find('\0'));
    }
    report_cl_error(build_error);
    // The compiler names its own temporary copy; say which file failed.
    std::cerr << "kernel file " << source.path << " does not compile:\n" << log << std::endl;
    return false;
  }
  // A kernel file of another version compiles and reads the records at other places.
  if (const std::string mismatch = kernel_file_mismatch(source.text); !mismatch.empty())
    throw fatal_error("kernel file " + source.path + " does not match this program (" + mismatch +
                      "): use the kernels folder of this version\n");

  // Every kernel of the catalogue, the five of every kernel file first.
  row_spans_ = false;
  for (int k = 0; k < kernel_count; ++k) {
    kernels_[k].reset(
        clCreateKernel(program_.get(), signature_of(static_cast<kernel_id>(k)).name, &error));
    if (!set_up(error)) {
      kernels_[k].reset();
      return false;
    }
    // A work item of a kernel that spans rows draws a whole window row on a CPU device:
    // groups of a few rows keep every core busy on a window.
    const bool spans = spans_rows(static_cast<kernel_id>(k));
    group_rows_[k] = cpu_group_rows(device_, kernels_[k].get(), spans ? 16 : 512);
    if (spans && group_rows_[k] != 0) row_spans_ = true;
  }

  // The properties entry point exists from OpenCL 2.0 on; older platforms (and
  // some drivers that report 1.2) only have the plain one.
  if (platform_version(platform) >= 20) {
    queue_.reset(clCreateCommandQueueWithProperties(context_.get(), device_, nullptr, &error));
  } else {
    queue_.reset(clCreateCommandQueue(context_.get(), device_, 0, &error));
  }
  if (!set_up(error)) {
    queue_.reset();
    return false;
  }
  return true;
}

void gpu_context::release_gpu_context() {
  if (queue_) clFinish(queue_.get());
  image_buffer_.reset();
  dem_buffer_.reset();
  for (device_buffer& spare : spare_buffers_) spare.reset();
  for (cl_kernel_handle& kernel : kernels_) kernel.reset();
  queue_.reset();
  program_.reset();
  context_.reset();
  device_ = nullptr;
}

cl_status gpu_context::create_buffer(const std::string& what, std::size_t bytes,
                                     device_buffer& buffer, cl_mem_flags flags) {
  buffer.reset();
  bytes = std::max<std::size_t>(bytes, 1);
  cl_int error = CL_SUCCESS;
  cl_mem mem = clCreateBuffer(context_.get(), flags, bytes, nullptr, &error);
  if (error != CL_SUCCESS) return cl_check(error, "clCreateBuffer", what);
  buffer.mem.reset(mem);
  buffer.bytes = bytes;
  return {};
}

cl_status gpu_context::write_buffer(const device_buffer& buffer, const void* data,
                                    std::size_t bytes, bool blocking, const std::string& what) {
  // Never past the buffer: a record that does not describe it would be a fault here.
  if (!buffer || data == nullptr || bytes > buffer.bytes)
    return cl_check(CL_INVALID_VALUE, "clEnqueueWriteBuffer", what);
  if (bytes == 0) return {};
  return cl_check(
      clEnqueueWriteBuffer(queue_.get(), buffer.mem.get(), blocking ? CL_TRUE : CL_FALSE, 0, bytes,
                           data, 0, nullptr, nullptr),
      "clEnqueueWriteBuffer", what);
}

cl_status gpu_context::read_buffer(const device_buffer& buffer, void* data, std::size_t bytes,
                                   const std::string& what) {
  if (!buffer || data == nullptr || bytes > buffer.bytes)
    return cl_check(CL_INVALID_VALUE, "clEnqueueReadBuffer", what);
  if (bytes == 0) return {};
  return cl_check(clEnqueueReadBuffer(queue_.get(), buffer.mem.get(), CL_TRUE, 0, bytes, data, 0,
                                      nullptr, nullptr),
                  "clEnqueueReadBuffer", what);
}

cl_status gpu_context::map_buffer(const device_buffer& buffer, std::size_t bytes,
                                  const std::string& what, mapped_buffer& mapped) {
  if (!buffer || bytes == 0 || bytes > buffer.bytes)
    return cl_check(CL_INVALID_VALUE, "clEnqueueMapBuffer", what);
  cl_int code = CL_SUCCESS;
  void* data = clEnqueueMapBuffer(queue_.get(), buffer.mem.get(), CL_TRUE,
                                  CL_MAP_READ | CL_MAP_WRITE, 0, bytes, 0, nullptr, nullptr, &code);
  if (code == CL_SUCCESS && data == nullptr) code = CL_INVALID_VALUE;
  if (code != CL_SUCCESS) return cl_check(code, "clEnqueueMapBuffer", what);
  mapped = mapped_buffer(queue_.get(), buffer.mem.get(), data, bytes);
  return {};
}

cl_status gpu_context::fill_buffer(const device_buffer& buffer, const void* pattern,
                                   std::size_t pattern_bytes, const std::string& what) {
  if (!buffer || pattern == nullptr || pattern_bytes == 0 || buffer.bytes % pattern_bytes != 0)
    return cl_check(CL_INVALID_VALUE, "clEnqueueFillBuffer", what);
  // A CPU runtime fills on one thread, and a view's planes are hundreds of megabytes of
  // fresh pages: whole work groups of 16-byte blocks go to a kernel on every core (one
  // group size, one build), the rest to the runtime.
  constexpr std::size_t block = 16, least_kernel_bytes = std::size_t{1} << 20;
  const int fill = static_cast<int>(kernel_id::fill_blocks);
  const std::size_t group_bytes = group_rows_[fill] * block;
  std::size_t done = 0;
  if (group_bytes != 0 && buffer.bytes >= least_kernel_bytes && block % pattern_bytes == 0) {
    cl_uint4 blocks_pattern;
    auto* bytes = reinterpret_cast<unsigned char*>(&blocks_pattern);
    for (std::size_t i = 0; i < block; ++i)
      bytes[i] = static_cast<const unsigned char*>(pattern)[i % pattern_bytes];
    done = buffer.bytes / group_bytes * group_bytes;
    const cl_status status = launch(kernel_id::fill_blocks)
                                 .set("buffer", buffer)
                                 .set("pattern", blocks_pattern)
                                 .run(0, done / block, 0, 1);
    if (!status.ok())
      return cl_check(status.code, "clEnqueueNDRangeKernel", "fill_blocks, " + what);
  }
  if (done == buffer.bytes) return {};
  return cl_check(clEnqueueFillBuffer(queue_.get(), buffer.mem.get(), pattern, pattern_bytes, done,
                                      buffer.bytes - done, 0, nullptr, nullptr),
                  "clEnqueueFillBuffer", what);
}

cl_status gpu_context::finish() {
  if (!queue_) return cl_check(CL_INVALID_COMMAND_QUEUE, "clFinish", "device queue");
  return cl_check(clFinish(queue_.get()), "clFinish", "device queue");
}

kernel_launch gpu_context::launch(kernel_id kernel) const {
  // On a CPU device a work item is a pass of a loop, and a whole row of a window in one
  // loop tests its footprint lines once (and only over the columns within them); on a
  // GPU a work item is a thread, one a pixel.
  const std::size_t row_span =
      !spans_rows(kernel) ? 0 : row_spans_ ? std::numeric_limits<std::size_t>::max() : 1;
  return kernel_launch(queue_.get(), kernels_[static_cast<int>(kernel)].get(),
                       signature_of(kernel), group_rows_[static_cast<int>(kernel)], row_span);
}

cl_status gpu_context::upload_frame(const unsigned char* pixels) {
  // Whatever the channel setting, never more than the 3-byte frame the buffer holds.
  const std::size_t bytes = static_cast<std::size_t>(std::clamp<int32_t>(channels_, 0, 3)) *
                            static_cast<std::size_t>(image_width_) *
                            static_cast<std::size_t>(image_height_);
  return write_buffer(image_buffer_, pixels, bytes, true, "camera frame");
}

cl_status gpu_context::reserve_dem_buffer(std::size_t bytes) {
  if (bytes <= dem_buffer_.bytes) return {};
  return create_buffer("DEM", bytes, dem_buffer_);
}

}  // namespace aeroquilt
