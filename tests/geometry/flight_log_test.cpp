#include "geometry/flight_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/console.h"
#include "support/scratch.h"
#include "terrain/map_projection.h"

namespace aeroquilt {
namespace {

using testing::scratch_dir;
using testing::write_text_file;

// A scratch survey: an image folder with some image files and a flight log.
class flight_log_fixture : public ::testing::Test {
 protected:
  flight_log_fixture() : dir_("flight_log") {
    std::filesystem::create_directories(dir_.file("images"));
    list_.image_dir = dir_.file("images") + "/";
  }

  void add_images(const std::vector<std::string>& names) {
    for (const auto& name : names) write_text_file(list_.image_dir + name, "image bytes");
  }

  // Writes the log and reads it; returns read_flight_log's result and keeps the console text.
  int read_log(const std::string& text) {
    write_text_file(log_path(), text);
    console_capture capture;
    const int result = read_flight_log(list_, log_path(), config_);
    console_ = capture.text();
    paused_ms_ = capture.paused_ms();
    return result;
  }

  std::string log_path() const { return dir_.file("fpo.txt"); }

  scratch_dir dir_;
  image_list list_;
  config_params config_;
  std::string console_;
  long long paused_ms_ = 0;
};

TEST_F(flight_log_fixture, ReadsEveryFieldOfAGeographicLine) {
  add_images({"IMG_0001.jpg"});
  ASSERT_EQ(read_log("IMG_0001.jpg,45.5,9.25,310.5,1.5,-2.5,181.0,7,8\n"), 1);
  ASSERT_EQ(list_.count, 1);
  const FPO_record& r = list_.records[0];
  EXPECT_EQ(r.name, "IMG_0001.jpg");
  EXPECT_DOUBLE_EQ(r.latitude, 45.5);
  EXPECT_DOUBLE_EQ(r.longitude, 9.25);
  EXPECT_DOUBLE_EQ(r.altitude, 310.5);
  EXPECT_DOUBLE_EQ(r.roll, 1.5);
  EXPECT_DOUBLE_EQ(r.pitch, -2.5);
  EXPECT_DOUBLE_EQ(r.heading, 181.0);
  EXPECT_DOUBLE_EQ(r.aux_8, 7.0);
  EXPECT_DOUBLE_EQ(r.aux_9, 8.0);
  EXPECT_EQ(r.path, list_.image_dir + "IMG_0001.jpg");
  EXPECT_EQ(r.found, 1);
  EXPECT_EQ(console_, "1 lines in FPO file\n1 images found\n");
  EXPECT_EQ(paused_ms_, 1000);
}

TEST_F(flight_log_fixture, DropsSteepImagesSilentlyWithTheDefaultLimit) {
  add_images({"a.jpg", "b.jpg", "c.jpg"});
  config_.projection_angle_limit = 0;  // selects 80 degrees
  read_log("a.jpg,45,9,300,5,2,0,0,0\nb.jpg,45,9,300,85,2,0,0,0\nc.jpg,45,9,300,-3,80,0,0,0\n");
  EXPECT_EQ(console_, "3 lines in FPO file\n2 images found\n");
  ASSERT_EQ(list_.count, 2);
  EXPECT_EQ(list_.records[0].name, "a.jpg");
  EXPECT_EQ(list_.records[1].name, "c.jpg");  // pitch equal to the limit is kept
}

TEST_F(flight_log_fixture, KeepsAnAngleEqualToTheLimitAndDropsOneBeyondIt) {
  add_images({"a.jpg", "b.jpg", "c.jpg"});
  config_.projection_angle_limit = 10;
  read_log(
      "a.jpg,45,9,300,0,-10,0,0,0\nb.jpg,45,9,300,0,-10.0001,0,0,0\n"
      "c.jpg,45,9,300,-10.0001,0,0,0,0\n");
  ASSERT_EQ(list_.count, 1);
  EXPECT_EQ(list_.records[0].name, "a.jpg");
}

TEST_F(flight_log_fixture, NegativeLimitDropsEveryLine) {
  add_images({"a.jpg"});
  config_.projection_angle_limit = -1;
  read_log("a.jpg,45,9,300,0,0,0,0,0\na.jpg,46,9,300,0,0,0,0,0\n");
  EXPECT_EQ(list_.count, 0);
  EXPECT_EQ(console_, "2 lines in FPO file\n0 images found\n");
  EXPECT_EQ(list_.centre_lat, 0.0);
  EXPECT_EQ(list_.centre_lon, 0.0);
}

TEST_F(flight_log_fixture, LongitudeBeyond180MarksAUtmLine) {
  add_images({"geo.jpg", "utm.jpg", "far.jpg"});
  config_.meridian_longitude = 10;  // zone 32, central meridian 9
  read_log(
      "geo.jpg,45,180,300,0,0,0,0,0\n"
      "utm.jpg,500000,5000000,300,0,0,0,0,0\n"
      "far.jpg,612345.5,180.5,300,0,0,0,0,0\n");
  ASSERT_EQ(list_.count, 3);
  EXPECT_DOUBLE_EQ(list_.records[0].latitude, 45.0);
  EXPECT_DOUBLE_EQ(list_.records[0].longitude, 180.0);

  double latitude = 0, longitude = 0;
  utm_to_geographic(500000, 5000000, 9.0, latitude, longitude);
  EXPECT_DOUBLE_EQ(list_.records[1].latitude, latitude);
  EXPECT_NEAR(list_.records[1].longitude, 9.0, 1e-12);
  // 45.1534771834 computed with PROJ cs2cs (zone 32); 3e-7 degrees is ~3 cm.
  EXPECT_NEAR(list_.records[1].latitude, 45.1534771834, 3e-7);

  utm_to_geographic(612345.5, 180.5, 9.0, latitude, longitude);
  EXPECT_DOUBLE_EQ(list_.records[2].latitude, latitude);
  EXPECT_DOUBLE_EQ(list_.records[2].longitude, longitude);
}

TEST_F(flight_log_fixture, UtmZoneFollowsTheConfiguredMeridian) {
  add_images({"a.jpg"});
  config_.meridian_longitude = 15;  // zone 33, central meridian 15
  read_log("a.jpg,500000,6000000,300,0,0,0,0,0\n");
  ASSERT_EQ(list_.count, 1);
  EXPECT_NEAR(list_.records[0].longitude, 15.0, 1e-12);
  config_.meridian_longitude = 9;  // zone 32, central meridian 9
  read_log("a.jpg,500000,6000000,300,0,0,0,0,0\n");
  EXPECT_NEAR(list_.records[0].longitude, 9.0, 1e-12);
}

TEST_F(flight_log_fixture, MissingImagesAreReportedAndDroppedInOrder) {
  add_images({"a.jpg", "c.jpg", "e.jpg"});
  read_log(
      "a.jpg,10,20,300,0,0,0,0,0\nb.jpg,10,20,300,0,0,0,0,0\nc.jpg,10,20,300,0,0,0,0,0\n"
      "d.jpg,10,20,300,0,0,0,0,0\ne.jpg,10,20,300,0,0,0,0,0\n");
  EXPECT_EQ(console_, "5 lines in FPO file\nimage not found " + list_.image_dir +
                          "b.jpg\nimage not found " + list_.image_dir + "d.jpg\n3 images found\n");
  ASSERT_EQ(list_.count, 3);
  EXPECT_EQ(list_.records[0].name, "a.jpg");
  EXPECT_EQ(list_.records[1].name, "c.jpg");
  EXPECT_EQ(list_.records[2].name, "e.jpg");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(list_.records[i].found, 1);
}

TEST_F(flight_log_fixture, AFolderIsNotAnImage) {
  std::filesystem::create_directories(list_.image_dir + "folder.jpg");
  read_log("folder.jpg,10,20,300,0,0,0,0,0\n");
  EXPECT_EQ(list_.count, 0);
  EXPECT_EQ(console_, "1 lines in FPO file\nimage not found " + list_.image_dir +
                          "folder.jpg\n0 images found\n");
}

TEST_F(flight_log_fixture, HeaderLineIsARecordAndABlankLineIsLeftOut) {
  add_images({"a.jpg"});
  read_log("name,lat,lon,alt,roll,pitch,heading\n\na.jpg,10,20,300,0,0,0,0,0\n");
  EXPECT_EQ(console_,
            "3 lines in FPO file\n"
            "Could not find number.\nCould not find number.\nCould not find number.\n"
            "Could not find number.\nCould not find number.\nCould not find number.\n"
            "Could not find number.\nCould not find number.\n"
            "FPO file " +
                log_path() +
                " line 2 has 1 fields, 7 expected (name, latitude, "
                "longitude, altitude, roll, pitch, heading): line left out\n"
                "image not found " +
                list_.image_dir +
                "name\n"
                "1 images found\n");
  ASSERT_EQ(list_.count, 1);
  EXPECT_EQ(list_.records[0].name, "a.jpg");
}

TEST_F(flight_log_fixture, TrailingLineWithoutNewlineIsRead) {
  add_images({"a.jpg", "b.jpg"});
  read_log("a.jpg,10,20,300,0,0,0,0,0\nb.jpg,12,26,300,0,0,0,0,0");
  ASSERT_EQ(list_.count, 2);
  EXPECT_EQ(list_.records[1].name, "b.jpg");
  EXPECT_DOUBLE_EQ(list_.records[1].aux_9, 0.0);
}

TEST_F(flight_log_fixture, RepeatedNameGivesTwoRecordsWithOnePath) {
  add_images({"a.jpg"});
  read_log("a.jpg,10,20,300,0,0,0,0,0\na.jpg,11,21,300,0,0,0,0,0\n");
  ASSERT_EQ(list_.count, 2);
  EXPECT_EQ(list_.records[0].path, list_.records[1].path);
  EXPECT_DOUBLE_EQ(list_.records[1].latitude, 11.0);
}

// A short line would read its missing fields from the line's start (the name's
// digits as altitude and roll); it is left out with its line number instead.
TEST_F(flight_log_fixture, LineWithFewerThanSevenFieldsIsLeftOutByNumber) {
  add_images({"a1.jpg", "b.jpg"});
  read_log("b.jpg,10,20,300,0,0,0\na1.jpg,10,20\n");
  ASSERT_EQ(list_.count, 1);
  EXPECT_EQ(list_.records[0].name, "b.jpg");  // seven fields are enough
  EXPECT_NE(console_.find("fpo.txt line 2 has 3 fields, 7 expected"), std::string::npos)
      << console_;
}

// Not finite, beyond a pole or beyond a turn of longitude (also what a UTM
// conversion of garbage gives): the line is left out by number, the rest kept.
TEST_F(flight_log_fixture, PositionOrAttitudeOutOfRangeIsLeftOutByNumber) {
  add_images({"a.jpg", "b.jpg", "c.jpg", "d.jpg", "e.jpg"});
  read_log(
      "a.jpg,10,20,300,0,0,0,0,0\n"
      "b.jpg,95,20,300,0,0,0,0,0\n"
      "c.jpg,10,20,300,0,0,0e999,0,0\n"
      "d.jpg,1e12,-1e12,300,0,0,0,0,0\n"
      "e.jpg,10,20,1e999,0,0,0,0,0\n");
  ASSERT_EQ(list_.count, 1);
  EXPECT_EQ(list_.records[0].name, "a.jpg");
  for (int line = 2; line <= 5; ++line) {
    EXPECT_NE(console_.find("fpo.txt line " + std::to_string(line) +
                            ": position or attitude out of range"),
              std::string::npos)
        << line << "\n"
        << console_;
  }
}

// A line over 999 characters is one record: its first piece; the rest is reported
// and ignored instead of being read as further records.
TEST_F(flight_log_fixture, OverlongLineIsOneRecordAndItsRestIsIgnored) {
  add_images({"a.jpg", "b.jpg"});
  read_log("a.jpg,10,20,300,0,0,0,0,0" + std::string(2500, ' ') + "x.jpg,1,2,3,4,5,6\n" +
           "b.jpg,11,21,300,0,0,0,0,0\n");
  EXPECT_EQ(console_.rfind("2 lines in FPO file\n", 0), 0u) << console_;
  EXPECT_NE(console_.find("fpo.txt line 1 is longer than 999 characters"), std::string::npos);
  ASSERT_EQ(list_.count, 2);
  EXPECT_EQ(list_.records[1].name, "b.jpg");
}

TEST_F(flight_log_fixture, NamesLongerThan99CharactersAreKeptWhole) {
  const std::string name = std::string(150, 'n') + ".jpg";
  add_images({name});
  read_log(name + ",10,20,300,0,0,0,0,0\n");
  ASSERT_EQ(list_.count, 1);
  EXPECT_EQ(list_.records[0].name, name);
  EXPECT_EQ(list_.records[0].path, list_.image_dir + name);
}

TEST_F(flight_log_fixture, SurveyCentreIsTheMiddleOfTheBoundingBox) {
  add_images({"a.jpg", "b.jpg", "c.jpg", "d.jpg"});
  read_log(
      "a.jpg,10,26,300,0,0,0,0,0\nb.jpg,10.5,21,300,0,0,0,0,0\n"
      "c.jpg,11.9,25.9,300,0,0,0,0,0\nd.jpg,12,20,300,0,0,0,0,0\n");
  EXPECT_DOUBLE_EQ(list_.centre_lat, 11.0);
  EXPECT_DOUBLE_EQ(list_.centre_lon, 23.0);
}

TEST_F(flight_log_fixture, UnopenableLogIsReportedWithItsPath) {
  const std::string missing = dir_.file("no_such_log.txt");
  console_capture capture;
  EXPECT_EQ(read_flight_log(list_, missing, config_), 0);
  EXPECT_EQ(capture.text(), "FPO file not found \n" + missing + "\n");
  EXPECT_EQ(list_.count, 0);
}

}  // namespace
}  // namespace aeroquilt
