#include "base/config.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "base/console.h"
#include "base/input_file.h"

namespace aeroquilt {

namespace {

// Lines are read in pieces of at most 999 characters, and no scan of a line looks
// at position 1000 or beyond.
constexpr int kLineBufferSize = 1000;
constexpr int kNumberWindow = 25;
constexpr int kExponentWindow = 10;

struct file_closer {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using file_handle = std::unique_ptr<std::FILE, file_closer>;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_number_start(char c) { return is_digit(c) || c == '-'; }
bool ends_value(char c) { return c == ',' || c == ' ' || c == '\n' || c == '\r'; }

// Length of `text` seen through a window of `window` characters.
int window_length(const char* text, int window) {
  int length = 0;
  while (length < window && text[length] != '\0') ++length;
  return length;
}

// Length of `line` as the scans see it: up to its first zero byte, never past 1000.
size_t scan_length(const std::string& line) {
  const size_t zero = line.find('\0');
  const size_t length = zero == std::string::npos ? line.size() : zero;
  return length < static_cast<size_t>(kLineBufferSize) ? length : kLineBufferSize;
}

// Position of the first comma at or after `from`, or npos.
size_t find_comma(const std::string& line, size_t from, size_t length) {
  for (size_t k = from; k < length; ++k) {
    if (line[k] == ',') return k;
  }
  return std::string::npos;
}

// A number value starts right after the line's first comma, or at the line's start.
double number_value(const std::string& line) {
  const size_t comma = find_comma(line, 0, scan_length(line));
  return parse_number(line.c_str() + (comma == std::string::npos ? 0 : comma + 1));
}

// Truncation toward zero, saturated so that an absurd value cannot overflow the field.
int32_t to_int32(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

template <int32_t config_params::*field>
void set_integer(config_params& config, const std::string& line) {
  config.*field = to_int32(number_value(line));
}

template <double config_params::*field>
void set_number(config_params& config, const std::string& line) {
  config.*field = number_value(line);
}

template <double (config_params::*field)[3], int index>
void set_element(config_params& config, const std::string& line) {
  (config.*field)[index] = number_value(line);
}

// A number whose presence counts: `bit` is set in reference_given.
template <double config_params::*field, int32_t bit>
void set_given_number(config_params& config, const std::string& line) {
  config.*field = number_value(line);
  config.reference_given |= bit;
}

template <std::string config_params::*field>
void set_text(config_params& config, const std::string& line) {
  parse_text_field(line, 2, config.*field);
}

struct key_rule {
  const char* key;  // matched as a substring anywhere in the line
  void (*set)(config_params&, const std::string& line);
};

using C = config_params;

// Every line is tested against all keys, in this order.
const key_rule kKeyRules[] = {
    {"image_width_pixels", set_integer<&C::image_width_pixels>},
    {"image_height_pixels", set_integer<&C::image_height_pixels>},
    {"image_kx", set_number<&C::image_kx>},
    {"camera_sensor_width", set_number<&C::camera_sensor_width>},
    {"camera_f", set_number<&C::camera_f>},
    {"RPH_scale[0]", set_element<&C::RPH_scale, 0>},
    {"RPH_scale[1]", set_element<&C::RPH_scale, 1>},
    {"RPH_scale[2]", set_element<&C::RPH_scale, 2>},
    {"RPH_offset[0]", set_element<&C::RPH_offset, 0>},
    {"RPH_offset[1]", set_element<&C::RPH_offset, 1>},
    {"RPH_offset[2]", set_element<&C::RPH_offset, 2>},
    {"Lever_Arm[0]", set_element<&C::Lever_Arm, 0>},
    {"Lever_Arm[1]", set_element<&C::Lever_Arm, 1>},
    {"Lever_Arm[2]", set_element<&C::Lever_Arm, 2>},
    {"topo_height", set_number<&C::topo_height>},
    {"meridian_longitude", set_number<&C::meridian_longitude>},
    {"image_channels", set_integer<&C::image_channels>},
    {"DEM_filename,", set_text<&C::DEM_filename>},
    {"image_dir,", set_text<&C::image_dir>},
    {"image_dir_raw,", set_text<&C::image_dir_raw>},
    {"FPO_file,", set_text<&C::FPO_file>},
    {"output_DEM_filename,", set_text<&C::output_DEM_filename>},
    {"generate_DEM_image", set_integer<&C::generate_DEM_image>},
    {"output_dir,", set_text<&C::output_dir>},
    {"output_filename,", set_text<&C::output_filename>},
    {"output_pixel_size,", set_number<&C::output_pixel_size>},
    {"output_tile_size_pixels", set_integer<&C::output_tile_size_pixels>},
    {"do_average_image_error_removal", set_integer<&C::do_average_image_error_removal>},
    {"image_data_multiplier", set_number<&C::image_data_multiplier>},
    {"image_error_multiplier", set_number<&C::image_error_multiplier>},
    {"desired_image_intensity", set_number<&C::desired_image_intensity>},
    {"USE_DEM", set_integer<&C::USE_DEM>},
    {"project_subview_only,", set_integer<&C::project_subview_only>},
    {"subview_min_lon,", set_number<&C::subview_min_lon>},
    {"subview_max_lon", set_number<&C::subview_max_lon>},
    {"subview_min_lat", set_number<&C::subview_min_lat>},
    {"subview_max_lat", set_number<&C::subview_max_lat>},
    {"projection_angle_limit", set_number<&C::projection_angle_limit>},
    {"convert_to_jet_colormap", set_integer<&C::convert_to_jet_colormap>},
    {"vingette_removal_multiplier,", set_number<&C::vingette_removal_multiplier>},
    {"use_16bit_image_input,", set_integer<&C::use_16bit_image_input>},
    {"tau_set_min_temp,", set_number<&C::tau_set_min_temp>},
    {"tau_set_max_temp,", set_number<&C::tau_set_max_temp>},
    {"lens_principal_offset_x,", set_number<&C::lens_principal_offset_x>},
    {"lens_principal_offset_y,", set_number<&C::lens_principal_offset_y>},
    {"lens_k1,", set_number<&C::lens_k1>},
    {"lens_k2,", set_number<&C::lens_k2>},
    {"lens_p1,", set_number<&C::lens_p1>},
    {"lens_p2,", set_number<&C::lens_p2>},
    {"lens_k3,", set_number<&C::lens_k3>},
    {"allow_fine_pixel_size,", set_integer<&C::allow_fine_pixel_size>},
    {"png_encode_threads,", set_integer<&C::png_encode_threads>},
    {"composite_mode,", set_integer<&C::composite_mode>},
    {"seam_feather_pixels,", set_number<&C::seam_feather_pixels>},
    {"write_source_map,", set_integer<&C::write_source_map>},
    {"write_view_angle_map,", set_integer<&C::write_view_angle_map>},
    {"reference_lon,", set_given_number<&C::reference_lon, 1>},
    {"reference_lat,", set_given_number<&C::reference_lat, 2>},
    {"live_frame_wait_seconds,", set_number<&C::live_frame_wait_seconds>},
    {"write_gis_layer,", set_integer<&C::write_gis_layer>},
    {"write_web_tiles,", set_integer<&C::write_web_tiles>},
    {"opencl_platform,", set_text<&C::opencl_platform>},
    {"colour_balance,", set_integer<&C::colour_balance>},
};
static_assert(sizeof(kKeyRules) / sizeof(kKeyRules[0]) == 63, "one rule per configuration key");

// "DEM_filename," also occurs inside "output_DEM_filename,"; only an occurrence
// not preceded by "output_" names the elevation model, so the two keys stay apart.
bool line_has_key(const std::string& line, const char* key) {
  static const std::string kOutputPrefix = "output_";
  const bool is_dem_key = std::strcmp(key, "DEM_filename,") == 0;
  for (size_t at = line.find(key); at != std::string::npos; at = line.find(key, at + 1)) {
    if (!is_dem_key) return true;
    if (at < kOutputPrefix.size() ||
        line.compare(at - kOutputPrefix.size(), kOutputPrefix.size(), kOutputPrefix) != 0) {
      return true;
    }
  }
  return false;
}

// Text before a comma that could be a misspelt key (not noise, not a blank line).
bool looks_like_key(const std::string& text) {
  if (text.empty() || text.size() > 64) return false;
  for (const char c : text) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '[' || c == ']'))
      return false;
  }
  return true;
}

}  // namespace

