#include "app/live_inputs.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstdio>
#include <fstream>
#include <opencv2/imgcodecs.hpp>

#include "base/console.h"
#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::scratch_dir;

void append(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::app | std::ios::binary) << text;
}

// The lines of one poll as "NUMBER:TEXT" joined by "|".
std::string poll_text(log_follower& log) {
  std::string text;
  for (const followed_line& line : log.poll())
    text += (text.empty() ? "" : "|") + std::to_string(line.number) + ":" + line.text;
  return text;
}

TEST(LogFollower, TakesCompleteLinesUntilTheFileShrinksOrIsReplaced) {
  scratch_dir dir("log_follower");
  const std::string path = dir.file("log.txt");
  // Each step changes the file, then polls: the lines it gives, whether it follows on.
  const struct {
    const char* action;  // append, truncate, replace
    const char* text;
    const char* lines;
    bool stopped;
    const char* message;
  } steps[] = {
      {"none", "", "", false, ""},  // the logger has not started
      {"append", "a,1\nb,", "1:a,1\n", false, ""},
      {"append", "2\n\nc", "2:b,2\n|3:\n", false, ""},
      {"append", "\n", "4:c\n", false, ""},
      {"truncate", "c\n", "", true, "shrank from 11 to 2 bytes while followed"},
      {"append", "d\n", "", true, ""},
  };
  log_follower log(path);
  for (const auto& step : steps) {
    if (std::string(step.action) == "append") append(path, step.text);
    if (std::string(step.action) == "truncate") std::ofstream(path) << step.text;
    console_capture capture;
    EXPECT_EQ(poll_text(log), step.lines) << step.text;
    EXPECT_EQ(log.stopped(), step.stopped) << step.text;
    EXPECT_NE(capture.text().find(step.message), std::string::npos) << capture.text();
  }

  // Another file under the name: what was read stands, nothing more is read.
  log_follower replaced(path);
  EXPECT_EQ(poll_text(replaced), "1:c\n|2:d\n");
  std::ofstream(dir.file("new.txt")) << "c\nd\ne\n";
  std::rename(dir.file("new.txt").c_str(), path.c_str());
  console_capture capture;
  EXPECT_EQ(poll_text(replaced), "");
  EXPECT_TRUE(replaced.stopped());
  EXPECT_NE(capture.text().find("was replaced while followed"), std::string::npos);
}

// A frame is complete once it ends as its format ends and its size has settled: seen
// twice alike, or untouched for a second.
TEST(FrameComplete, WaitsForTheEndAndASettledSize) {
  scratch_dir dir("frame_complete");
  std::vector<unsigned char> jpeg, png;
  const cv::Mat image(24, 32, CV_8UC3, cv::Scalar(10, 120, 200));
  cv::imencode(".jpg", image, jpeg);
  cv::imencode(".png", image, png);
  const std::string raw(400, 'x');
  const struct {
    const char* name;
    std::string bytes;
    std::size_t written;  // of the bytes
    bool aged;            // last written two seconds ago
    bool first, second;   // complete at the first and the second look
  } cases[] = {
      {"part.jpg", std::string(jpeg.begin(), jpeg.end()), jpeg.size() / 2, true, false, false},
      {"fresh.jpg", std::string(jpeg.begin(), jpeg.end()), jpeg.size(), false, false, true},
      {"old.jpg", std::string(jpeg.begin(), jpeg.end()), jpeg.size(), true, true, true},
      {"part.png", std::string(png.begin(), png.end()), png.size() - 4, true, false, false},
      {"whole.png", std::string(png.begin(), png.end()), png.size(), false, false, true},
      {"frame.rgb", raw, raw.size(), false, false, true},
      {"empty.png", "", 0, true, false, false},
  };
  for (const auto& c : cases) {
    const std::string path = dir.file(c.name);
    std::ofstream(path, std::ios::binary) << c.bytes.substr(0, c.written);
    if (c.aged) {
      timeval times[2];
      ::gettimeofday(&times[0], nullptr);
      times[0].tv_sec -= 2;
      times[1] = times[0];
      ::utimes(path.c_str(), times);
    }
    frame_seen seen;
    EXPECT_EQ(frame_complete(path, seen), c.first) << c.name;
    EXPECT_EQ(frame_complete(path, seen), c.second) << c.name;
  }
  frame_seen none;
  EXPECT_FALSE(frame_complete(dir.file("missing.jpg"), none));
}

}  // namespace
}  // namespace aeroquilt
