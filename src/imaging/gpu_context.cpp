#include "imaging/gpu_context.h"

#include <fstream>
#include <iterator>

#include "app/fatal_error.h"

namespace aeroquilt {

std::string load_kernel_source() {
  std::ifstream file(kernel_source_path);
  if (!file) throw fatal_error("cannot open .cl file");
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace aeroquilt