int load_config(const std::string& path, config_params& config, int* key_lines) {
  config = config_params{};
  if (key_lines != nullptr) *key_lines = 0;
  std::string reason;
  bool wrong_kind = false;
  file_handle file(fopen_regular_file(path, "r", reason, &wrong_kind));
  if (!file) {
    // A FIFO or a device would hang the reader or feed it without end.
    if (!wrong_kind) {
      if (reason == "not found")
        console_printf("Config file not found: %s\n", path.c_str());
      else
        console_printf("configuration file %s cannot be read: %s\n", path.c_str(), reason.c_str());
    } else {
      console_printf("configuration file %s is %s, not a regular file: refused\n", path.c_str(),
                     reason.c_str());
    }
    return 0;
  }

  char buffer[kLineBufferSize];
  int line_number = 1;  // of the line the piece read starts in
  bool line_start = true;
  while (std::fgets(buffer, sizeof(buffer), file.get()) != nullptr) {
    std::string line(buffer);
    const int number = line_number;
    const bool starts_line = line_start;
    line_start = !line.empty() && line.back() == '\n';
    if (line_start) ++line_number;
    // Text mode on the system the files come from drops the carriage return of a
    // CR LF line end; here it would end up in folder and file names.
    if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) {
      line.erase(line.size() - 2, 1);
    }
    if (!line.empty() && (line[0] == '#' || line[0] == '/')) continue;
    bool has_key = false;
    for (const key_rule& rule : kKeyRules) {
      if (line_has_key(line, rule.key)) {
        rule.set(config, line);
        has_key = true;
      }
    }
    if (has_key && key_lines != nullptr) ++*key_lines;
    // A misspelt key would silently keep its default.
    const std::string key = line.substr(0, line.find(','));
    if (!has_key && starts_line && key.size() < line.size() && looks_like_key(key)) {
      console_printf("configuration file %s line %d: %s is no known key: line ignored\n",
                     path.c_str(), number, key.c_str());
    }
    if (std::feof(file.get())) break;
  }

  if (config.image_kx == 0.0) {
    config.image_kx = config.image_width_pixels * config.camera_f / config.camera_sensor_width;
  }
  return 1;
}

