#pragma once
// Opening the user's input files for reading: only a regular file is read, so that a
// FIFO, a device such as /dev/zero or a folder named as an input ends in a message
// instead of a hang or an endless read. Also the memory the machine has free.

#include <cstdint>
#include <cstdio>
#include <string>

namespace aeroquilt {

// Opens `path` read-only without blocking (a FIFO with no writer would block the
// open itself) and keeps the descriptor only when it is a regular file. Returns the
// descriptor (blocking again, close-on-exec), or -1 with `reason` set: what the file
// is ("a FIFO", "a device", "a folder", ...; `wrong_kind` then true) or why it could
// not be opened ("not found", the system's error text).
int open_regular_file(const std::string& path, std::string& reason, bool* wrong_kind = nullptr);

// The same as a stdio stream in mode "r" or "rb"; nullptr with `reason` set.
std::FILE* fopen_regular_file(const std::string& path, const char* mode, std::string& reason,
                              bool* wrong_kind = nullptr);

// True when `path` names a regular file (following links); `reason` as above otherwise.
bool is_regular_file(const std::string& path, std::string& reason);

// Bytes of memory the machine can give this process without swapping: MemAvailable of
// /proc/meminfo (else the free physical pages), or less when the control group's limit
// (cgroup v2 memory.max, "max" reading as no limit, or v1 memory.limit_in_bytes) leaves less.
uint64_t available_memory_bytes();

// What the control group mounted at `root` lets this process still take (limit less
// usage, the smaller of version 2's and version 1's); 0 when neither gives a limit.
uint64_t control_group_headroom_bytes(const std::string& root);

}  // namespace aeroquilt
