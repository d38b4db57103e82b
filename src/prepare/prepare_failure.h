#pragma once
// The reason a survey cannot be prepared; caught once by the prepare command.

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "base/input_file.h"

namespace aeroquilt {

class prepare_failure : public std::runtime_error {
 public:
  explicit prepare_failure(const std::string& reason) : std::runtime_error(reason) {}
};

using prepare_input = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// `path`, an input of the survey that messages call `what` ("poses file"), opened for
// reading when it is a regular file; a prepare_failure that says why not otherwise.
inline prepare_input open_prepare_input(const std::string& what, const std::string& path) {
  std::string reason;
  bool wrong_kind = false;
  prepare_input file(fopen_regular_file(path, "rb", reason, &wrong_kind), &std::fclose);
  if (!file) {
    throw prepare_failure(what + " " + path +
                          (wrong_kind ? " is not a regular file (" + reason + ")"
                                      : " cannot be read (" + reason + ")"));
  }
  return file;
}

}  // namespace aeroquilt
