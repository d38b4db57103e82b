#include "imaging/preview.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>
#include <thread>

#include "base/console.h"

namespace aeroquilt {
namespace {

// Opens and closes a window in a child process. The GUI toolkit aborts the whole
// process when DISPLAY names a display it cannot reach (a stale forwarded session, a
// CI runner with DISPLAY exported), so the run only opens windows once a child has
// done so and ended normally.
bool window_opens_in_child() {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    // The toolkit's complaints about the display are not the run's messages.
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
    }
    cv::namedWindow("aeroquilt display check", cv::WINDOW_AUTOSIZE);
    cv::destroyAllWindows();
    ::_exit(0);
  }
  // A display that neither answers nor refuses counts as unusable after 10 s.
  for (int waited_ms = 0; waited_ms < 10000; waited_ms += 10) {
    int status = 0;
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (done < 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  return false;
}

bool preview_disabled = false;

}  // namespace

void disable_preview() { preview_disabled = true; }

bool display_available() {
  static const bool usable = [] {
    if (preview_disabled) return false;
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (!((x11 && *x11) || (wayland && *wayland))) return false;
    return window_opens_in_child();
  }();
  return usable;
}

void show_preview(const cv::Mat& image, double scale) {
  static bool reported = preview_disabled;
  if (!display_available()) {
    if (!reported) console_printf("no display available, preview window skipped\n");
    reported = true;
    return;
  }
  const int width = static_cast<int>(image.cols * scale);
  const int height = static_cast<int>(image.rows * scale);
  if (width < 1 || height < 1) return;  // too small a canvas to show at this scale
  cv::Mat preview;
  cv::resize(image, preview, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
  cv::namedWindow("Figure 1", cv::WINDOW_AUTOSIZE);
  cv::imshow("Figure 1", preview);
  cv::waitKey(1);
}

}  // namespace aeroquilt
