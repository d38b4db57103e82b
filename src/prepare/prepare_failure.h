#pragma once
// The reason a survey cannot be prepared; caught once by the prepare command.

#include <stdexcept>
#include <string>

namespace aeroquilt {

class prepare_failure : public std::runtime_error {
 public:
  explicit prepare_failure(const std::string& reason) : std::runtime_error(reason) {}
};

}  // namespace aeroquilt
