#include "output/grid_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "output/output_files.h"

namespace aeroquilt {
namespace {

// Up to 4 KB: a record is a few lines.
std::string read_small_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return "";
  char buffer[4096];
  const ssize_t got = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : "";
}

}  // namespace

std::string read_grid_record(const std::string& path) { return read_small_file(path); }

grid_claim claim_grid_record(const std::string& path, const std::string& text) {
  grid_claim claim;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd >= 0) {
    // One write of a few lines: a run reading meanwhile sees all of it or nothing.
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int saved = errno;
    ::close(fd);
    if (!written) {
      ::unlink(path.c_str());
      claim.error = std::strerror(saved);
      return claim;
    }
    claim.match = grid_match::recorded;
    return claim;
  }
  if (errno != EEXIST) {
    claim.error = std::strerror(errno);
    return claim;
  }
  // Created by a run that has not written it yet: wait for its text, briefly.
  for (int tries = 0; tries < 200 && claim.recorded.empty(); ++tries) {
    claim.recorded = read_small_file(path);
    if (claim.recorded.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  claim.match = claim.recorded == text ? grid_match::same : grid_match::different;
  return claim;
}

bool replace_grid_record(const std::string& path, const std::string& text) {
  if (::access(path.c_str(), F_OK) != 0) return true;
  return write_text_atomically(path, text) == write_outcome::written;
}

}  // namespace aeroquilt
