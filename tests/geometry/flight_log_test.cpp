#include "geometry/flight_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "base/console.h"
#include "support/scratch.h"
#include "terrain/map_projection.h"

namespace aeroquilt {
namespace {

using testing::scratch_dir;
using testing::write_text_file;

// A scratch survey: an image folder with some image files and a flight log.
class FlightLog : public ::testing::Test {
 protected:
  FlightLog() {
    std::filesystem::create_directories(dir_.file("images"));
    list_.image_dir = dir_.file("images") + "/";
  }
  // Writes the images named in `images` (space-separated) and the log, and reads it.
  int read_log(const std::string& images, const std::string& text) {
    std::istringstream names(images);
    for (std::string name; names >> name;) write_text_file(list_.image_dir + name, "image bytes");
    write_text_file(dir_.file("fpo.txt"), text);
    console_capture capture;
    const int result = read_flight_log(list_, dir_.file("fpo.txt"), config_);
    console_ = capture.text();
    paused_ms_ = capture.paused_ms();
    return result;
  }
  std::string kept_names() const {
    std::string names;
    for (int i = 0; i < list_.count; ++i) names += (i ? " " : "") + list_.records[i].name;
    return names;
  }

  scratch_dir dir_{"flight_log"};
  image_list list_;
  flight_log_options config_;
  std::string console_;
  long long paused_ms_ = 0;
};

TEST_F(FlightLog, ReadsEveryFieldOfAGeographicLine) {
  ASSERT_EQ(read_log("IMG_0001.jpg", "IMG_0001.jpg,45.5,9.25,310.5,1.5,-2.5,181.0,7,8\n"), 1);
  ASSERT_EQ(list_.count, 1);
  const FPO_record& r = list_.records[0];
  EXPECT_EQ(r.name, "IMG_0001.jpg");
  const double read[] = {r.latitude, r.longitude, r.altitude, r.roll,
                         r.pitch,    r.heading,   r.aux_8,    r.aux_9};
  const double expected[] = {45.5, 9.25, 310.5, 1.5, -2.5, 181.0, 7.0, 8.0};
  for (int k = 0; k < 8; ++k) EXPECT_EQ(read[k], expected[k]) << "field " << k + 2;
  EXPECT_EQ(r.path, list_.image_dir + "IMG_0001.jpg");
  EXPECT_EQ(console_, "1 lines in FPO file\n1 images found\n");
  EXPECT_EQ(paused_ms_, 1000);
  // The survey centre is the middle of the positions' bounding box.
  read_log("a b c", "a,10,26,300,0,0,0\nb,10.5,21,300,0,0,0\nc,12,20,300,0,0,0\n");
  EXPECT_DOUBLE_EQ(list_.centre_lat, 11.0);
  EXPECT_DOUBLE_EQ(list_.centre_lon, 23.0);
}

TEST_F(FlightLog, KeepsTheLinesItCanUseAndNamesTheOthers) {
  for (const std::vector<std::string>& c : testing::case_rows("flight_log_cases.txt")) {
    SCOPED_TRACE(c.at(1).substr(0, 80));
    config_.projection_angle_limit = std::stod(c.at(2));
    std::filesystem::remove_all(dir_.file("images"));
    std::filesystem::create_directories(dir_.file("images"));
    list_ = image_list{};
    list_.image_dir = dir_.file("images") + "/";
    ASSERT_EQ(read_log(c[0], testing::unescape(c[1])), 1);
    EXPECT_EQ(kept_names(), c.at(3));
    std::string console = c.size() > 4 ? testing::unescape(c[4]) : "";
    for (std::size_t at; (at = console.find('$')) != std::string::npos;)
      console.replace(at, 1, list_.image_dir);
    EXPECT_NE(console_.find(console), std::string::npos) << console_;
  }
}

TEST_F(FlightLog, LongitudeBeyond180MarksAUtmLineInTheConfiguredZone) {
  config_.meridian_longitude = 10;  // zone 32, central meridian 9
  read_log("geo utm", "geo,45,180,300,0,0,0\nutm,500000,5000000,300,0,0,0\n");
  ASSERT_EQ(list_.count, 2);
  EXPECT_DOUBLE_EQ(list_.records[0].longitude, 180.0);
  EXPECT_NEAR(list_.records[1].longitude, 9.0, 1e-12);
  // 45.1534771834 computed with PROJ cs2cs (zone 32); 3e-7 degrees is ~3 cm.
  EXPECT_NEAR(list_.records[1].latitude, 45.1534771834, 3e-7);
  config_.meridian_longitude = 15;  // zone 33
  read_log("", "utm,500000,5000000,300,0,0,0\n");
  EXPECT_NEAR(list_.records[0].longitude, 15.0, 1e-12);
}

}  // namespace
}  // namespace aeroquilt
