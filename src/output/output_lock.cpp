#include "output/output_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

namespace aeroquilt {
namespace {

bool same_file(int fd, const std::string& path) {
  struct stat open_file, named;
  return ::fstat(fd, &open_file) == 0 && ::stat(path.c_str(), &named) == 0 &&
         open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

std::string holder_line() {
  char host[256] = "unknown";
  ::gethostname(host, sizeof host - 1);
  host[sizeof host - 1] = '\0';
  char since[32] = "";
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  if (::gmtime_r(&now, &utc) != nullptr)
    std::strftime(since, sizeof since, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return "pid " + std::to_string(static_cast<long>(::getpid())) + " on host " + host + " since " +
         since + "\n";
}

// The holders' lines, joined by "; ".
std::string read_holders(int fd) {
  std::string text;
  char buffer[512];
  for (off_t offset = 0; text.size() < 4096;) {
    const ssize_t got = ::pread(fd, buffer, sizeof buffer, offset);
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
    offset += got;
  }
  while (!text.empty() && text.back() == '\n') text.pop_back();
  for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at))
    text.replace(at, 1, "; ");
  return text.empty() ? "unknown" : text;
}

}  // namespace

output_lock::~output_lock() { release(); }

output_lock::output_lock(output_lock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

output_lock& output_lock::operator=(output_lock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

void output_lock::release() {
  if (fd_ < 0) return;
  // Exclusive now means no other run holds the file: it can go. (A run that opened it
  // just before finds the name gone after locking and starts over.)
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0 && same_file(fd_, path_)) ::unlink(path_.c_str());
  ::close(fd_);
  fd_ = -1;
}

lock_attempt take_output_lock(const std::string& path, output_lock_mode mode) {
  lock_attempt attempt;
  for (int tries = 0; tries < 100; ++tries) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
      attempt.error = std::strerror(errno);
      return attempt;
    }
    const int operation = mode == output_lock_mode::exclusive ? LOCK_EX : LOCK_SH;
    if (::flock(fd, operation | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) {
        attempt.busy = true;
        attempt.holder = read_holders(fd);
      } else {
        attempt.error = std::strerror(errno);
      }
      ::close(fd);
      return attempt;
    }
    // Locked a file its last holder removed meanwhile: the lock guards nothing.
    if (!same_file(fd, path)) {
      ::close(fd);
      continue;
    }
    // Who holds it, for the message of a run refused; a failed write changes nothing.
    const std::string line = holder_line();
    bool recorded = mode == output_lock_mode::shared || ::ftruncate(fd, 0) == 0;
    recorded =
        recorded && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    static_cast<void>(recorded);
    attempt.lock.fd_ = fd;
    attempt.lock.path_ = path;
    return attempt;
  }
  attempt.error = "the lock file keeps being replaced";
  return attempt;
}

}  // namespace aeroquilt
