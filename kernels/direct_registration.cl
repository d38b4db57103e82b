// Projection of camera images into a north-up output view (OpenCL C 1.2, single precision).
// One work item is one output pixel: get_global_id(0) is the absolute view row, (1) the
// column. The host launches over the part of the view an image's footprint covers; a
// pixel the image does not see is left as it is. Buffers: the 228-byte view record (read
// through 4-byte-aligned float/int offsets only), the output view and the camera image
// (rows of blue, green, red bytes, no padding), the packed view DEM (28-byte header, then
// 92-byte nodes), the claim plane (a flight-log line per view pixel). The host binds
// arguments by name. Contraction into fma is off: the host's reference rounds the same.
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

// Image position (0-based column fx, row fy) of the local point (x east, y north, z up,
// metres); false behind the camera.
bool image_point(float x, float y, float z, __global const float* view, float* fx, float* fy) {
  __global const float* e = view + VIEW_EXTRINSIC;
  __global const float* k = view + VIEW_INTRINSIC;
  const float q0 = e[0] * x + e[1] * y + e[2] * z + e[3];
  const float q1 = e[4] * x + e[5] * y + e[6] * z + e[7];
  const float q2 = e[8] * x + e[9] * y + e[10] * z + e[11];
  if (!(q2 > 0.0f)) return false;
  const float p0 = k[0] * q0 + k[1] * q1 + k[2] * q2;
  const float p1 = k[3] * q0 + k[4] * q1 + k[5] * q2;
  const float p2 = k[6] * q0 + k[7] * q1 + k[8] * q2;
  // The camera model counts pixels from 1; the image rows and columns from 0.
  *fx = p0 / p2 - 1.0f;
  *fy = p1 / p2 - 1.0f;
  return true;
}

// Whether (fx, fy) lies within the frame's pixel centres.
bool inside_frame(float fx, float fy, int image_width, int image_height) {
  return fx >= 0.0f && fx <= (float)(image_width - 1) && fy >= 0.0f &&
         fy <= (float)(image_height - 1);
}

// Whether the image holds data at (fx, fy): inside the frame, and none of the pixels the
// sample reads black in every channel (a frame's mark of no data, such as the corners the
// lens resampling adds; real pixels carry at least 1).
bool in_frame(float fx, float fy, int image_width, int image_height, __global const uchar* image) {
  if (!inside_frame(fx, fy, image_width, image_height)) return false;
  for (int k = 0; k < 4; ++k) {
    const size_t row = (size_t)min((int)fy + k / 2, image_height - 1);
    const size_t col = (size_t)min((int)fx + k % 2, image_width - 1);
    __global const uchar* p = image + (row * (size_t)image_width + col) * 3;
    if ((p[0] | p[1] | p[2]) == 0) return false;
  }
  return true;
}

// Bilinear sample at (fx, fy) of the image, each channel rounded to a byte value.
float3 bilinear_sample(float fx, float fy, int image_width, int image_height,
                       __global const uchar* image) {
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
  float value[3];
  for (int ch = 0; ch < 3; ++ch) {
    const float top = (1.0f - ax) * (float)p00[ch] + ax * (float)p01[ch];
    const float bottom = (1.0f - ax) * (float)p10[ch] + ax * (float)p11[ch];
    value[ch] = min(255.0f, floor((1.0f - ay) * top + ay * bottom + 0.5f));
  }
  return (float3)(value[0], value[1], value[2]);
}

void write_colour(__global uchar* out, float3 colour) {
  out[0] = (uchar)colour.x;
  out[1] = (uchar)colour.y;
  out[2] = (uchar)colour.z;
}

// Maps the local point into the image and, when the image sees it, writes its
// bilinear sample to out[0..2] and returns true.
bool project_local_point(float x, float y, float z, __global const float* view,
                         int image_width, int image_height, __global const uchar* image,
                         __global uchar* out) {
  float fx, fy;
  if (!image_point(x, y, z, view, &fx, &fy)) return false;
  if (!in_frame(fx, fy, image_width, image_height, image)) return false;
  write_colour(out, bilinear_sample(fx, fy, image_width, image_height, image));
  return true;
}

// The view row and column of this work item and the pixel's index (row-major); false
// for a work item outside the view.
bool work_item_pixel(__global const float* view, int* row, int* col, size_t* index) {
  *row = (int)get_global_id(0);
  *col = (int)get_global_id(1);
  const int width = as_int(view[VIEW_WIDTH]);
  if (*row >= as_int(view[VIEW_HEIGHT]) || *col >= width) return false;
  *index = (size_t)*row * (size_t)width + (size_t)*col;
  return true;
}

// The pixels of a work item that draws a span of one view row: the columns [first, end)
// of the row, whose local point at column c is (origin_x + (c + col_offset) * pixel_size,
// y), as the per-pixel kernels place it.
typedef struct {
  int row, first, end, col_offset;
  float origin_x, pixel_size, y;
  size_t row_start;  // index of the row's first pixel
} row_span;

float span_x(const row_span* s, int col) {
  return s->origin_x + (float)(col + s->col_offset) * s->pixel_size;
}

// The span of a work item of a launch whose work items draw `span` columns each of a
// window of `cols` columns from the launch's column offset (see kernel_launch::run), with
// the row's y from `origin_y` and `row_offset` as x from `origin_x` and `col_offset`; false
// when it holds none of the view.
bool work_item_span(__global const float* view, int span, int cols, float origin_x,
                    int col_offset, float origin_y, int row_offset, row_span* s) {
  const long offset = (long)get_global_offset(1);
  const long start = offset + ((long)get_global_id(1) - offset) * span;
  const long stop = min(min(start + span, offset + cols), (long)as_int(view[VIEW_WIDTH]));
  s->row = (int)get_global_id(0);
  s->first = (int)min(start, stop);
  s->end = (int)stop;
  s->col_offset = col_offset;
  s->origin_x = origin_x;
  s->pixel_size = view[VIEW_PIXEL_SIZE];
  s->y = origin_y - (float)(s->row + row_offset) * s->pixel_size;
  s->row_start = (size_t)s->row * (size_t)as_int(view[VIEW_WIDTH]);
  return s->row < as_int(view[VIEW_HEIGHT]) && s->first < s->end;
}

