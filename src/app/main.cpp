#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "app/run_main.h"

namespace {

// Set while the run is ours to end: a library that calls exit() meanwhile (an OpenCL
// compiler that cannot write its cache under a file size limit exits 1, which reads as
// "mosaic written") must not end the run with a status that says it finished.
std::atomic<bool> g_running{false};

void refuse_foreign_exit() {
  if (!g_running.exchange(false)) return;
  std::fflush(stdout);
  std::fprintf(stderr, "the run was ended by a library it uses before it finished: its outputs "
                       "may be missing\n");
  std::fflush(stderr);
  ::_exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  // Past a file size limit (ulimit -f) a write then fails with EFBIG, which the
  // writers report, instead of the signal ending the process.
  std::signal(SIGXFSZ, SIG_IGN);
  std::atexit(refuse_foreign_exit);
  g_running = true;
  int status = 2;
  try {
    status = aeroquilt::run_main(argc, argv);
  } catch (const std::exception& error) {
    // Fatal texts mostly end in a line feed already; never print two.
    const std::string text = error.what();
    std::fprintf(stderr, "%s%s", text.c_str(), (!text.empty() && text.back() == '\n') ? "" : "\n");
  }
  g_running = false;
  return status;
}
