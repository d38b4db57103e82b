#pragma once
// Helpers shared by the survey maker's units; nothing here is seen by its users.

#include <array>
#include <cstdio>
#include <string>

namespace aeroquilt::testing::detail {

constexpr double pi = 3.141592653589793;
constexpr double deg = pi / 180.0;

using vec3 = std::array<double, 3>;
using mat3 = std::array<double, 9>;

inline mat3 multiply(const mat3& p, const mat3& q) {
  mat3 out{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      for (int k = 0; k < 3; ++k) out[3 * r + c] += p[3 * r + k] * q[3 * k + c];
  return out;
}

inline vec3 multiply(const mat3& m, const vec3& v) {
  return {m[0] * v[0] + m[1] * v[1] + m[2] * v[2], m[3] * v[0] + m[4] * v[1] + m[5] * v[2],
          m[6] * v[0] + m[7] * v[1] + m[8] * v[2]};
}

// Numbers as the flight log and the configuration keep them: printf formatting, exactly.
inline std::string format_number(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

// Lowest and highest possible ground of the hills, metres relative to topo_height.
void hills_bounds(double& low, double& high);

}  // namespace aeroquilt::testing::detail
