#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

#include "app/run_main.h"

int main(int argc, char** argv) {
  // Past a file size limit (ulimit -f) a write then fails with EFBIG, which the
  // writers report, instead of the signal ending the process.
  std::signal(SIGXFSZ, SIG_IGN);
  try {
    return aeroquilt::run_main(argc, argv);
  } catch (const std::exception& error) {
    // Fatal texts mostly end in a line feed already; never print two.
    const std::string text = error.what();
    std::fprintf(stderr, "%s%s", text.c_str(), (!text.empty() && text.back() == '\n') ? "" : "\n");
    return 2;
  }
}
