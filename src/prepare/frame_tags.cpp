#include "prepare/frame_tags.h"

#include <cmath>
#include <cstdlib>
#include <exiv2/exiv2.hpp>
#include <mutex>
#include <opencv2/imgcodecs.hpp>

namespace aeroquilt {
namespace {

enum class tag_state { absent, invalid, valid };

// Degrees from the three rationals of an EXIF GPS coordinate and its hemisphere.
tag_state gps_degrees(const Exiv2::ExifData& exif, const char* key, const char* ref_key,
                      const char* negative, double& degrees) {
  const auto value = exif.findKey(Exiv2::ExifKey(key));
  if (value == exif.end() || value->count() < 3) return tag_state::absent;
  double parts[3];
  for (int k = 0; k < 3; ++k) {
    const Exiv2::Rational r = value->toRational(k);
    if (r.second == 0) return tag_state::invalid;
    parts[k] = static_cast<double>(r.first) / r.second;
  }
  degrees = parts[0] + parts[1] / 60.0 + parts[2] / 3600.0;
  const auto ref = exif.findKey(Exiv2::ExifKey(ref_key));
  if (ref != exif.end() && ref->toString() == negative) degrees = -degrees;
  return tag_state::valid;
}

// XMP properties by "prefix.Name", whatever namespace URI the file binds the prefix to.
std::map<std::string, std::string> xmp_properties(const Exiv2::XmpData& xmp) {
  std::map<std::string, std::string> properties;
  for (const Exiv2::Xmpdatum& datum : xmp) {
    properties[datum.groupName() + "." + datum.tagName()] = datum.toString();
  }
  return properties;
}

// A finite number making up the whole text but for surrounding blanks; drones write
// signs ("+45.3") and some firmware pads with spaces.
bool parse_number(const std::string& text, double& value) {
  const char* begin = text.c_str();
  char* end = nullptr;
  const double parsed = std::strtod(begin, &end);
  if (end == begin) return false;
  while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r') ++end;
  if (*end != '\0' || !std::isfinite(parsed)) return false;
  value = parsed;
  return true;
}

bool number_of(const std::map<std::string, std::string>& properties, const std::string& key,
               double& value) {
  const auto found = properties.find(key);
  return found != properties.end() && parse_number(found->second, value);
}

// 0 when the tag is absent, NaN when it holds no number: a calibration that is there
// but unreadable must not pass for a missing one.
double calibration_number(const std::map<std::string, std::string>& properties,
                          const std::string& key) {
  double value = 0;
  if (properties.count(key) && !number_of(properties, key, value)) return std::nan("");
  return value;
}

const char* const kNoPosition =
    "no GPS position (EXIF GPSLatitude and GPSLongitude, or XMP drone-dji:GpsLatitude and "
    "GpsLongitude)";

// Position from EXIF GPS when both coordinates are there, else from the drone's XMP.
void read_position(const Exiv2::ExifData& exif, const std::map<std::string, std::string>& xmp,
                   frame_tags& tags) {
  double latitude = 0, longitude = 0;
  const tag_state exif_lat =
      gps_degrees(exif, "Exif.GPSInfo.GPSLatitude", "Exif.GPSInfo.GPSLatitudeRef", "S", latitude);
  const tag_state exif_lon = gps_degrees(exif, "Exif.GPSInfo.GPSLongitude",
                                         "Exif.GPSInfo.GPSLongitudeRef", "W", longitude);
  std::string lat_text, lon_text;
  if (exif_lat != tag_state::absent && exif_lon != tag_state::absent) {
    tags.position_source = "EXIF GPS";
    lat_text = "EXIF GPSLatitude " + std::to_string(latitude);
    lon_text = "EXIF GPSLongitude " + std::to_string(longitude);
    if (exif_lat == tag_state::invalid || exif_lon == tag_state::invalid) {
      tags.position_problem =
          "bad GPS position: EXIF GPSLatitude or GPSLongitude has a zero "
          "denominator";
      return;
    }
  } else {
    const auto lat = xmp.find("drone-dji.GpsLatitude");
    auto lon = xmp.find("drone-dji.GpsLongitude");
    if (lon == xmp.end()) lon = xmp.find("drone-dji.GpsLongtitude");  // as many firmwares spell it
    if (lat == xmp.end() || lon == xmp.end()) {
      tags.position_problem = kNoPosition;
      return;
    }
    tags.position_source = "XMP drone-dji";
    lat_text = "XMP drone-dji:GpsLatitude \"" + lat->second + "\"";
    lon_text = "XMP drone-dji:" + lon->first.substr(10) + " \"" + lon->second + "\"";
    if (!parse_number(lat->second, latitude)) {
      tags.position_problem = "bad GPS position: " + lat_text + " is not a finite number";
      return;
    }
    if (!parse_number(lon->second, longitude)) {
      tags.position_problem = "bad GPS position: " + lon_text + " is not a finite number";
      return;
    }
  }
  if (!(std::abs(latitude) <= 90.0)) {
    tags.position_problem = "bad GPS position: " + lat_text + " is not within -90 to 90 degrees";
  } else if (!(std::abs(longitude) <= 180.0)) {
    tags.position_problem = "bad GPS position: " + lon_text + " is not within -180 to 180 degrees";
  } else {
    tags.has_position = true;
    tags.latitude_deg = latitude;
    tags.longitude_deg = longitude;
  }
}

void read_altitude(const Exiv2::ExifData& exif, const std::map<std::string, std::string>& xmp,
                   frame_tags& tags) {
  const auto altitude = exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSAltitude"));
  if (altitude != exif.end() && altitude->count() >= 1 && altitude->toRational(0).second != 0) {
    const Exiv2::Rational r = altitude->toRational(0);
    tags.gps_altitude_m = static_cast<double>(r.first) / r.second;
    const auto ref = exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSAltitudeRef"));
    if (ref != exif.end() && ref->toLong() == 1) tags.gps_altitude_m = -tags.gps_altitude_m;
    tags.has_gps_altitude = true;
  } else {
    tags.has_gps_altitude = number_of(xmp, "drone-dji.AbsoluteAltitude", tags.gps_altitude_m);
  }
}

}  // namespace

bool read_frame_tags(const std::string& path, frame_tags& tags, std::string& error) {
  static std::once_flag xmp_ready;
  std::call_once(xmp_ready, [] {
    Exiv2::XmpParser::initialize();
    // Unreadable tags are reported per frame; exiv2's own warnings would only repeat them.
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
  });
  tags = frame_tags{};
  try {
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(path);
    image->readMetadata();
    tags.width = image->pixelWidth();
    tags.height = image->pixelHeight();
    const Exiv2::ExifData& exif = image->exifData();
    const auto xmp = xmp_properties(image->xmpData());
    read_position(exif, xmp, tags);
    read_altitude(exif, xmp, tags);
    const auto focal35 = exif.findKey(Exiv2::ExifKey("Exif.Photo.FocalLengthIn35mmFilm"));
    if (focal35 != exif.end() && focal35->count() >= 1) tags.focal_35mm = focal35->toFloat(0);

    tags.has_relative_altitude =
        number_of(xmp, "drone-dji.RelativeAltitude", tags.relative_altitude_m);
    tags.calibrated_focal_px = calibration_number(xmp, "drone-dji.CalibratedFocalLength");
    tags.calibrated_centre_x_px = calibration_number(xmp, "drone-dji.CalibratedOpticalCenterX");
    tags.calibrated_centre_y_px = calibration_number(xmp, "drone-dji.CalibratedOpticalCenterY");
    const auto dewarp = xmp.find("drone-dji.DewarpData");
    if (dewarp != xmp.end()) tags.dewarp_data = dewarp->second;
    double roll, pitch, yaw;
    if (number_of(xmp, "drone-dji.GimbalRollDegree", roll) &&
        number_of(xmp, "drone-dji.GimbalPitchDegree", pitch) &&
        number_of(xmp, "drone-dji.GimbalYawDegree", yaw)) {
      // The gimbal looks straight down at pitch -90; the camera model at pitch 0.
      tags.roll_deg = roll;
      tags.pitch_deg = pitch + 90.0;
      tags.heading_deg = yaw;
      tags.has_attitude = true;
      tags.attitude_source = "drone-dji gimbal";
    } else if (number_of(xmp, "Camera.Roll", roll) && number_of(xmp, "Camera.Pitch", pitch) &&
               number_of(xmp, "Camera.Yaw", yaw)) {
      tags.roll_deg = roll;
      tags.pitch_deg = pitch;
      tags.heading_deg = yaw;
      tags.has_attitude = true;
      tags.attitude_source = "Camera";
    }
  } catch (const Exiv2::AnyError& e) {
    error = e.what();
    return false;
  }
  if (tags.width <= 0 || tags.height <= 0) {
    // Some containers keep the size only in the image data.
    const cv::Mat frame = cv::imread(path, cv::IMREAD_UNCHANGED);
    tags.width = frame.cols;
    tags.height = frame.rows;
  }
  return true;
}

void position_sources::add(const frame_tags& tags) { ++counts_[tags.position_source]; }

std::string position_sources::text() const {
  std::string text;
  for (const auto& [source, count] : counts_)
    text += (text.empty() ? "" : ", ") + source + " " + std::to_string(count);
  return text;
}

}  // namespace aeroquilt