void parse_text_field(const std::string& line, int field, std::string& destination) {
  const size_t length = scan_length(line);
  size_t position = 0;
  for (int i = 1; i < field; ++i) {
    const size_t comma = find_comma(line, position, length);
    position = comma == std::string::npos ? 0 : comma + 1;
  }
  size_t end = find_comma(line, position, length);
  if (end == std::string::npos) {
    end = length;
    for (size_t k = position; k < length; ++k) {
      if (line[k] == '\n') {
        end = k;
        break;
      }
    }
  }
  destination.assign(line, position, end - position);
}

double parse_number(const char* text) {
  const int length = window_length(text, kNumberWindow);

  int start = 0;
  while (start < length && !is_number_start(text[start])) ++start;
  if (start == length) {
    console_printf("Could not find number.\n");
    return 0.0;
  }
  const double sign = text[start] == '-' ? -1.0 : 1.0;

  int integer_end = start + 1;
  while (integer_end < length && is_number_start(text[integer_end])) ++integer_end;

  // Only a lowercase "e" marks an exponent; the value ends at a separator.
  int mantissa_end = length;
  int32_t exponent = 0;
  for (int k = start; k < length; ++k) {
    if (ends_value(text[k])) break;
    if (text[k] == 'e') {
      exponent = parse_exponent(text + k + 1);
      mantissa_end = k;
      break;
    }
  }

  // A point only shifts the place values; other characters keep their position.
  int place = integer_end - 1;
  double mantissa = 0.0;
  for (int k = start; k < mantissa_end; ++k) {
    const char c = text[k];
    if (ends_value(c)) break;
    if (c == '.') {
      ++place;
    } else if (is_digit(c)) {
      mantissa += (c - '0') * std::pow(10.0, place - k);
    }
  }
  return std::pow(10.0, exponent) * mantissa * sign;
}

int32_t parse_exponent(const char* text) {
  const int length = window_length(text, kExponentWindow);

  int start = 0;
  while (start < length && !is_number_start(text[start])) ++start;
  if (start == length) {
    console_printf("Could not find number.\n");
    return 0;
  }
  const int32_t sign = text[start] == '-' ? -1 : 1;

  int end = start + 1;
  while (end < length && is_number_start(text[end])) ++end;

  // Up to 10 digits: kept in 64 bits, then saturated to the 32-bit result.
  int64_t value = 0;
  for (int k = start; k < length; ++k) {
    const char c = text[k];
    if (c == '-') continue;
    if (!is_digit(c)) break;
    int64_t place = 1;
    for (int p = 0; p < end - 1 - k; ++p) place *= 10;
    value += (c - '0') * place;
  }
  if (value > std::numeric_limits<int32_t>::max()) value = std::numeric_limits<int32_t>::max();
  return sign * static_cast<int32_t>(value);
}

}  // namespace aeroquilt
