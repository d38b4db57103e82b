#include "output/gdal_calls.h"

#include <cctype>
#include <mutex>

namespace aeroquilt {
namespace {

// libtiff's messages, which GDAL passes on, start with the function that failed
// ("_tiffWriteProc:No space left on device"); the system's text after it is the reason.
std::string without_function_name(const std::string& message) {
  const std::size_t colon = message.find(':');
  if (colon == 0 || colon == std::string::npos || message.compare(colon, 2, "::") == 0)
    return message;
  for (std::size_t i = 0; i < colon; ++i) {
    const unsigned char c = static_cast<unsigned char>(message[i]);
    if (!std::isalnum(c) && c != '_') return message;
  }
  const std::size_t start = message.find_first_not_of(' ', colon + 1);
  return start == std::string::npos ? message : message.substr(start);
}

}  // namespace

GDALDriver* gdal_driver(const char* name) {
  register_gdal_drivers();
  return GetGDALDriverManager()->GetDriverByName(name);
}

std::string gdal_failure_capture::reason(const char* fallback) const {
  std::string text;
  {
    const std::lock_guard<std::mutex> hold(mutex_);
    text = first_;
  }
  if (text.empty()) text = CPLGetLastErrorMsg();
  return text.empty() ? fallback : without_function_name(text);
}

void CPL_STDCALL gdal_failure_capture::capture(CPLErr level, CPLErrorNum, const char* message) {
  auto* self = static_cast<gdal_failure_capture*>(CPLGetErrorHandlerUserData());
  if (self == nullptr || level < CE_Failure) return;
  const std::lock_guard<std::mutex> hold(self->mutex_);
  if (self->first_.empty())
    self->first_ = message != nullptr && *message != '\0' ? message : "GDAL failed";
}

}  // namespace aeroquilt
