#pragma once
// A lock on a run's output: an flock on a lock file beside the mosaic, so that two
// runs into the same output cannot interleave their files. A whole run takes it
// exclusively; runs that each write a disjoint range of tiles into one folder take
// it shared, which keeps out whole runs but not each other. The kernel releases the
// lock when the process ends, however it ends, so a lock file left behind never
// blocks; the last holder removes it.

#include <string>

#include "output/output_names.h"

namespace aeroquilt {

enum class output_lock_mode { exclusive, shared };

class output_lock {
 public:
  output_lock() = default;
  ~output_lock();
  output_lock(output_lock&& other) noexcept;
  output_lock& operator=(output_lock&& other) noexcept;
  output_lock(const output_lock&) = delete;
  output_lock& operator=(const output_lock&) = delete;

  bool held() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }

  // Releases the lock; removes the lock file when no other run holds it.
  void release();

 private:
  friend struct lock_attempt take_output_lock(const std::string&, output_lock_mode);
  int fd_ = -1;
  std::string path_;
};

struct lock_attempt {
  output_lock lock;    // held when taken
  bool busy = false;   // another run holds it
  std::string holder;  // then what that run wrote in the file ("pid 123 on host h ...")
  std::string error;   // the lock file could not be opened or locked: why
};

// Takes the lock at `path` (the file created when missing) without waiting, and writes
// this run into the file.
lock_attempt take_output_lock(const std::string& path, output_lock_mode mode);

}  // namespace aeroquilt