// The view pixel of this work item: its local point (x, y) and its output bytes.
// False for a work item outside the view.
bool view_pixel(__global const float* view, __global uchar* output, float* x, float* y,
                __global uchar** out) {
  int row, col;
  size_t i;
  if (!work_item_pixel(view, &row, &col, &i)) return false;
  const float pixel_size = view[VIEW_PIXEL_SIZE];
  *x = view[VIEW_X_MIN] + (float)col * pixel_size;
  *y = view[VIEW_Y_MAX] - (float)row * pixel_size;
  *out = output + i * 3;
  return true;
}

__kernel void project_image(int image_width, int image_height, __global const float* view,
                            __global uchar* output, __global const uchar* image) {
  float x, y;
  __global uchar* out;
  if (!view_pixel(view, output, &x, &y, &out)) return;
  project_local_point(x, y, 0.0f, view, image_width, image_height, image, out);
}

// Whether the packed view DEM's bytes hold the grid of at least 2 x 2 nodes it describes.
bool dem_grid_usable(__global const uchar* dem, int dem_bytes) {
  if (dem_bytes < DEM_HEADER_FLOATS * 4) return false;
  __global const float* grid = (__global const float*)dem;
  const float cell_size = grid[DEM_CELL_SIZE];
  const int node_rows = as_int(grid[DEM_NODE_ROWS]);
  const int node_cols = as_int(grid[DEM_NODE_COLS]);
  if (!(cell_size > 0.0f) || node_rows < 2 || node_cols < 2) return false;
  return (ulong)node_rows * (ulong)node_cols * (DEM_NODE_FLOATS * 4) + DEM_HEADER_FLOATS * 4 <=
         (ulong)dem_bytes;
}

// The east and north radii of curvature at the record's reference latitude: the record's
// are doubles at unaligned offsets and doubles are optional on devices.
void reference_radii(__global const float* view, float* radius_east, float* radius_north) {
  const float phi0 = view[VIEW_REF_LAT_RAD];
  const float s = sin(phi0);
  const float e2 = EARTH_E * EARTH_E;
  const float w = 1.0f - e2 * (s * s);
  *radius_east = EARTH_A / sqrt(w);
  *radius_north = EARTH_A * (1.0f - e2) / w;
}

// Height of cell (fi, fj)'s patch at longitude fraction u and latitude fraction v; false
// beyond the last patch (only the cells south-west of the last row and column have one).
bool dem_patch_height(__global const float* grid, float fi, float fj, float u, float v, float* z) {
  const int node_rows = as_int(grid[DEM_NODE_ROWS]);
  const int node_cols = as_int(grid[DEM_NODE_COLS]);
  if (fi > (float)(node_rows - 2) || fj > (float)(node_cols - 2)) return false;
  __global const float* c =
      grid + DEM_HEADER_FLOATS +
      ((size_t)(int)fi * (size_t)node_cols + (size_t)(int)fj) * DEM_NODE_FLOATS;
  float height = 0.0f;
  float u_power = 1.0f;
  for (int m = 0; m < 4; ++m) {
    height += u_power * (c[4 * m] + c[4 * m + 1] * v + c[4 * m + 2] * (v * v) +
                         c[4 * m + 3] * (v * v * v));
    u_power *= u;
  }
  *z = height;
  return true;
}

// Height of local point (x, y) on the packed view DEM; false outside it or when the
// DEM bytes do not hold the grid they describe.
bool view_dem_height(float x, float y, __global const float* view, __global const uchar* dem,
                     int dem_bytes, float ref_lat_deg, float ref_lon_deg, float* z) {
  if (!dem_grid_usable(dem, dem_bytes)) return false;
  __global const float* grid = (__global const float*)dem;
  const float cell_size = grid[DEM_CELL_SIZE];
  float radius_east, radius_north;
  reference_radii(view, &radius_east, &radius_north);
  // Degrees counted from the grid's south-west node: absolute degrees would
  // cancel (a float ulp at 100 degrees is about a metre).
  const float lat_from_start =
      (ref_lat_deg - grid[DEM_LAT_START]) + y / radius_north * RAD_TO_DEG;
  const float lon_from_start = (ref_lon_deg - grid[DEM_LON_START]) +
                               x / (cos(view[VIEW_REF_LAT_RAD]) * radius_east) * RAD_TO_DEG;
  const float ti = lat_from_start / cell_size;
  const float tj = lon_from_start / cell_size;
  if (!(ti >= 0.0f && tj >= 0.0f)) return false;
  const float fi = floor(ti);
  const float fj = floor(tj);
  return dem_patch_height(grid, fi, fj, tj - fj, ti - fi, z);
}

__kernel void project_image_dem(int image_width, int image_height, __global const float* view,
                                __global uchar* output, __global const uchar* image,
                                __global const uchar* dem, int dem_bytes, float ref_lat_deg,
                                float ref_lon_deg) {
  float x, y, z;
  __global uchar* out;
  if (!view_pixel(view, output, &x, &y, &out)) return;
  if (!view_dem_height(x, y, view, dem, dem_bytes, ref_lat_deg, ref_lon_deg, &z)) return;
  project_local_point(x, y, z, view, image_width, image_height, image, out);
}

// Whether (x, y) lies on the side of the footprint line (a, b, c) at `line` where the
// frame may see: a x + b y + c >= 0.
bool footprint_line_holds(float x, float y, __global const float* line) {
  return !(line[0] * x + line[1] * y + line[2] < 0.0f);
}

// Whether (x, y) lies within the four footprint lines at `line`. On flat ground they hold
// every point the frame sees, and the test is cheaper than the projection that would
// refuse the others.
bool within_footprint(float x, float y, __global const float* line) {
  for (int k = 0; k < 4; ++k) {
    if (!footprint_line_holds(x, y, line + 3 * k)) return false;
  }
  return true;
}

