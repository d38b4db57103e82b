#include "terrain/view_params.h"

#include <cstring>

namespace aeroquilt {

view_params empty_view_params() {
  view_params view;
  std::memset(&view, 0, sizeof(view));
  return view;
}

float reference_radians(double degrees) {
  return static_cast<float>((degrees * 3.141592653589793) / 180.0);
}

}  // namespace aeroquilt
