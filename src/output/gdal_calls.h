#pragma once
// The GDAL calls every writer shares: its drivers registered once, and its messages caught
// as a failure's reason instead of printed.

#include <cpl_error.h>
#include <gdal_priv.h>

#include <mutex>
#include <string>

#include "terrain/gdal_setup.h"

namespace aeroquilt {

// The driver named `name` (drivers registered first); nullptr when GDAL has none.
GDALDriver* gdal_driver(const char* name);

// While it lives, GDAL's messages on this thread (its handlers are per thread) go here
// instead of standard error. The first failure is kept: later ones tell what failed
// because of it.
class gdal_failure_capture {
 public:
  gdal_failure_capture() {
    CPLPushErrorHandlerEx(&capture, this);
    CPLErrorReset();
  }
  ~gdal_failure_capture() { CPLPopErrorHandler(); }
  gdal_failure_capture(const gdal_failure_capture&) = delete;
  gdal_failure_capture& operator=(const gdal_failure_capture&) = delete;

  bool failed() const {
    const std::lock_guard<std::mutex> hold(mutex_);
    return !first_.empty();
  }
  // GDAL's text of the failure, or `fallback` when a call failed without one.
  std::string reason(const char* fallback) const;

 private:
  static void CPL_STDCALL capture(CPLErr level, CPLErrorNum, const char* message);
  // GDAL may report on its worker threads with this handler's data: the first failure is
  // kept under a lock.
  mutable std::mutex mutex_;
  std::string first_;
};

}  // namespace aeroquilt
