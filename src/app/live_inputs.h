#pragma once
// What a flight logger and a camera write during the flight, taken in complete units:
// the flight log line by line as it grows, and each frame once its file is whole.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace aeroquilt {

// One line of a followed file: its number (from 1) and its text with the line end.
struct followed_line {
  int number = 0;
  std::string text;
};

// Follows a text file another program appends to.
class log_follower {
 public:
  explicit log_follower(std::string path) : path_(std::move(path)) {}

  // The lines completed (ended by a line feed) since the last call; none while the file
  // does not exist yet. A file that shrinks, or another file under its name, is said
  // once and no longer followed: what was read stands.
  std::vector<followed_line> poll();
  bool stopped() const { return stopped_; }
  int lines_read() const { return line_number_; }

 private:
  std::string path_;
  std::string partial_;  // text after the last line feed read
  uint64_t offset_ = 0;  // bytes read
  bool seen_ = false;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  int line_number_ = 0;
  bool stopped_ = false;
};

// Whether the frame file at `path` is whole: a regular file whose size and time have
// not changed since `seen` last noted them (or which no writer touched for a second),
// and, for the formats that have one, which ends as its format ends (JPEG's end marker,
// PNG's end chunk). `seen` keeps the file's size and time between calls.
struct frame_seen {
  int64_t size = -1;
  int64_t modified_ns = 0;
};
bool frame_complete(const std::string& path, frame_seen& seen);

}  // namespace aeroquilt
