// A preloaded library that makes the N-th call of one OpenCL enqueue function fail, so
// that the end-to-end tests reach the program's handling of device failures on a
// healthy device:
//   LD_PRELOAD=libaq_cl_fault.so AQ_CL_FAULT=clEnqueueNDRangeKernel:2:CL_OUT_OF_RESOURCES
// The failing call returns the error without reaching the driver and makes no event;
// every other call goes on to the next definition, the OpenCL library's.

#include <CL/cl.h>
#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct fault_plan {
  std::string call;       // empty: inject nothing
  unsigned long nth = 0;  // from 1
  cl_int error = CL_SUCCESS;
};

#define AQ_CL_ERROR(name) \
  { #name, name }
const struct {
  const char* name;
  cl_int code;
} cl_errors[] = {
    AQ_CL_ERROR(CL_DEVICE_NOT_AVAILABLE),
    AQ_CL_ERROR(CL_MEM_OBJECT_ALLOCATION_FAILURE),
    AQ_CL_ERROR(CL_OUT_OF_RESOURCES),
    AQ_CL_ERROR(CL_OUT_OF_HOST_MEMORY),
    AQ_CL_ERROR(CL_EXEC_STATUS_ERROR_FOR_EVENTS_IN_WAIT_LIST),
    AQ_CL_ERROR(CL_INVALID_VALUE),
    AQ_CL_ERROR(CL_INVALID_COMMAND_QUEUE),
    AQ_CL_ERROR(CL_INVALID_MEM_OBJECT),
    AQ_CL_ERROR(CL_INVALID_PROGRAM_EXECUTABLE),
    AQ_CL_ERROR(CL_INVALID_KERNEL),
    AQ_CL_ERROR(CL_INVALID_KERNEL_ARGS),
    AQ_CL_ERROR(CL_INVALID_WORK_DIMENSION),
    AQ_CL_ERROR(CL_INVALID_WORK_GROUP_SIZE),
    AQ_CL_ERROR(CL_INVALID_WORK_ITEM_SIZE),
    AQ_CL_ERROR(CL_INVALID_GLOBAL_OFFSET),
    AQ_CL_ERROR(CL_INVALID_EVENT_WAIT_LIST),
    AQ_CL_ERROR(CL_INVALID_OPERATION),
    AQ_CL_ERROR(CL_INVALID_BUFFER_SIZE),
    AQ_CL_ERROR(CL_INVALID_GLOBAL_WORK_SIZE),
};
#undef AQ_CL_ERROR

const char* const injectable_calls[] = {"clEnqueueNDRangeKernel", "clEnqueueWriteBuffer",
                                        "clEnqueueReadBuffer"};

bool parse_count(const std::string& text, unsigned long& count) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  count = std::strtoul(text.c_str(), nullptr, 10);
  return errno == 0 && count >= 1;
}

// An error name of the table or a negative number.
bool parse_error(const std::string& text, cl_int& error) {
  for (const auto& known : cl_errors) {
    if (text == known.name) {
      error = known.code;
      return true;
    }
  }
  if (text.size() < 2 || text[0] != '-' ||
      text.find_first_not_of("0123456789", 1) != std::string::npos)
    return false;
  errno = 0;
  const long code = std::strtol(text.c_str(), nullptr, 10);
  if (errno != 0 || code >= 0 || code < INT_MIN) return false;
  error = static_cast<cl_int>(code);
  return true;
}

// AQ_CL_FAULT as CALL:N:ERROR; anything else is reported once and injects nothing, so
// that a mistyped setting cannot pass for a run the device survived.
fault_plan read_plan() {
  const char* setting = std::getenv("AQ_CL_FAULT");
  if (setting == nullptr || *setting == '\0') return {};
  std::vector<std::string> parts(1);
  for (const char* c = setting; *c != '\0'; ++c) {
    if (*c == ':') {
      parts.emplace_back();
    } else {
      parts.back() += *c;
    }
  }
  fault_plan plan;
  bool known_call = false;
  if (parts.size() == 3) {
    for (const char* call : injectable_calls) known_call = known_call || parts[0] == call;
  }
  if (!known_call || !parse_count(parts[1], plan.nth) || !parse_error(parts[2], plan.error)) {
    std::fprintf(stderr,
                 "aq_cl_fault: ignoring AQ_CL_FAULT=%s (expected CALL:N:ERROR with CALL one of "
                 "clEnqueueNDRangeKernel, clEnqueueWriteBuffer, clEnqueueReadBuffer, N from 1 "
                 "and ERROR a CL_ error name or a negative number)\n",
                 setting);
    return {};
  }
  plan.call = parts[0];
  return plan;
}

const fault_plan& plan() {
  static const fault_plan parsed = read_plan();
  return parsed;
}

// Whether this call of `call` is the one to fail; `calls` counts that function's calls.
bool injects(const char* call, std::atomic<unsigned long>& calls) {
  return plan().call == call && calls.fetch_add(1) + 1 == plan().nth;
}

// The definition the shim hides: the OpenCL library's.
template <typename Function>
Function* next_definition(const char* name) {
  void* found = ::dlsym(RTLD_NEXT, name);
  if (found == nullptr) {
    std::fprintf(stderr, "aq_cl_fault: no %s to forward to (%s)\n", name, ::dlerror());
    std::abort();
  }
  return reinterpret_cast<Function*>(found);
}

}  // namespace

extern "C" {

CL_API_ENTRY cl_int CL_API_CALL clEnqueueNDRangeKernel(
    cl_command_queue command_queue, cl_kernel kernel, cl_uint work_dim,
    const size_t* global_work_offset, const size_t* global_work_size, const size_t* local_work_size,
    cl_uint num_events_in_wait_list, const cl_event* event_wait_list, cl_event* event) {
  static std::atomic<unsigned long> calls{0};
  if (injects("clEnqueueNDRangeKernel", calls)) return plan().error;
  static const auto real =
      next_definition<decltype(clEnqueueNDRangeKernel)>("clEnqueueNDRangeKernel");
  return real(command_queue, kernel, work_dim, global_work_offset, global_work_size,
              local_work_size, num_events_in_wait_list, event_wait_list, event);
}

CL_API_ENTRY cl_int CL_API_CALL clEnqueueWriteBuffer(cl_command_queue command_queue, cl_mem buffer,
                                                     cl_bool blocking_write, size_t offset,
                                                     size_t size, const void* ptr,
                                                     cl_uint num_events_in_wait_list,
                                                     const cl_event* event_wait_list,
                                                     cl_event* event) {
  static std::atomic<unsigned long> calls{0};
  if (injects("clEnqueueWriteBuffer", calls)) return plan().error;
  static const auto real = next_definition<decltype(clEnqueueWriteBuffer)>("clEnqueueWriteBuffer");
  return real(command_queue, buffer, blocking_write, offset, size, ptr, num_events_in_wait_list,
              event_wait_list, event);
}

CL_API_ENTRY cl_int CL_API_CALL clEnqueueReadBuffer(cl_command_queue command_queue, cl_mem buffer,
                                                    cl_bool blocking_read, size_t offset,
                                                    size_t size, void* ptr,
                                                    cl_uint num_events_in_wait_list,
                                                    const cl_event* event_wait_list,
                                                    cl_event* event) {
  static std::atomic<unsigned long> calls{0};
  if (injects("clEnqueueReadBuffer", calls)) return plan().error;
  static const auto real = next_definition<decltype(clEnqueueReadBuffer)>("clEnqueueReadBuffer");
  return real(command_queue, buffer, blocking_read, offset, size, ptr, num_events_in_wait_list,
              event_wait_list, event);
}

}  // extern "C"
