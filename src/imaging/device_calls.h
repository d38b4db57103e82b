#pragma once
// Checked OpenCL calls: the status of a call named with OpenCL's error name, owners of
// OpenCL objects, and the launch of one kernel with its arguments bound by name.

#include <CL/cl.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace aeroquilt {

// OpenCL's name of an error code ("CL_OUT_OF_RESOURCES"); "error N" for a code it lacks.
std::string cl_error_name(cl_int code);

// What a device call came to: success, or the call that failed and OpenCL's answer.
struct [[nodiscard]] cl_status {
  cl_int code = CL_SUCCESS;
  std::string call;  // the call and what it was for: "clEnqueueReadBuffer (view output)"

  bool ok() const { return code == CL_SUCCESS; }
  // "clEnqueueReadBuffer (view output) failed with CL_OUT_OF_RESOURCES"
  std::string message() const;
};

// The status of `call` (an OpenCL entry point) made for `what`, which returned `code`.
cl_status cl_check(cl_int code, const char* call, const std::string& what);

// Owner of one OpenCL object: released once, when the owner goes (or is reset).
template <typename Handle, cl_int (*Release)(Handle)>
class cl_handle {
 public:
  cl_handle() = default;
  explicit cl_handle(Handle handle) : handle_(handle) {}
  ~cl_handle() { reset(); }
  cl_handle(cl_handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  cl_handle& operator=(cl_handle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  cl_handle(const cl_handle&) = delete;
  cl_handle& operator=(const cl_handle&) = delete;

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  void reset(Handle handle = nullptr) {
    if (handle_ != nullptr) Release(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_ = nullptr;
};

using cl_context_handle = cl_handle<cl_context, clReleaseContext>;
using cl_queue_handle = cl_handle<cl_command_queue, clReleaseCommandQueue>;
using cl_program_handle = cl_handle<cl_program, clReleaseProgram>;
using cl_kernel_handle = cl_handle<cl_kernel, clReleaseKernel>;
using cl_mem_handle = cl_handle<cl_mem, clReleaseMemObject>;

// A device buffer and its size in bytes. (The runtime keeps a released buffer alive
// for the commands already queued on it.)
struct device_buffer {
  cl_mem_handle mem;
  std::size_t bytes = 0;

  explicit operator bool() const { return static_cast<bool>(mem); }
  void reset() {
    mem.reset();
    bytes = 0;
  }
};

// A device buffer mapped for the host, unmapped when the owner goes (or is reset). It
// holds the buffer and the queue itself, so it may outlive the view that made the
// buffer; on a CPU device the mapping is the buffer's own memory, with no copy.
class mapped_buffer {
 public:
  mapped_buffer() = default;
  // Takes a mapping of `mem` at `data` made on `queue`, retaining both.
  mapped_buffer(cl_command_queue queue, cl_mem mem, void* data, std::size_t bytes);
  ~mapped_buffer() { reset(); }
  mapped_buffer(mapped_buffer&& other) noexcept { *this = std::move(other); }
  mapped_buffer& operator=(mapped_buffer&& other) noexcept;
  mapped_buffer(const mapped_buffer&) = delete;
  mapped_buffer& operator=(const mapped_buffer&) = delete;

  void* data() const { return data_; }
  std::size_t bytes() const { return bytes_; }
  explicit operator bool() const { return data_ != nullptr; }
  void reset();

 private:
  cl_queue_handle queue_;
  cl_mem_handle mem_;
  void* data_ = nullptr;
  std::size_t bytes_ = 0;
};

// A kernel's name and its parameters' names, in the order the kernel file declares them.
struct kernel_signature {
  const char* name;
  std::vector<const char*> arguments;
};

// One launch of a kernel: every argument set by its parameter name, every call checked.
// The first failure is kept and returned by run(), which launches nothing then.
class kernel_launch {
 public:
  // `group_rows`: the rows of a work group (a power of two), or 0 for the runtime's choice.
  // `row_span`: for a kernel whose work items draw spans of a row, the most columns of
  // a span (at least 1); 0 for a kernel of one work item a pixel.
  kernel_launch(cl_command_queue queue, cl_kernel kernel, const kernel_signature& signature,
                std::size_t group_rows, std::size_t row_span = 0);

  kernel_launch& set(const char* argument, cl_int value);
  kernel_launch& set(const char* argument, float value);
  kernel_launch& set(const char* argument, const cl_uint4& value);
  kernel_launch& set(const char* argument, const device_buffer& buffer);
  // Whether the kernel declares `argument`.
  bool takes(const char* argument) const;

  // Launches one work item per pixel of rows [r0, r0 + rows) and columns [c0, c0 + cols)
  // (dimension 0 rows, global offset (r0, c0)); with a row span, one per span of each
  // row, its arguments "span" and "cols" set here. With group rows, work groups of that
  // many rows by one column, then of each smaller power of two for the rows left over (one
  // enqueue each); else the local size is the runtime's. Refused when an argument was not
  // set. An empty window launches nothing.
  cl_status run(std::size_t r0, std::size_t rows, std::size_t c0, std::size_t cols);

 private:
  void bind(const char* argument, std::size_t size, const void* value);

  cl_command_queue queue_;
  cl_kernel kernel_;
  const kernel_signature& signature_;
  std::vector<bool> bound_;
  cl_status failure_;
  std::size_t group_rows_;
  std::size_t row_span_;
};

}  // namespace aeroquilt