// The span's columns narrowed to those within the four footprint lines at `line`, by
// bisection on each line: along a row x grows with the column and each rounded step of
// a x + b y + c is monotonic, so the columns where a line holds are a run from one end
// (all or none where a is 0). The same arithmetic as within_footprint, pixel by pixel;
// and as the lines lie two output pixels beyond the frame's edges (or within them, the
// inner lines), where the frame test refuses (takes) every pixel anyway, a column more or
// less would change nothing.
void footprint_columns(row_span* s, __global const float* line) {
  for (int k = 0; k < 4 && s->first < s->end; ++k, line += 3) {
    // Holds from some column on, else up to one.
    const bool rising = (line[0] > 0.0f) == (s->pixel_size > 0.0f);
    int low = s->first, high = s->end;
    while (low < high) {
      const int mid = low + (high - low) / 2;
      if (footprint_line_holds(span_x(s, mid), s->y, line) == rising) {
        high = mid;
      } else {
        low = mid + 1;
      }
    }
    if (rising) {
      s->first = low;
    } else {
      s->end = low;
    }
  }
}

// Last wins in any launch order: `claimed` holds per view pixel the flight-log line of the
// image that wrote it (0 none). An image leaves a pixel of a later line alone, so images
// taken from the last back sample each pixel once, and one that comes late goes under.
// `footprint`: the frame's footprint lines, then 1 where they hold (flat ground). A work
// item draws `span` columns of a row (work_item_span).
__kernel void project_image_claimed(int image_width, int image_height,
                                    __global const float* view, __global uchar* output,
                                    __global const uchar* image, __global uint* claimed,
                                    int line, __global const float* footprint, int span,
                                    int cols) {
  row_span s;
  if (!work_item_span(view, span, cols, view[VIEW_X_MIN], 0, view[VIEW_Y_MAX], 0, &s)) return;
  if (footprint[12] != 0.0f) footprint_columns(&s, footprint);
  for (int col = s.first; col < s.end; ++col) {
    const size_t i = s.row_start + (size_t)col;
    if ((int)claimed[i] >= line) continue;
    if (project_local_point(span_x(&s, col), s.y, 0.0f, view, image_width, image_height, image,
                            output + i * 3))
      claimed[i] = (uint)line;
  }
}

__kernel void project_image_dem_claimed(int image_width, int image_height,
                                        __global const float* view, __global uchar* output,
                                        __global const uchar* image, __global const uchar* dem,
                                        int dem_bytes, float ref_lat_deg, float ref_lon_deg,
                                        __global uint* claimed, int line) {
  float x, y, z;
  __global uchar* out;
  if (!view_pixel(view, output, &x, &y, &out)) return;
  __global uint* claim = claimed + (out - output) / 3;
  if ((int)*claim >= line) return;
  if (!view_dem_height(x, y, view, dem, dem_bytes, ref_lat_deg, ref_lon_deg, &z)) return;
  if (project_local_point(x, y, z, view, image_width, image_height, image, out))
    *claim = (uint)line;
}

