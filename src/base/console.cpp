#include "base/console.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace aeroquilt {
namespace {

std::mutex console_mutex;
bool capturing = false;
std::string captured;
long long captured_pause_ms = 0;
bool pauses_skipped = false;
std::FILE* console_stream = nullptr;  // standard output unless switched

}  // namespace

void console_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::vector<char> text(length > 0 ? length + 1 : 1, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);

  std::lock_guard<std::mutex> lock(console_mutex);
  if (capturing) {
    captured.append(text.data());
  } else {
    std::FILE* stream = console_stream ? console_stream : stdout;
    std::fputs(text.data(), stream);
    std::fflush(stream);
  }
}

void pause_ms(int ms) {
  {
    std::lock_guard<std::mutex> lock(console_mutex);
    if (capturing) {
      captured_pause_ms += ms;
      return;
    }
    if (pauses_skipped) return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void skip_pauses() {
  std::lock_guard<std::mutex> lock(console_mutex);
  pauses_skipped = true;
}

void console_to_stderr() {
  std::lock_guard<std::mutex> lock(console_mutex);
  console_stream = stderr;
}

console_capture::console_capture() {
  std::lock_guard<std::mutex> lock(console_mutex);
  capturing = true;
  captured.clear();
  captured_pause_ms = 0;
}

console_capture::~console_capture() {
  std::lock_guard<std::mutex> lock(console_mutex);
  capturing = false;
}

std::string console_capture::text() const {
  std::lock_guard<std::mutex> lock(console_mutex);
  return captured;
}

long long console_capture::paused_ms() const {
  std::lock_guard<std::mutex> lock(console_mutex);
  return captured_pause_ms;
}

}  // namespace aeroquilt
