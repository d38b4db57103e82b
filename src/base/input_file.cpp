#include "base/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace aeroquilt {
namespace {

// What a file of this mode is, in words; empty for a regular file.
std::string kind_refused(mode_t mode) {
  if (S_ISREG(mode)) return "";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

}  // namespace

int open_regular_file(const std::string& path, std::string& reason, bool* wrong_kind) {
  if (wrong_kind != nullptr) *wrong_kind = false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    reason = errno == ENOENT ? "not found" : std::strerror(errno);
    return -1;
  }
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    reason = std::strerror(errno);
    ::close(fd);
    return -1;
  }
  reason = kind_refused(info.st_mode);
  if (!reason.empty()) {
    if (wrong_kind != nullptr) *wrong_kind = true;
    ::close(fd);
    return -1;
  }
  // Reads of a regular file never block; the flag is cleared for the readers' sake.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

std::FILE* fopen_regular_file(const std::string& path, const char* mode, std::string& reason,
                              bool* wrong_kind) {
  const int fd = open_regular_file(path, reason, wrong_kind);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, mode);
  if (file == nullptr) {
    reason = std::strerror(errno);
    ::close(fd);
  }
  return file;
}

bool is_regular_file(const std::string& path, std::string& reason) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) {
    reason = errno == ENOENT ? "not found" : std::strerror(errno);
    return false;
  }
  reason = kind_refused(info.st_mode);
  return reason.empty();
}

uint64_t control_group_headroom_bytes(const std::string& root) {
  // Version 2's files, then version 1's (whose "no limit" is a huge number, harmless here).
  const char* const files[][2] = {{"/memory.max", "/memory.current"},
                                  {"/memory/memory.limit_in_bytes", "/memory/memory.usage_in_bytes"}};
  uint64_t headroom = 0;
  for (const auto& [max_name, current_name] : files) {
    uint64_t limit = 0, used = 0;
    std::ifstream max_file(root + max_name), current_file(root + current_name);
    if ((max_file >> limit) && (current_file >> used) && limit > used &&
        (headroom == 0 || limit - used < headroom))
      headroom = limit - used;
  }
  return headroom;
}

uint64_t available_memory_bytes() {
  uint64_t available = 0;
  std::ifstream meminfo("/proc/meminfo");
  std::string key, unit;
  uint64_t kilobytes = 0;
  while (meminfo >> key >> kilobytes >> unit) {
    if (key == "MemAvailable:") {
      available = kilobytes * 1024;
      break;
    }
  }
  if (available == 0) {
    const long pages = ::sysconf(_SC_AVPHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0) available = static_cast<uint64_t>(pages) * page_size;
  }
  // In a container the control group's limit may be far below the machine's memory.
  const uint64_t headroom = control_group_headroom_bytes("/sys/fs/cgroup");
  if (headroom > 0 && (available == 0 || headroom < available)) available = headroom;
  return available;
}

}  // namespace aeroquilt
