#include "app/live_inputs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "base/console.h"
#include "base/input_file.h"

namespace aeroquilt {
namespace {

// Bytes read from the log in one poll, and kept of a line that has not ended: a
// line counts by its first 999 characters, so a logger gone astray cannot fill memory.
constexpr std::size_t read_limit = 1 << 22;
constexpr std::size_t partial_limit = 4096;

// Closes a descriptor when it goes.
struct descriptor {
  int fd;
  ~descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

int64_t nanoseconds(const timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// Reads `count` bytes at `offset`; false when fewer are there.
bool read_at(int fd, int64_t offset, unsigned char* bytes, std::size_t count) {
  return ::pread(fd, bytes, count, static_cast<off_t>(offset)) == static_cast<ssize_t>(count);
}

// Whether the file ends as its format ends: a JPEG with its end marker (some cameras
// pad after it), a PNG with its end chunk; other formats by their settled size alone.
bool ends_whole(int fd, int64_t size) {
  unsigned char head[8] = {}, tail[64] = {};
  if (!read_at(fd, 0, head, sizeof(head))) return false;
  const std::size_t tail_bytes = static_cast<std::size_t>(std::min<int64_t>(size, sizeof(tail)));
  if (!read_at(fd, size - static_cast<int64_t>(tail_bytes), tail, tail_bytes)) return false;
  if (head[0] == 0xFF && head[1] == 0xD8) {
    for (std::size_t k = tail_bytes; k >= 2; --k) {
      if (tail[k - 2] == 0xFF && tail[k - 1] == 0xD9) return true;
    }
    return false;
  }
  static const unsigned char png[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  static const unsigned char png_end[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
  if (std::memcmp(head, png, sizeof(png)) == 0) {
    return tail_bytes >= sizeof(png_end) &&
           std::memcmp(tail + tail_bytes - sizeof(png_end), png_end, sizeof(png_end)) == 0;
  }
  return true;
}

}  // namespace

std::vector<followed_line> log_follower::poll() {
  std::vector<followed_line> lines;
  if (stopped_) return lines;
  std::string reason;
  bool wrong_kind = false;
  const descriptor file{open_regular_file(path_, reason, &wrong_kind)};
  if (file.fd < 0) {
    // Not there yet is normal before the logger starts; anything else is no log.
    if (wrong_kind || seen_) {
      console_printf("FPO file %s is %s: no longer followed\n", path_.c_str(), reason.c_str());
      stopped_ = true;
    }
    return lines;
  }
  struct stat info;
  if (::fstat(file.fd, &info) != 0) return lines;
  if (seen_ && (info.st_dev != device_ || info.st_ino != inode_)) {
    console_printf(
        "FPO file %s was replaced while followed: no longer followed (the %d lines read "
        "stand)\n",
        path_.c_str(), line_number_);
    stopped_ = true;
    return lines;
  }
  if (static_cast<uint64_t>(info.st_size) < offset_) {
    console_printf(
        "FPO file %s shrank from %llu to %lld bytes while followed: no longer followed (the "
        "%d lines read stand)\n",
        path_.c_str(), static_cast<unsigned long long>(offset_),
        static_cast<long long>(info.st_size), line_number_);
    stopped_ = true;
    return lines;
  }
  seen_ = true;
  device_ = info.st_dev;
  inode_ = info.st_ino;

  std::string text(static_cast<std::size_t>(std::min<uint64_t>(
                       static_cast<uint64_t>(info.st_size) - offset_, read_limit)),
                   '\0');
  const ssize_t got = ::pread(file.fd, text.data(), text.size(), static_cast<off_t>(offset_));
  if (got <= 0) return lines;
  text.resize(static_cast<std::size_t>(got));
  offset_ += static_cast<uint64_t>(got);
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    const std::size_t stop = end == std::string::npos ? text.size() : end + 1;
    if (partial_.size() < partial_limit)
      partial_.append(text, start, std::min(stop - start, partial_limit - partial_.size()));
    if (end != std::string::npos) {
      if (partial_.back() != '\n') partial_.push_back('\n');
      lines.push_back({++line_number_, std::move(partial_)});
      partial_.clear();
    }
    start = stop;
  }
  return lines;
}

bool frame_complete(const std::string& path, frame_seen& seen) {
  std::string reason;
  const descriptor file{open_regular_file(path, reason)};
  struct stat info;
  if (file.fd < 0 || ::fstat(file.fd, &info) != 0 || info.st_size == 0) {
    seen = {};
    return false;
  }
  timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  const int64_t modified = nanoseconds(info.st_mtim);
  const bool settled = (seen.size == info.st_size && seen.modified_ns == modified) ||
                       nanoseconds(now) - modified > 1000000000;
  seen = {static_cast<int64_t>(info.st_size), modified};
  return settled && ends_whole(file.fd, info.st_size);
}

}  // namespace aeroquilt
