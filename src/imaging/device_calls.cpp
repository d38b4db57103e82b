#include "imaging/device_calls.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>

namespace aeroquilt {

std::string cl_error_name(cl_int code) {
  switch (code) {
#define AQ_CL_ERROR(name) \
  case name:              \
    return #name;
    AQ_CL_ERROR(CL_SUCCESS)
    AQ_CL_ERROR(CL_DEVICE_NOT_FOUND)
    AQ_CL_ERROR(CL_DEVICE_NOT_AVAILABLE)
    AQ_CL_ERROR(CL_COMPILER_NOT_AVAILABLE)
    AQ_CL_ERROR(CL_MEM_OBJECT_ALLOCATION_FAILURE)
    AQ_CL_ERROR(CL_OUT_OF_RESOURCES)
    AQ_CL_ERROR(CL_OUT_OF_HOST_MEMORY)
    AQ_CL_ERROR(CL_PROFILING_INFO_NOT_AVAILABLE)
    AQ_CL_ERROR(CL_MEM_COPY_OVERLAP)
    AQ_CL_ERROR(CL_IMAGE_FORMAT_MISMATCH)
    AQ_CL_ERROR(CL_IMAGE_FORMAT_NOT_SUPPORTED)
    AQ_CL_ERROR(CL_BUILD_PROGRAM_FAILURE)
    AQ_CL_ERROR(CL_MAP_FAILURE)
    AQ_CL_ERROR(CL_MISALIGNED_SUB_BUFFER_OFFSET)
    AQ_CL_ERROR(CL_EXEC_STATUS_ERROR_FOR_EVENTS_IN_WAIT_LIST)
    AQ_CL_ERROR(CL_COMPILE_PROGRAM_FAILURE)
    AQ_CL_ERROR(CL_LINKER_NOT_AVAILABLE)
    AQ_CL_ERROR(CL_LINK_PROGRAM_FAILURE)
    AQ_CL_ERROR(CL_DEVICE_PARTITION_FAILED)
    AQ_CL_ERROR(CL_KERNEL_ARG_INFO_NOT_AVAILABLE)
    AQ_CL_ERROR(CL_INVALID_VALUE)
    AQ_CL_ERROR(CL_INVALID_DEVICE_TYPE)
    AQ_CL_ERROR(CL_INVALID_PLATFORM)
    AQ_CL_ERROR(CL_INVALID_DEVICE)
    AQ_CL_ERROR(CL_INVALID_CONTEXT)
    AQ_CL_ERROR(CL_INVALID_QUEUE_PROPERTIES)
    AQ_CL_ERROR(CL_INVALID_COMMAND_QUEUE)
    AQ_CL_ERROR(CL_INVALID_HOST_PTR)
    AQ_CL_ERROR(CL_INVALID_MEM_OBJECT)
    AQ_CL_ERROR(CL_INVALID_IMAGE_FORMAT_DESCRIPTOR)
    AQ_CL_ERROR(CL_INVALID_IMAGE_SIZE)
    AQ_CL_ERROR(CL_INVALID_SAMPLER)
    AQ_CL_ERROR(CL_INVALID_BINARY)
    AQ_CL_ERROR(CL_INVALID_BUILD_OPTIONS)
    AQ_CL_ERROR(CL_INVALID_PROGRAM)
    AQ_CL_ERROR(CL_INVALID_PROGRAM_EXECUTABLE)
    AQ_CL_ERROR(CL_INVALID_KERNEL_NAME)
    AQ_CL_ERROR(CL_INVALID_KERNEL_DEFINITION)
    AQ_CL_ERROR(CL_INVALID_KERNEL)
    AQ_CL_ERROR(CL_INVALID_ARG_INDEX)
    AQ_CL_ERROR(CL_INVALID_ARG_VALUE)
    AQ_CL_ERROR(CL_INVALID_ARG_SIZE)
    AQ_CL_ERROR(CL_INVALID_KERNEL_ARGS)
    AQ_CL_ERROR(CL_INVALID_WORK_DIMENSION)
    AQ_CL_ERROR(CL_INVALID_WORK_GROUP_SIZE)
    AQ_CL_ERROR(CL_INVALID_WORK_ITEM_SIZE)
    AQ_CL_ERROR(CL_INVALID_GLOBAL_OFFSET)
    AQ_CL_ERROR(CL_INVALID_EVENT_WAIT_LIST)
    AQ_CL_ERROR(CL_INVALID_EVENT)
    AQ_CL_ERROR(CL_INVALID_OPERATION)
    AQ_CL_ERROR(CL_INVALID_GL_OBJECT)
    AQ_CL_ERROR(CL_INVALID_BUFFER_SIZE)
    AQ_CL_ERROR(CL_INVALID_MIP_LEVEL)
    AQ_CL_ERROR(CL_INVALID_GLOBAL_WORK_SIZE)
    AQ_CL_ERROR(CL_INVALID_PROPERTY)
    AQ_CL_ERROR(CL_INVALID_IMAGE_DESCRIPTOR)
    AQ_CL_ERROR(CL_INVALID_COMPILER_OPTIONS)
    AQ_CL_ERROR(CL_INVALID_LINKER_OPTIONS)
    AQ_CL_ERROR(CL_INVALID_DEVICE_PARTITION_COUNT)
#undef AQ_CL_ERROR
  }
  return "error " + std::to_string(code);
}

std::string cl_status::message() const { return call + " failed with " + cl_error_name(code); }

cl_status cl_check(cl_int code, const char* call, const std::string& what) {
  if (code == CL_SUCCESS) return {};
  return {code, std::string(call) + " (" + what + ")"};
}

mapped_buffer::mapped_buffer(cl_command_queue queue, cl_mem mem, void* data, std::size_t bytes)
    : data_(data), bytes_(bytes) {
  if (clRetainCommandQueue(queue) == CL_SUCCESS) queue_.reset(queue);
  if (clRetainMemObject(mem) == CL_SUCCESS) mem_.reset(mem);
}

mapped_buffer& mapped_buffer::operator=(mapped_buffer&& other) noexcept {
  if (this != &other) {
    reset();
    queue_ = std::move(other.queue_);
    mem_ = std::move(other.mem_);
    data_ = std::exchange(other.data_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

void mapped_buffer::reset() {
  // Flushed, not waited for: the buffer goes once the queue reaches the unmap. An unmap
  // the runtime refuses leaves the buffer to the context's release.
  if (data_ != nullptr && queue_ && mem_ &&
      clEnqueueUnmapMemObject(queue_.get(), mem_.get(), data_, 0, nullptr, nullptr) == CL_SUCCESS)
    clFlush(queue_.get());
  mem_.reset();
  queue_.reset();
  data_ = nullptr;
  bytes_ = 0;
}

kernel_launch::kernel_launch(cl_command_queue queue, cl_kernel kernel,
                             const kernel_signature& signature, std::size_t group_rows,
                             std::size_t row_span)
    : queue_(queue),
      kernel_(kernel),
      signature_(signature),
      bound_(signature.arguments.size(), false),
      group_rows_(group_rows),
      row_span_(row_span) {
  if (kernel_ == nullptr) failure_ = cl_check(CL_INVALID_KERNEL, "clCreateKernel", signature.name);
}

kernel_launch& kernel_launch::set(const char* argument, cl_int value) {
  bind(argument, sizeof(value), &value);
  return *this;
}

kernel_launch& kernel_launch::set(const char* argument, float value) {
  bind(argument, sizeof(value), &value);
  return *this;
}

kernel_launch& kernel_launch::set(const char* argument, const cl_uint4& value) {
  bind(argument, sizeof(value), &value);
  return *this;
}

kernel_launch& kernel_launch::set(const char* argument, const device_buffer& buffer) {
  const cl_mem mem = buffer.mem.get();
  bind(argument, sizeof(mem), &mem);
  return *this;
}

bool kernel_launch::takes(const char* argument) const {
  for (const char* name : signature_.arguments) {
    if (std::strcmp(name, argument) == 0) return true;
  }
  return false;
}

void kernel_launch::bind(const char* argument, std::size_t size, const void* value) {
  if (!failure_.ok()) return;
  const std::string what = std::string(signature_.name) + " " + argument;
  for (std::size_t index = 0; index < signature_.arguments.size(); ++index) {
    if (std::strcmp(signature_.arguments[index], argument) != 0) continue;
    failure_ = cl_check(clSetKernelArg(kernel_, static_cast<cl_uint>(index), size, value),
                        "clSetKernelArg", what);
    bound_[index] = failure_.ok();
    return;
  }
  assert(!"a kernel argument the kernel does not declare");
  failure_ = cl_check(CL_INVALID_ARG_INDEX, "clSetKernelArg", what);
}

cl_status kernel_launch::run(std::size_t r0, std::size_t rows, std::size_t c0, std::size_t cols) {
  std::size_t items = cols;
  if (row_span_ != 0) {
    constexpr auto most = static_cast<std::size_t>(std::numeric_limits<cl_int>::max());
    if (cols > most)
      return cl_check(CL_INVALID_GLOBAL_WORK_SIZE, "clEnqueueNDRangeKernel", signature_.name);
    const std::size_t span = std::clamp<std::size_t>(cols, 1, row_span_);
    set("span", static_cast<cl_int>(span)).set("cols", static_cast<cl_int>(cols));
    items = (cols + span - 1) / span;
  }
  if (!failure_.ok()) return failure_;
  for (std::size_t index = 0; index < bound_.size(); ++index) {
    if (!bound_[index]) {
      return cl_check(
          CL_INVALID_KERNEL_ARGS, "clEnqueueNDRangeKernel",
          std::string(signature_.name) + ", " + signature_.arguments[index] + " not set");
    }
  }
  if (rows == 0 || cols == 0) return {};
  if (group_rows_ == 0) {
    const std::size_t offset[2] = {r0, c0};
    const std::size_t size[2] = {rows, items};
    return cl_check(
        clEnqueueNDRangeKernel(queue_, kernel_, 2, offset, size, nullptr, 0, nullptr, nullptr),
        "clEnqueueNDRangeKernel", signature_.name);
  }
  std::size_t done = 0;
  for (std::size_t group = group_rows_; group > 0 && done < rows; group /= 2) {
    const std::size_t part = (rows - done) / group * group;
    if (part == 0) continue;
    const std::size_t offset[2] = {r0 + done, c0};
    const std::size_t size[2] = {part, items};
    const std::size_t local[2] = {group, 1};
    const cl_status status = cl_check(
        clEnqueueNDRangeKernel(queue_, kernel_, 2, offset, size, local, 0, nullptr, nullptr),
        "clEnqueueNDRangeKernel", signature_.name);
    if (!status.ok()) return status;
    done += part;
  }
  return {};
}

}  // namespace aeroquilt
