// Projection of camera images into a north-up output view (OpenCL C 1.2, single
// precision only).
//
// One work item is one output pixel: get_global_id(0) is the absolute view row,
// get_global_id(1) the absolute view column. The host launches over the part of
// the view an image's footprint covers. A pixel the image does not see is left
// as it is, so a later image overwrites earlier ones only where it sees the ground.
//
// Buffers: the 228-byte view record (read through 4-byte-aligned float/int
// offsets only), the output view (height x width x 3 bytes, blue green red), the
// camera image (image_height x image_width x 3 bytes, no padding) and, for the
// terrain kernel, the packed view DEM (28-byte header, then 92-byte nodes).
//
// Contraction into fma is off so that the host's reference computes the same
// roundings.
#pragma OPENCL FP_CONTRACT OFF

// Offsets into the view record, in floats (byte offset / 4).
#define VIEW_EXTRINSIC 0     // 3x4 row-major, local frame to camera
#define VIEW_INTRINSIC 12    // 3x3 row-major, camera to pixel (1-based)
#define VIEW_X_MIN 29
#define VIEW_Y_MAX 32
#define VIEW_PIXEL_SIZE 33
#define VIEW_WIDTH 44
#define VIEW_HEIGHT 45
#define VIEW_REF_LAT_RAD 47

// The packed view DEM, in floats.
#define DEM_LAT_START 0
#define DEM_LON_START 1
#define DEM_CELL_SIZE 4
#define DEM_NODE_ROWS 5
#define DEM_NODE_COLS 6
#define DEM_HEADER_FLOATS 7
#define DEM_NODE_FLOATS 23

#define EARTH_A 6378137.0f
#define EARTH_E 0.081819190842f
#define RAD_TO_DEG 57.295779513082323f

// Maps the local point (x east, y north, z up, metres) into the image and, when
// the image sees it, writes its bilinear sample to out[0..2].
void project_local_point(float x, float y, float z, __global const float* view,
                         int image_width, int image_height, __global const uchar* image,
                         __global uchar* out) {
  __global const float* e = view + VIEW_EXTRINSIC;
  __global const float* k = view + VIEW_INTRINSIC;
  const float q0 = e[0] * x + e[1] * y + e[2] * z + e[3];
  const float q1 = e[4] * x + e[5] * y + e[6] * z + e[7];
  const float q2 = e[8] * x + e[9] * y + e[10] * z + e[11];
  if (!(q2 > 0.0f)) return;  // behind the camera
  const float p0 = k[0] * q0 + k[1] * q1 + k[2] * q2;
  const float p1 = k[3] * q0 + k[4] * q1 + k[5] * q2;
  const float p2 = k[6] * q0 + k[7] * q1 + k[8] * q2;
  // The camera model counts pixels from 1; the image rows and columns from 0.
  const float fx = p0 / p2 - 1.0f;
  const float fy = p1 / p2 - 1.0f;
  if (!(fx >= 0.0f && fx <= (float)(image_width - 1) && fy >= 0.0f &&
        fy <= (float)(image_height - 1))) {
    return;
  }
  const int x0 = (int)fx;
  const int y0 = (int)fy;
  const int x1 = min(x0 + 1, image_width - 1);
  const int y1 = min(y0 + 1, image_height - 1);
  const float ax = fx - (float)x0;
  const float ay = fy - (float)y0;
  __global const uchar* p00 = image + ((size_t)y0 * (size_t)image_width + (size_t)x0) * 3;
  __global const uchar* p01 = image + ((size_t)y0 * (size_t)image_width + (size_t)x1) * 3;
  __global const uchar* p10 = image + ((size_t)y1 * (size_t)image_width + (size_t)x0) * 3;
  __global const uchar* p11 = image + ((size_t)y1 * (size_t)image_width + (size_t)x1) * 3;
  for (int ch = 0; ch < 3; ++ch) {
    const float top = (1.0f - ax) * (float)p00[ch] + ax * (float)p01[ch];
    const float bottom = (1.0f - ax) * (float)p10[ch] + ax * (float)p11[ch];
    const float value = (1.0f - ay) * top + ay * bottom;
    out[ch] = (uchar)min(255.0f, floor(value + 0.5f));
  }
}

// The view pixel of this work item: its local point (x, y) and its output bytes.
// False for a work item outside the view.
bool view_pixel(__global const float* view, __global uchar* output, float* x, float* y,
                __global uchar** out) {
  const int row = (int)get_global_id(0);
  const int col = (int)get_global_id(1);
  const int width = as_int(view[VIEW_WIDTH]);
  const int height = as_int(view[VIEW_HEIGHT]);
  if (row >= height || col >= width) return false;
  const float pixel_size = view[VIEW_PIXEL_SIZE];
  *x = view[VIEW_X_MIN] + (float)col * pixel_size;
  *y = view[VIEW_Y_MAX] - (float)row * pixel_size;
  *out = output + ((size_t)row * (size_t)width + (size_t)col) * 3;
  return true;
}

__kernel void project_image(int image_width, int image_height, __global const float* view,
                            __global uchar* output, __global const uchar* image) {
  float x, y;
  __global uchar* out;
  if (!view_pixel(view, output, &x, &y, &out)) return;
  project_local_point(x, y, 0.0f, view, image_width, image_height, image, out);
}