// RGGB mosaic (one byte per pixel) to blue, green, red: every pixel of a 2x2
// cell takes the cell's red, the mean of its two greens and its blue.
__kernel void Bayer(__global const uchar* raw, __global uchar* bgr, int width, int height) {
  const int row = (int)get_global_id(0), col = (int)get_global_id(1);
  if (row >= height || col >= width) return;
  const size_t r0 = (size_t)(row & ~1), c0 = (size_t)(col & ~1);
  const size_t r1 = (size_t)min((int)r0 + 1, height - 1), c1 = (size_t)min((int)c0 + 1, width - 1);
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

// The 16-byte block get_global_id(0) of `buffer` set to `pattern`: a fill spread over
// every core where the runtime's own fill runs on one.
__kernel void fill_blocks(__global uint4* buffer, uint4 pattern) {
  buffer[get_global_id(0)] = pattern;
}

// Sum of absolute differences of two single-channel images over block x block
// squares; one work item per (block row, block column), results row-major.
__kernel void block_correlation(__global const uchar* first, __global const uchar* second,
                                __global uint* sad, int width, int height, int block) {
  const int block_row = (int)get_global_id(0), block_col = (int)get_global_id(1);
  if (block <= 0) return;
  const int blocks_across = (width + block - 1) / block, blocks_down = (height + block - 1) / block;
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

// ---- Compositing: best view, feathered seams, source and view-angle planes ----
// Inputs as project_image's, the 168-byte compositing record (floats; ints read with as_int)
// and per-pixel planes: score (squared tangent of the holder's off-nadir angle), source (its
// flight-log line, 0 none), for feathering the best image's float4 (angle gradient, edge
// distance, 0) and a float4 sum, which hold a band of whole view rows from `plane_row` on.
// Pixels are placed from the record's origin and absolute row and column, so that a tile
// computes what the whole view computes.
#define COMP_ORIGIN_X 0
#define COMP_ORIGIN_Y 1
#define COMP_ROW_OFFSET 2  // int
#define COMP_COL_OFFSET 3  // int
#define COMP_CAMERA 4      // camera centre x, y, z (local metres)
#define COMP_SOURCE 7      // int: the image's flight-log line
#define COMP_FLAGS 8       // int: the COMP_* flag bits below
#define COMP_FEATHER 9     // seam feather width, output pixels
#define COMP_DEM_FRAC_LAT 10  // reference point's fraction of its DEM cell
#define COMP_DEM_FRAC_LON 11
#define COMP_DEM_ROW 12    // int: reference point's cell row in the view DEM
#define COMP_DEM_COL 13    // int
#define COMP_REF_LAT_DEG 14
#define COMP_REF_LON_DEG 15
#define COMP_FOOTPRINT_LINES 16  // 4 x (a, b, c): a x + b y + c >= 0 where the frame sees
#define COMP_INNER_LINES 28      // 4 x (a, b, c): the frame sees every point where all hold
#define COMP_EDGE_SLOPE 40  // frame columns, rows an output pixel spans at most (flat ground)

#define COMP_USE_DEM 1       // heights from the view DEM, else z = 0
#define COMP_ABSOLUTE_DEM 2  // DEM cells counted from the reference point's cell
#define COMP_WRITE_COLOUR 4  // write the sampled colour with score and source
#define COMP_LAST_WINS 8     // flight-log order (maps of a last-wins view)
#define COMP_EXTRAS 16       // only the gradient and frame-edge distance where the image won
#define COMP_CLAIMED 32      // last wins: `source` is the claim plane the projection wrote
#define COMP_GEOMETRY 64     // no frame pixel is black: the frame's bounds alone decide
#define COMP_SAMPLE_WON 128  // only the colour of the pixels the image won
#define COMP_FOOTPRINT 256   // flat ground: the footprint lines bound what the frame sees

// Height of local point (x, y) from the view DEM; false outside it. Relative counting is
// project_image_dem's own; absolute counting depends only on (x, y) and run constants.
bool composite_height(float x, float y, __global const float* view, __global const float* rec,
                      __global const uchar* dem, int dem_bytes, int flags, float* z) {
  *z = 0.0f;
  if ((flags & COMP_USE_DEM) == 0) return true;
  if ((flags & COMP_ABSOLUTE_DEM) == 0) {
    return view_dem_height(x, y, view, dem, dem_bytes, rec[COMP_REF_LAT_DEG],
                           rec[COMP_REF_LON_DEG], z);
  }
  if (!dem_grid_usable(dem, dem_bytes)) return false;
  __global const float* grid = (__global const float*)dem;
  const float cell_size = grid[DEM_CELL_SIZE];
  float radius_east, radius_north;
  reference_radii(view, &radius_east, &radius_north);
  const float ti = rec[COMP_DEM_FRAC_LAT] + (y / radius_north * RAD_TO_DEG) / cell_size;
  const float tj = rec[COMP_DEM_FRAC_LON] +
                   (x / (cos(view[VIEW_REF_LAT_RAD]) * radius_east) * RAD_TO_DEG) / cell_size;
  const float gi = floor(ti);
  const float gj = floor(tj);
  const float fi = (float)(as_int(rec[COMP_DEM_ROW]) + (int)gi);
  const float fj = (float)(as_int(rec[COMP_DEM_COL]) + (int)gj);
  if (!(fi >= 0.0f && fj >= 0.0f)) return false;
  return dem_patch_height(grid, fi, fj, tj - gj, ti - gi, z);
}

// Off-nadir angle (degrees) of the ray from ground point (x, y, z) to the camera at
// `camera` (east, north, up).
float composite_angle(float x, float y, float z, __global const float* camera) {
  const float dx = camera[0] - x, dy = camera[1] - y;
  const float dz = camera[2] - z;
  return atan2(sqrt(dx * dx + dy * dy), dz) * RAD_TO_DEG;
}

// The score best view compares: the squared tangent of the off-nadir angle, ordered as
// the angle without an arc tangent per pixel (MAXFLOAT at or above the horizontal).
float composite_score(float x, float y, float z, __global const float* rec) {
  const float dx = rec[COMP_CAMERA] - x, dy = rec[COMP_CAMERA + 1] - y;
  const float dz = rec[COMP_CAMERA + 2] - z;
  return dz > 0.0f ? (dx * dx + dy * dy) / (dz * dz) : MAXFLOAT;
}

// The off-nadir angle at (x2, y2, z2) less the one at (x, y, z), degrees, as one arc
// tangent of the difference (tan(a - b) from the two rays), not two: between neighbouring
// pixels the difference is a small fraction of a degree, where the arc tangent is its
// argument to float precision and the quotient alone is taken.
float composite_angle_step(float x, float y, float z, float x2, float y2, float z2,
                           __global const float* rec) {
  const float dx = rec[COMP_CAMERA] - x, dy = rec[COMP_CAMERA + 1] - y;
  const float dz = rec[COMP_CAMERA + 2] - z;
  const float dx2 = rec[COMP_CAMERA] - x2, dy2 = rec[COMP_CAMERA + 1] - y2;
  const float dz2 = rec[COMP_CAMERA + 2] - z2;
  const float r = sqrt(dx * dx + dy * dy), r2 = sqrt(dx2 * dx2 + dy2 * dy2);
  const float across = r2 * dz - r * dz2, along = dz * dz2 + r * r2;
  if (along > 0.0f && fabs(across) < 1e-3f * along) return across / along * RAD_TO_DEG;
  return atan2(across, along) * RAD_TO_DEG;
}

// Gradient of the angle over the ground, degrees per output pixel east and north.
float2 composite_angle_gradient(float x, float y, float z, __global const float* view,
                                __global const float* rec, __global const uchar* dem,
                                int dem_bytes, int flags, float pixel_size) {
  float z_east, z_north;
  if (!composite_height(x + pixel_size, y, view, rec, dem, dem_bytes, flags, &z_east)) z_east = z;
  if (!composite_height(x, y + pixel_size, view, rec, dem, dem_bytes, flags, &z_north)) z_north = z;
  return (float2)(composite_angle_step(x, y, z, x + pixel_size, y, z_east, rec),
                  composite_angle_step(x, y, z, x, y + pixel_size, z_north, rec));
}

// Distance in output pixels from image position (fx, fy) of local point (x, y, z) to the
// nearest frame edge, through the projection's derivative over the neighbouring ground.
float composite_edge_distance(float x, float y, float z, float fx, float fy,
                              __global const float* view, __global const float* rec,
                              __global const uchar* dem, int dem_bytes, int flags,
                              float pixel_size, int image_width, int image_height) {
  float z_east, z_north, ex, ey, nx, ny;
  if (!composite_height(x + pixel_size, y, view, rec, dem, dem_bytes, flags, &z_east)) z_east = z;
  if (!composite_height(x, y + pixel_size, view, rec, dem, dem_bytes, flags, &z_north)) z_north = z;
  if (!image_point(x + pixel_size, y, z_east, view, &ex, &ey) ||
      !image_point(x, y + pixel_size, z_north, view, &nx, &ny)) {
    return 0.0f;
  }
  const float grad_fx = sqrt((ex - fx) * (ex - fx) + (nx - fx) * (nx - fx));
  const float grad_fy = sqrt((ey - fy) * (ey - fy) + (ny - fy) * (ny - fy));
  const float to_column_edge = min(fx, (float)(image_width - 1) - fx);
  const float to_row_edge = min(fy, (float)(image_height - 1) - fy);
  float distance = MAXFLOAT;
  if (grad_fx > 0.0f) distance = min(distance, to_column_edge / grad_fx);
  if (grad_fy > 0.0f) distance = min(distance, to_row_edge / grad_fy);
  return distance;
}

// composite_edge_distance of a pixel an image won, or MAXFLOAT where the record's edge
// slopes show it to be at least the feather width: every reader of the distance takes
// such values alike, and most won pixels lie that deep. Two more slopes' worth keep the
// neighbours the distance projects within the frame, where the slopes hold.
float composite_won_edge(float x, float y, float z, float fx, float fy,
                         __global const float* view, __global const float* rec,
                         __global const uchar* dem, int dem_bytes, int flags, float pixel_size,
                         int image_width, int image_height) {
  const float widths = rec[COMP_FEATHER] + 2.0f;
  if ((flags & COMP_FOOTPRINT) != 0 &&
      min(fx, (float)(image_width - 1) - fx) >= widths * rec[COMP_EDGE_SLOPE] &&
      min(fy, (float)(image_height - 1) - fy) >= widths * rec[COMP_EDGE_SLOPE + 1])
    return MAXFLOAT;
  return composite_edge_distance(x, y, z, fx, fy, view, rec, dem, dem_bytes, flags, pixel_size,
                                 image_width, image_height);
}

// The pixel of this work item: absolute local point and index; false outside the view.
bool composite_pixel(__global const float* view, __global const float* rec, float* x, float* y,
                     size_t* index) {
  int row, col;
  if (!work_item_pixel(view, &row, &col, index)) return false;
  const float pixel_size = view[VIEW_PIXEL_SIZE];
  *x = rec[COMP_ORIGIN_X] + (float)(col + as_int(rec[COMP_COL_OFFSET])) * pixel_size;
  *y = rec[COMP_ORIGIN_Y] - (float)(row + as_int(rec[COMP_ROW_OFFSET])) * pixel_size;
  return true;
}

// The span of a work item of a compositing kernel that spans rows (work_item_span), its
// points placed as composite_pixel places them.
bool composite_span(__global const float* view, __global const float* rec, int span, int cols,
                    row_span* s) {
  return work_item_span(view, span, cols, rec[COMP_ORIGIN_X], as_int(rec[COMP_COL_OFFSET]),
                        rec[COMP_ORIGIN_Y], as_int(rec[COMP_ROW_OFFSET]), s);
}

// Index into a plane holding the view's rows from `plane_row` on of view pixel `i` (the
// host launches only over the rows such a plane holds).
size_t band_index(__global const float* view, size_t i, int plane_row) {
  return i - (size_t)plane_row * (size_t)as_int(view[VIEW_WIDTH]);
}

// Whether (x, y) may be seen by the frame: not outside its footprint lines.
bool composite_may_see(float x, float y, __global const float* rec, int flags) {
  return (flags & COMP_FOOTPRINT) == 0 || within_footprint(x, y, rec + COMP_FOOTPRINT_LINES);
}

// One image by best view (smallest off-nadir angle, ties to the later line), or with
// COMP_LAST_WINS where no later line holds the pixel, in any launch order: writes score,
// source and, with the flag, colour; with COMP_GEOMETRY it reads no frame pixel. With
// COMP_CLAIMED only the scores of the pixels the image claimed; once best view is done,
// with COMP_SAMPLE_WON only the colour, and with COMP_EXTRAS (feathering) only the angle
// gradient and frame-edge distance, of the pixels the image won.
__kernel void composite_best_view(int image_width, int image_height, __global const float* view,
                                  __global uchar* output, __global const uchar* image,
                                  __global const uchar* dem, int dem_bytes,
                                  __global const float* rec, __global float* score,
                                  __global uint* source, __global float4* best, int plane_row) {
  float x, y, z, fx, fy;
  size_t i;
  if (!composite_pixel(view, rec, &x, &y, &i)) return;
  const int flags = as_int(rec[COMP_FLAGS]);
  // The cheap tests first: a pixel this image cannot win costs no projection. (Last wins
  // takes its images from the last back, so most pixels stop at the first test.)
  const uint own = (uint)as_int(rec[COMP_SOURCE]);
  if ((flags & COMP_CLAIMED) != 0) {
    // The projection of this image has just claimed the pixels it sampled: only their
    // scores are wanted.
    if (source[i] != own || !composite_height(x, y, view, rec, dem, dem_bytes, flags, &z)) return;
    score[i] = composite_score(x, y, z, rec);
    return;
  }
  const float pixel_size = view[VIEW_PIXEL_SIZE];
  if ((flags & (COMP_SAMPLE_WON | COMP_EXTRAS)) != 0) {
    if (source[i] != own || !composite_height(x, y, view, rec, dem, dem_bytes, flags, &z) ||
        !image_point(x, y, z, view, &fx, &fy))
      return;
    if ((flags & COMP_SAMPLE_WON) != 0) {
      write_colour(output + i * 3, bilinear_sample(fx, fy, image_width, image_height, image));
      return;
    }
    const float edge = composite_won_edge(x, y, z, fx, fy, view, rec, dem, dem_bytes, flags,
                                          pixel_size, image_width, image_height);
    const float2 gradient =
        composite_angle_gradient(x, y, z, view, rec, dem, dem_bytes, flags, pixel_size);
    // The angle itself is worked out by the feather, at the few pixels near a seam.
    best[band_index(view, i, plane_row)] = (float4)(gradient.x, gradient.y, edge, 0.0f);
    return;
  }
  const bool later = own > source[i];
  if ((flags & COMP_LAST_WINS) != 0 && !later) return;
  if (!composite_may_see(x, y, rec, flags)) return;
  if (!composite_height(x, y, view, rec, dem, dem_bytes, flags, &z)) return;
  const float key = composite_score(x, y, z, rec);
  if ((flags & COMP_LAST_WINS) == 0 && !(key < score[i] || (key == score[i] && later))) return;
  if (!image_point(x, y, z, view, &fx, &fy)) return;
  if ((flags & COMP_GEOMETRY) != 0 ? !inside_frame(fx, fy, image_width, image_height)
                                   : !in_frame(fx, fy, image_width, image_height, image))
    return;
  score[i] = key;
  source[i] = own;
  if ((flags & COMP_WRITE_COLOUR) != 0)
    write_colour(output + i * 3, bilinear_sample(fx, fy, image_width, image_height, image));
}

// Best view from geometry on flat ground, one image: composite_best_view's own steps
// with COMP_GEOMETRY and COMP_FOOTPRINT alone, written without its other cases. A work
// item draws `span` columns of one row of the window of `cols` columns from the launch's
// column offset, only those within the footprint lines: on a CPU device a whole window
// row, one loop over the columns the frame may see, on a GPU one pixel.
__kernel void composite_best_view_flat(int image_width, int image_height,
                                       __global const float* view, __global const float* rec,
                                       __global float* score, __global uint* source, int span,
                                       int cols) {
  row_span s;
  if (!composite_span(view, rec, span, cols, &s)) return;
  footprint_columns(&s, rec + COMP_FOOTPRINT_LINES);
  // Within the inner lines the frame holds every pixel: no projection is needed there.
  row_span seen = s;
  footprint_columns(&seen, rec + COMP_INNER_LINES);
  const uint own = (uint)as_int(rec[COMP_SOURCE]);
  for (int col = s.first; col < s.end; ++col) {
    const float x = span_x(&s, col), y = s.y;
    const size_t i = s.row_start + (size_t)col;
    const float key = composite_score(x, y, 0.0f, rec);
    const float held = score[i];
    if (!(key < held || (key == held && own > source[i]))) continue;
    float fx, fy;
    if ((col < seen.first || col >= seen.end) &&
        (!image_point(x, y, 0.0f, view, &fx, &fy) ||
         !inside_frame(fx, fy, image_width, image_height)))
      continue;
    score[i] = key;
    source[i] = own;
  }
}

// The colour of the pixels one image won by best view from geometry on flat ground:
// composite_best_view's steps with COMP_SAMPLE_WON alone, `span` columns of a row a work
// item (work_item_span).
__kernel void composite_sample_won_flat(int image_width, int image_height,
                                        __global const float* view, __global uchar* output,
                                        __global const uchar* image, __global const float* rec,
                                        __global const uint* source, int span, int cols) {
  row_span s;
  if (!composite_span(view, rec, span, cols, &s)) return;
  const uint own = (uint)as_int(rec[COMP_SOURCE]);
  for (int col = s.first; col < s.end; ++col) {
    const size_t i = s.row_start + (size_t)col;
    if (source[i] != own) continue;
    float fx, fy;
    if (!image_point(span_x(&s, col), s.y, 0.0f, view, &fx, &fy)) continue;
    write_colour(output + i * 3, bilinear_sample(fx, fy, image_width, image_height, image));
  }
}

// Feathering's terms of the pixels one image won by best view from geometry on flat
// ground: composite_best_view's steps with COMP_EXTRAS alone, `span` columns of a row a
// work item (work_item_span), only those within the footprint lines (where every pixel
// the image won lies).
__kernel void composite_extras_flat(int image_width, int image_height,
                                    __global const float* view, __global const float* rec,
                                    __global const uint* source, __global float4* best,
                                    int plane_row, int span, int cols) {
  row_span s;
  if (!composite_span(view, rec, span, cols, &s)) return;
  footprint_columns(&s, rec + COMP_FOOTPRINT_LINES);
  const uint line = (uint)as_int(rec[COMP_SOURCE]);
  const int flags = as_int(rec[COMP_FLAGS]);
  const float pixel_size = view[VIEW_PIXEL_SIZE];
  for (int col = s.first; col < s.end; ++col) {
    const size_t i = s.row_start + (size_t)col;
    if (source[i] != line) continue;
    const float x = span_x(&s, col), y = s.y;
    float fx, fy;
    if (!image_point(x, y, 0.0f, view, &fx, &fy)) continue;
    const float edge = composite_won_edge(x, y, 0.0f, fx, fy, view, rec, 0, 0, flags,
                                          pixel_size, image_width, image_height);
    const float2 gradient =
        composite_angle_gradient(x, y, 0.0f, view, rec, 0, 0, flags, pixel_size);
    best[band_index(view, i, plane_row)] = (float4)(gradient.x, gradient.y, edge, 0.0f);
  }
}

// The view rows and columns (first, last) each line below `line_count` holds in the
// source plane, for the passes that draw only the pixels their image won: one work item a
// view row, 4 ints a line in `bounds`, which the host fills with (INT_MAX, -1, INT_MAX,
// -1) so that a line that holds nothing stays empty.
__kernel void composite_won_bounds(__global const float* view, __global const uint* source,
                                   __global int* bounds, int line_count) {
  const int row = (int)get_global_id(0);
  const int width = as_int(view[VIEW_WIDTH]);
  if (row >= as_int(view[VIEW_HEIGHT])) return;
  __global const uint* line = source + (size_t)row * (size_t)width;
  int start = 0;
  for (int col = 1; col <= width; ++col) {
    if (col < width && line[col] == line[start]) continue;
    const uint held = line[start];
    if (held != 0 && held < (uint)line_count) {
      __global int* b = bounds + 4 * (size_t)held;
      atomic_min(b, row);
      atomic_max(b + 1, row);
      atomic_min(b + 2, start);
      atomic_max(b + 3, col - 1);
    }
    start = col;
  }
}

// Smooth ramp: 0 at t <= 0, 1 at t >= 1.
float composite_ramp(float t) {
  const float s = clamp(t, 0.0f, 1.0f);
  return s * s * (3.0f - 2.0f * s);
}

// Whether an off-nadir angle of tangent `t` exceeds the best image's (whose squared
// tangent is `best_score`) by more than `limit` degrees, from the tangent of their
// difference and atan(q) >= q - q^3/3, with room for rounding.
bool composite_tangent_gap_exceeds(float t, float best_score, float limit) {
  if (!(best_score < MAXFLOAT)) return false;
  const float t_best = sqrt(best_score);
  const float q = (t - t_best) / (1.0f + t * t_best);
  if (!(q > 0.0f)) return false;
  const float lower = (q - q * q * q / 3.0f) * RAD_TO_DEG;
  return lower - 1e-3f > limit * 1.0001f;
}

// composite_tangent_gap_exceeds for this image's angle at (x, y, z): a pixel where it
// holds is no nearer a seam with this image than the feather width, which needs no arc
// tangent.
bool composite_gap_exceeds(float x, float y, float z, __global const float* rec, float best_score,
                           float limit) {
  const float dx = rec[COMP_CAMERA] - x, dy = rec[COMP_CAMERA + 1] - y;
  const float dz = rec[COMP_CAMERA + 2] - z;
  if (!(dz > 0.0f)) return false;
  return composite_tangent_gap_exceeds(sqrt(dx * dx + dy * dy) / dz, best_score, limit);
}

// Upper bound of composite_angle_gradient's length on flat ground, degrees a pixel: the
// off-nadir angle's derivative along the ground, h / (h^2 + r^2), is at most 1 / h, so each
// step is at most pixel_size / h; widened by 5 % and by some float steps of the coordinates
// for the rounding of the steps.
float composite_flat_slope_bound(float x, float y, float pixel_size, __global const float* rec) {
  const float h = rec[COMP_CAMERA + 2];
  if (!(h > 0.0f)) return MAXFLOAT;
  const float coordinates = fabs(x) + fabs(y) + fabs(rec[COMP_CAMERA]) +
                            fabs(rec[COMP_CAMERA + 1]) + h;
  return 1.05f * M_SQRT2_F * (pixel_size + 1e-6f * coordinates) / h * RAD_TO_DEG;
}

// Feathering at ground point (x, y, z) of view pixel `i`, which the best image (line
// `best_line`) won and this one may see: where it lies within the feather width of the
// best image's region edge (where their angles meet, or its frame edge), adds this
// image's colour to the sums, weighted to fall smoothly to 0 there and at its own frame
// edge.
void composite_feather_other(float x, float y, float z, size_t i, uint best_line,
                             int image_width, int image_height, __global const float* view,
                             __global const uchar* image, __global const uchar* dem,
                             int dem_bytes, __global const float* rec, int flags,
                             __global const float* score, __global const float4* best,
                             __global float4* sum, int plane_row, __global const float* cameras,
                             int camera_count) {
  float fx, fy;
  const float pixel_size = view[VIEW_PIXEL_SIZE];
  const float feather = rec[COMP_FEATHER];
  const size_t j = band_index(view, i, plane_row);
  const float4 b = best[j];
  // On flat ground this image's angle changes by at most pixel_size / height radians a
  // pixel step: with that bound on the slope, most pixels far from every seam leave before
  // their projection and gradient, as the exact test below would leave them.
  if ((flags & COMP_USE_DEM) == 0 && b.z >= feather &&
      composite_gap_exceeds(x, y, z, rec, score[i],
                            (composite_flat_slope_bound(x, y, pixel_size, rec) +
                             sqrt(b.x * b.x + b.y * b.y)) * feather))
    return;
  if (!image_point(x, y, z, view, &fx, &fy)) return;
  // Most pixels are far from a seam and read no frame pixel.
  if ((flags & COMP_GEOMETRY) != 0 ? !inside_frame(fx, fy, image_width, image_height)
                                   : !in_frame(fx, fy, image_width, image_height, image))
    return;
  const float2 gradient =
      composite_angle_gradient(x, y, z, view, rec, dem, dem_bytes, flags, pixel_size);
  const float2 relative = gradient - (float2)(b.x, b.y);
  const float slope = sqrt(relative.x * relative.x + relative.y * relative.y);
  // Most pixels lie far from every seam: with the best image's frame edge beyond the
  // feather width, an angle gap of more than the feather width's worth of slope (or no
  // slope at all) is no seam.
  if (b.z >= feather &&
      (slope == 0.0f || composite_gap_exceeds(x, y, z, rec, score[i], slope * feather)))
    return;
  // The best image's angle at the same ground point, as best view found it.
  if (best_line >= (uint)camera_count) return;
  const float angle = composite_angle(x, y, z, rec + COMP_CAMERA);
  const float gap = max(angle - composite_angle(x, y, z, cameras + 3 * (size_t)best_line), 0.0f);
  const float own_edge = composite_edge_distance(x, y, z, fx, fy, view, rec, dem, dem_bytes,
                                                 flags, pixel_size, image_width, image_height);
  // A crossing of the angles beyond this image's own frame edge is no seam with it.
  const float to_seam = slope > 0.0f && gap < slope * own_edge ? gap / slope : MAXFLOAT;
  // The best image's frame edge is a seam with this image only where this one goes on
  // past it.
  const float to_region_edge = own_edge > b.z ? min(to_seam, b.z) : to_seam;
  if (!(to_region_edge < feather)) return;
  const float weight =
      composite_ramp(1.0f - to_region_edge / feather) * composite_ramp(own_edge / feather);
  if (!(weight > 0.0f)) return;
  const float3 colour = bilinear_sample(fx, fy, image_width, image_height, image);
  sum[j] += (float4)(colour.x * weight, colour.y * weight, colour.z * weight, weight);
}

// Feathering's last pass over the images, one image: composite_feather_other at the
// pixels another image won; with COMP_SAMPLE_WON it also writes the colour of the pixels
// it won. `cameras` holds the camera (east, north, up) of each line below `camera_count`
// the view draws, the records' floats.
__kernel void composite_feather(int image_width, int image_height, __global const float* view,
                                __global uchar* output, __global const uchar* image,
                                __global const uchar* dem, int dem_bytes,
                                __global const float* rec, __global const float* score,
                                __global const uint* source, __global const float4* best,
                                __global float4* sum, int plane_row,
                                __global const float* cameras, int camera_count) {
  float x, y, z, fx, fy;
  size_t i;
  if (!composite_pixel(view, rec, &x, &y, &i)) return;
  const int flags = as_int(rec[COMP_FLAGS]);
  if (source[i] == (uint)as_int(rec[COMP_SOURCE])) {
    // Best view from geometry leaves each pixel's colour to this pass of its image.
    if ((flags & COMP_SAMPLE_WON) != 0 &&
        composite_height(x, y, view, rec, dem, dem_bytes, flags, &z) &&
        image_point(x, y, z, view, &fx, &fy))
      write_colour(output + i * 3, bilinear_sample(fx, fy, image_width, image_height, image));
    return;
  }
  if (source[i] == 0 || !composite_may_see(x, y, rec, flags)) return;
  if (!composite_height(x, y, view, rec, dem, dem_bytes, flags, &z)) return;
  composite_feather_other(x, y, z, i, source[i], image_width, image_height, view, image, dem,
                          dem_bytes, rec, flags, score, best, sum, plane_row, cameras,
                          camera_count);
}

// Whether composite_feather_other's first test on flat ground leaves every pixel of
// columns [first, end) of the span that another image won, taken once with what bounds
// each of them: this image's least tangent over the columns (widened for the rounding of
// the coordinates), the greatest best score and best-image gradient, the least frame-edge
// distance. Each pixel's own angle gap then exceeds its limit too.
bool composite_flat_columns_far(const row_span* s, int first, int end, uint own,
                                __global const uint* source, __global const float* score,
                                __global const float4* best, int plane_row,
                                __global const float* view, __global const float* rec,
                                float feather) {
  float most_score = 0.0f, most_slope = 0.0f;
  for (int col = first; col < end; ++col) {
    const size_t i = s->row_start + (size_t)col;
    const uint held = source[i];
    if (held == own || held == 0) continue;
    const float4 b = best[band_index(view, i, plane_row)];
    const float slope = b.x * b.x + b.y * b.y;
    if (!(score[i] < MAXFLOAT && slope < MAXFLOAT && b.z >= feather)) return false;
    most_score = max(most_score, score[i]);
    most_slope = max(most_slope, slope);
  }
  const float x0 = span_x(s, first), x1 = span_x(s, end - 1);
  const float cx = rec[COMP_CAMERA], cy = rec[COMP_CAMERA + 1], h = rec[COMP_CAMERA + 2];
  if (!(h > 0.0f)) return false;
  const float dx = cx - clamp(cx, min(x0, x1), max(x0, x1)), dy = cy - s->y;
  const float rounding = 1e-6f * (fabs(cx) + fabs(cy) + fabs(x0) + fabs(x1) + fabs(s->y));
  const float nearest = max(sqrt(dx * dx + dy * dy) - rounding, 0.0f);
  const float pixel_size = s->pixel_size;
  const float limit = (max(composite_flat_slope_bound(x0, s->y, pixel_size, rec),
                           composite_flat_slope_bound(x1, s->y, pixel_size, rec)) +
                       sqrt(most_slope)) * feather;
  return composite_tangent_gap_exceeds(nearest / h * (1.0f - 1e-6f), most_score, limit);
}

// Feathering's last pass of one image from geometry on flat ground: composite_feather's
// steps, `span` columns of a row a work item (work_item_span), only those within the
// footprint lines (where the frame test refuses every other pixel). Runs of columns far
// from every seam with this image skip the pixels other images won at once.
__kernel void composite_feather_flat(int image_width, int image_height,
                                     __global const float* view, __global uchar* output,
                                     __global const uchar* image, __global const float* rec,
                                     __global const float* score, __global const uint* source,
                                     __global const float4* best, __global float4* sum,
                                     int plane_row, __global const float* cameras,
                                     int camera_count, int span, int cols) {
  row_span s;
  if (!composite_span(view, rec, span, cols, &s)) return;
  footprint_columns(&s, rec + COMP_FOOTPRINT_LINES);
  const uint own = (uint)as_int(rec[COMP_SOURCE]);
  const int flags = as_int(rec[COMP_FLAGS]);
  const float feather = rec[COMP_FEATHER];
  for (int first = s.first; first < s.end; first += 16) {
    const int end = min(first + 16, s.end);
    const bool far = end - first == 16 &&
                     composite_flat_columns_far(&s, first, end, own, source, score, best,
                                                plane_row, view, rec, feather);
    for (int col = first; col < end; ++col) {
      const size_t i = s.row_start + (size_t)col;
      const uint held = source[i];
      const float x = span_x(&s, col), y = s.y;
      if (held == own) {
        float fx, fy;
        if ((flags & COMP_SAMPLE_WON) != 0 && image_point(x, y, 0.0f, view, &fx, &fy))
          write_colour(output + i * 3, bilinear_sample(fx, fy, image_width, image_height, image));
      } else if (held != 0 && !far) {
        composite_feather_other(x, y, 0.0f, i, held, image_width, image_height, view, image, 0, 0,
                                rec, flags, score, best, sum, plane_row, cameras, camera_count);
      }
    }
  }
}

// Last pass of feathering, over the whole view: blends the best image's colour (weight
// falling to 0 at its frame edge) with the sums; a pixel no other image reached is kept.
__kernel void composite_blend(__global const float* view, __global uchar* output,
                              __global const float4* best, __global const float4* sum,
                              float feather, int plane_row) {
  int row, col;
  size_t i;
  if (!work_item_pixel(view, &row, &col, &i)) return;
  const size_t j = band_index(view, i, plane_row);
  const float4 s = sum[j];
  if (!(s.w > 0.0f)) return;
  const float own = composite_ramp(best[j].z / feather);
  const float total = own + s.w;
  __global uchar* out = output + i * 3;
  out[0] = (uchar)min(255.0f, floor((own * (float)out[0] + s.x) / total + 0.5f));
  out[1] = (uchar)min(255.0f, floor((own * (float)out[1] + s.y) / total + 0.5f));
  out[2] = (uchar)min(255.0f, floor((own * (float)out[2] + s.z) / total + 0.5f));
}
