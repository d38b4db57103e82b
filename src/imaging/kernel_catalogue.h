#pragma once
// The kernels of kernels/direct_registration.cl the host knows, with their parameter
// names in declaration order: the one place that says what the program needs of the
// kernel file. A launch binds arguments by these names.

#include <string>

#include "imaging/device_calls.h"

namespace aeroquilt {

// In order of creation: the five kernels every kernel file provides first, then the
// claimed projections and the compositing kernels.
enum class kernel_id : int {
  Bayer,
  project_image,
  block_correlation,
  Copy,
  project_image_dem,
  project_image_claimed,
  project_image_dem_claimed,
  composite_best_view,
  composite_feather,
  composite_blend,
  composite_best_view_flat,
  composite_sample_won_flat,
  composite_extras_flat,
  composite_feather_flat,
  composite_won_bounds,
  fill_blocks,
};
constexpr int kernel_count = 16;

// The kernel's name and parameter names.
const kernel_signature& signature_of(kernel_id kernel);

// What in `source`, a kernel file's text, differs from what this program was built with:
// a word offset of the records the kernels read (its "#define NAME <integer>"), a flag
// bit, or a kernel's parameters; empty when nothing does. A kernel file of another
// version would read the records at other places without any device call failing.
std::string kernel_file_mismatch(const std::string& source);

// Whether a work item of the kernel draws a span of one row's columns (its parameters
// "span" and "cols", which kernel_launch::run sets).
bool spans_rows(kernel_id kernel);

}  // namespace aeroquilt
