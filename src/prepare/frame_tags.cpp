#include "prepare/frame_tags.h"

#include <cstdlib>
#include <exiv2/exiv2.hpp>
#include <map>
#include <mutex>
#include <opencv2/imgcodecs.hpp>

namespace aeroquilt {
namespace {

// Degrees from the three rationals of an EXIF GPS coordinate and its hemisphere.
bool gps_degrees(const Exiv2::ExifData& exif, const char* key, const char* ref_key,
                 const char* negative, double& degrees) {
  const auto value = exif.findKey(Exiv2::ExifKey(key));
  if (value == exif.end() || value->count() < 3) return false;
  double parts[3];
  for (int k = 0; k < 3; ++k) {
    const Exiv2::Rational r = value->toRational(k);
    if (r.second == 0) return false;
    parts[k] = static_cast<double>(r.first) / r.second;
  }
  degrees = parts[0] + parts[1] / 60.0 + parts[2] / 3600.0;
  const auto ref = exif.findKey(Exiv2::ExifKey(ref_key));
  if (ref != exif.end() && ref->toString() == negative) degrees = -degrees;
  return true;
}

// XMP properties by "prefix.Name", whatever namespace URI the file binds the prefix to.
std::map<std::string, std::string> xmp_properties(const Exiv2::XmpData& xmp) {
  std::map<std::string, std::string> properties;
  for (const Exiv2::Xmpdatum& datum : xmp) {
    properties[datum.groupName() + "." + datum.tagName()] = datum.toString();
  }
  return properties;
}

bool number_of(const std::map<std::string, std::string>& properties, const std::string& key,
               double& value) {
  const auto found = properties.find(key);
  if (found == properties.end()) return false;
  const char* text = found->second.c_str();
  char* end = nullptr;
  value = std::strtod(text, &end);
  return end != text;
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

    tags.has_position = gps_degrees(exif, "Exif.GPSInfo.GPSLatitude", "Exif.GPSInfo.GPSLatitudeRef",
                                    "S", tags.latitude_deg) &&
                        gps_degrees(exif, "Exif.GPSInfo.GPSLongitude",
                                    "Exif.GPSInfo.GPSLongitudeRef", "W", tags.longitude_deg);
    const auto altitude = exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSAltitude"));
    if (altitude != exif.end() && altitude->count() >= 1 && altitude->toRational(0).second != 0) {
      const Exiv2::Rational r = altitude->toRational(0);
      tags.gps_altitude_m = static_cast<double>(r.first) / r.second;
      const auto ref = exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSAltitudeRef"));
      if (ref != exif.end() && ref->toLong() == 1) tags.gps_altitude_m = -tags.gps_altitude_m;
      tags.has_gps_altitude = true;
    }
    const auto focal35 = exif.findKey(Exiv2::ExifKey("Exif.Photo.FocalLengthIn35mmFilm"));
    if (focal35 != exif.end() && focal35->count() >= 1) tags.focal_35mm = focal35->toFloat(0);

    const auto xmp = xmp_properties(image->xmpData());
    tags.has_relative_altitude =
        number_of(xmp, "drone-dji.RelativeAltitude", tags.relative_altitude_m);
    number_of(xmp, "drone-dji.CalibratedFocalLength", tags.calibrated_focal_px);
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

}  // namespace aeroquilt
