// A preloaded library that makes the N-th call of one OpenCL enqueue function fail, so
// that the end-to-end tests reach the program's handling of device failures on a
// healthy device:
//   LD_PRELOAD=libaq_cl_fault.so AQ_CL_FAULT=clEnqueueNDRangeKernel:2:CL_OUT_OF_RESOURCES
// The failing call returns the error without reaching the driver and makes no event;
// every other call goes on to the next definition, the OpenCL library's.

#include <CL/cl.h>
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct fault_plan {
  std::string call;  // empty: inject nothing
  unsigned long nth = 0;
  cl_int error = CL_SUCCESS;
};

// AQ_CL_FAULT as CALL:N:ERROR (N from 1, ERROR a name below or a negative number);
// anything else is reported and injects nothing, so that a mistyped setting cannot pass
// for a run the device survived.
fault_plan read_plan() {
  const char* setting = std::getenv("AQ_CL_FAULT");
  if (setting == nullptr || *setting == '\0') return {};
  const struct {
    const char* name;
    cl_int code;
  } errors[] = {{"CL_OUT_OF_RESOURCES", CL_OUT_OF_RESOURCES},
                {"CL_OUT_OF_HOST_MEMORY", CL_OUT_OF_HOST_MEMORY},
                {"CL_MEM_OBJECT_ALLOCATION_FAILURE", CL_MEM_OBJECT_ALLOCATION_FAILURE},
                {"CL_INVALID_VALUE", CL_INVALID_VALUE},
                {"CL_INVALID_COMMAND_QUEUE", CL_INVALID_COMMAND_QUEUE},
                {"CL_INVALID_KERNEL_ARGS", CL_INVALID_KERNEL_ARGS}};
  char call[64] = "", error[64] = "";
  fault_plan plan;
  if (std::sscanf(setting, "%63[^:]:%lu:%63s", call, &plan.nth, error) == 3) {
    plan.call = call;
    char* end = nullptr;
    plan.error = static_cast<cl_int>(std::strtol(error, &end, 10));
    if (*end != '\0') plan.error = CL_SUCCESS;
    for (const auto& known : errors) {
      if (std::strcmp(error, known.name) == 0) plan.error = known.code;
    }
  }
  const bool injectable = plan.call == "clEnqueueNDRangeKernel" ||
                          plan.call == "clEnqueueWriteBuffer" ||
                          plan.call == "clEnqueueReadBuffer" || plan.call == "clEnqueueMapBuffer";
  if (!injectable || plan.nth < 1 || plan.error >= 0) {
    std::fprintf(stderr, "aq_cl_fault: ignoring AQ_CL_FAULT=%s (not CALL:N:ERROR)\n", setting);
    return {};
  }
  return plan;
}

// Whether this call of `call` is the one to fail; `calls` counts that function's calls.
bool injects(const char* call, std::atomic<unsigned long>& calls, cl_int& error) {
  static const fault_plan plan = read_plan();
  error = plan.error;
  return plan.call == call && calls.fetch_add(1) + 1 == plan.nth;
}

// The definition the shim hides: the OpenCL library's.
template <typename Function>
Function* next_definition(const char* name) {
  void* found = ::dlsym(RTLD_NEXT, name);
  if (found == nullptr) {
    std::fprintf(stderr, "aq_cl_fault: no %s to forward to\n", name);
    std::abort();
  }
  return reinterpret_cast<Function*>(found);
}

}  // namespace

// Each function fails when its turn comes, and forwards every other call.
#define AQ_FAULT_OR_FORWARD(name, ...)                             \
  static std::atomic<unsigned long> calls{0};                      \
  cl_int error = CL_SUCCESS;                                       \
  if (injects(#name, calls, error)) return error;                  \
  static const auto real = next_definition<decltype(name)>(#name); \
  return real(__VA_ARGS__)

extern "C" {

CL_API_ENTRY cl_int CL_API_CALL clEnqueueNDRangeKernel(cl_command_queue queue, cl_kernel kernel,
                                                       cl_uint dimensions, const size_t* offset,
                                                       const size_t* size, const size_t* local_size,
                                                       cl_uint wait_count,
                                                       const cl_event* wait_list, cl_event* event) {
  AQ_FAULT_OR_FORWARD(clEnqueueNDRangeKernel, queue, kernel, dimensions, offset, size, local_size,
                      wait_count, wait_list, event);
}

CL_API_ENTRY cl_int CL_API_CALL clEnqueueWriteBuffer(cl_command_queue queue, cl_mem buffer,
                                                     cl_bool blocking, size_t offset, size_t size,
                                                     const void* data, cl_uint wait_count,
                                                     const cl_event* wait_list, cl_event* event) {
  AQ_FAULT_OR_FORWARD(clEnqueueWriteBuffer, queue, buffer, blocking, offset, size, data, wait_count,
                      wait_list, event);
}

CL_API_ENTRY cl_int CL_API_CALL clEnqueueReadBuffer(cl_command_queue queue, cl_mem buffer,
                                                    cl_bool blocking, size_t offset, size_t size,
                                                    void* data, cl_uint wait_count,
                                                    const cl_event* wait_list, cl_event* event) {
  AQ_FAULT_OR_FORWARD(clEnqueueReadBuffer, queue, buffer, blocking, offset, size, data, wait_count,
                      wait_list, event);
}

CL_API_ENTRY void* CL_API_CALL clEnqueueMapBuffer(cl_command_queue queue, cl_mem buffer,
                                                 cl_bool blocking, cl_map_flags flags,
                                                 size_t offset, size_t size, cl_uint wait_count,
                                                 const cl_event* wait_list, cl_event* event,
                                                 cl_int* error_code) {
  static std::atomic<unsigned long> calls{0};
  cl_int error = CL_SUCCESS;
  if (injects("clEnqueueMapBuffer", calls, error)) {
    if (error_code != nullptr) *error_code = error;
    return nullptr;
  }
  static const auto real = next_definition<decltype(clEnqueueMapBuffer)>("clEnqueueMapBuffer");
  return real(queue, buffer, blocking, flags, offset, size, wait_count, wait_list, event,
              error_code);
}

}  // extern "C"