__kernel void project_image_dem(int image_width, int image_height, __global const float* view,
                                __global uchar* output, __global const uchar* image,
                                __global const uchar* dem, int dem_bytes, float ref_lat_deg,
                                float ref_lon_deg) {
  float x, y;
  __global uchar* out;
  if (!view_pixel(view, output, &x, &y, &out)) return;

  if (dem_bytes < DEM_HEADER_FLOATS * 4) return;
  __global const float* grid = (__global const float*)dem;
  const float cell_size = grid[DEM_CELL_SIZE];
  const int node_rows = as_int(grid[DEM_NODE_ROWS]);
  const int node_cols = as_int(grid[DEM_NODE_COLS]);
  if (!(cell_size > 0.0f) || node_rows < 2 || node_cols < 2) return;
  if ((ulong)node_rows * (ulong)node_cols * (DEM_NODE_FLOATS * 4) + DEM_HEADER_FLOATS * 4 >
      (ulong)dem_bytes) {
    return;
  }

  // The record's radii are doubles at unaligned offsets (196, 204) and doubles
  // are optional on devices, so they are recomputed here in single precision
  // from the record's reference latitude.
  const float phi0 = view[VIEW_REF_LAT_RAD];
  const float s = sin(phi0);
  const float e2 = EARTH_E * EARTH_E;
  const float w = 1.0f - e2 * (s * s);
  const float radius_east = EARTH_A / sqrt(w);
  const float radius_north = EARTH_A * (1.0f - e2) / w;

  // Degrees counted from the grid's south-west node: absolute degrees would
  // cancel (a float ulp at 100 degrees is about a metre).
  const float lat_from_start =
      (ref_lat_deg - grid[DEM_LAT_START]) + y / radius_north * RAD_TO_DEG;
  const float lon_from_start =
      (ref_lon_deg - grid[DEM_LON_START]) + x / (cos(phi0) * radius_east) * RAD_TO_DEG;
  const float ti = lat_from_start / cell_size;
  const float tj = lon_from_start / cell_size;
  if (!(ti >= 0.0f && tj >= 0.0f)) return;
  const float fi = floor(ti);
  const float fj = floor(tj);
  // Only the cells south-west of the last row and column carry a patch.
  if (fi > (float)(node_rows - 2) || fj > (float)(node_cols - 2)) return;
  const float u = tj - fj;  // longitude fraction
  const float v = ti - fi;  // latitude fraction
  __global const float* c =
      grid + DEM_HEADER_FLOATS +
      ((size_t)(int)fi * (size_t)node_cols + (size_t)(int)fj) * DEM_NODE_FLOATS;
  float z = 0.0f;
  float u_power = 1.0f;
  for (int m = 0; m < 4; ++m) {
    z += u_power * (c[4 * m] + c[4 * m + 1] * v + c[4 * m + 2] * (v * v) +
                     c[4 * m + 3] * (v * v * v));
    u_power *= u;
  }
  project_local_point(x, y, z, view, image_width, image_height, image, out);
}

// RGGB mosaic (one byte per pixel) to blue, green, red: every pixel of a 2x2
// cell takes the cell's red, the mean of its two greens and its blue.
__kernel void Bayer(__global const uchar* raw, __global uchar* bgr, int width, int height) {
  const int row = (int)get_global_id(0);
  const int col = (int)get_global_id(1);
  if (row >= height || col >= width) return;
  const size_t r0 = (size_t)(row & ~1);
  const size_t c0 = (size_t)(col & ~1);
  const size_t r1 = (size_t)min((int)r0 + 1, height - 1);
  const size_t c1 = (size_t)min((int)c0 + 1, width - 1);
  const size_t w = (size_t)width;
  __global uchar* out = bgr + ((size_t)row * w + (size_t)col) * 3;
  out[0] = raw[r1 * w + c1];
  out[1] = (uchar)(((uint)raw[r0 * w + c1] + (uint)raw[r1 * w + c0] + 1u) / 2u);
  out[2] = raw[r0 * w + c0];
}

// Byte copy of `count` bytes, one work item per byte.
__kernel void Copy(__global const uchar* source, __global uchar* destination, int count) {
  const size_t i = get_global_id(0);
  if (i < (size_t)max(count, 0)) destination[i] = source[i];
}

// Sum of absolute differences of two single-channel images over block x block
// squares; one work item per (block row, block column), results row-major.
__kernel void block_correlation(__global const uchar* first, __global const uchar* second,
                                __global uint* sad, int width, int height, int block) {
  const int block_row = (int)get_global_id(0);
  const int block_col = (int)get_global_id(1);
  if (block <= 0) return;
  const int blocks_across = (width + block - 1) / block;
  const int blocks_down = (height + block - 1) / block;
  if (block_row >= blocks_down || block_col >= blocks_across) return;
  uint sum = 0;
  const int row_end = min((block_row + 1) * block, height);
  const int col_end = min((block_col + 1) * block, width);
  for (int r = block_row * block; r < row_end; ++r) {
    for (int c = block_col * block; c < col_end; ++c) {
      const size_t i = (size_t)r * (size_t)width + (size_t)c;
      sum += (uint)abs((int)first[i] - (int)second[i]);
    }
  }
  sad[(size_t)block_row * (size_t)blocks_across + (size_t)block_col] = sum;
}
