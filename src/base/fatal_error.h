#pragma once
// The one exception type of the system: a condition that ends the run. It carries
// the message text; main prints it to standard error and exits with status 2.

#include <stdexcept>
#include <string>

namespace aeroquilt {

class fatal_error : public std::runtime_error {
 public:
  explicit fatal_error(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace aeroquilt
