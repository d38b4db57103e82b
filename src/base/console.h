#pragma once
// Console messages and the fixed pauses that follow some of them. Every message of
// the system goes through console_printf so that tests can capture it.

#include <string>

namespace aeroquilt {

// printf to standard output (flushed), or into the active capture. Thread-safe.
void console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Sleeps `ms` milliseconds, unless pauses are switched off (tests, batch runs).
void pause_ms(int ms);

// Batch runs: every later pause_ms returns at once.
void skip_pauses();

// Sends every later message to standard error, leaving standard output to a result
// (the tile list).
void console_to_stderr();

// While alive, console_printf text is collected here instead of being printed,
// and pauses are recorded instead of slept. Not nestable.
class console_capture {
 public:
  console_capture();
  ~console_capture();
  console_capture(const console_capture&) = delete;
  console_capture& operator=(const console_capture&) = delete;

  std::string text() const;
  long long paused_ms() const;  // total of the pauses requested while capturing
};

}  // namespace aeroquilt
