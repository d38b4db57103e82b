// The default projection takes the images from the last back, each pixel claimed by
// the first to see it: the view must end as the flight-log order leaves it, the last
// image that sees a pixel on top. With frames of one flat colour each, every pixel of
// a default run must carry the colour of the frame that the last-wins source map of
// the compositing path names.

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <string>

#include "support/scratch.h"
#include "survey/synthetic_survey.h"

namespace aeroquilt::testing {
namespace {

TEST(LastWins, DefaultRunLeavesTheLastFrameOnTop) {
  scratch_dir dir("last_wins");
  survey_design design;
  design.flat_colour_frames = true;
  design.tilt_deg = 15.0;  // frames pitched in turn: their overlaps cross
  const survey_truth plain = make_survey(design, dir.file("plain"));
  design.extra_config = "write_source_map,1\n";
  const survey_truth mapped = make_survey(design, dir.file("mapped"));
  std::string output;
  for (const survey_truth* run : {&plain, &mapped})
    ASSERT_EQ(run_command(aeroquilt_binary() + " " + run->files.config + " --batch", output), 1)
        << output;
  const cv::Mat mosaic = cv::imread(plain.files.mosaic, cv::IMREAD_UNCHANGED);
  const cv::Mat source =
      cv::imread(mapped.files.output_dir + "mosaic_source.tif", cv::IMREAD_UNCHANGED);
  ASSERT_EQ(mosaic.type(), CV_8UC4);
  ASSERT_EQ(source.size(), mosaic.size());

  int checked = 0, wrong = 0;
  for (int r = 0; r < mosaic.rows; ++r) {
    for (int c = 0; c < mosaic.cols; ++c) {
      const int s = source.at<uint16_t>(r, c);
      const cv::Vec4b pixel = mosaic.at<cv::Vec4b>(r, c);
      if (s == 0 || pixel[3] == 0) continue;
      cv::Mat expected(1, 1, CV_8UC3, cv::Scalar(flat_frame_bgr(s - 1)));
      apply_projection_values(design, expected);
      const cv::Vec3b e = expected.at<cv::Vec3b>(0, 0);
      wrong += pixel[0] != e[0] || pixel[1] != e[1] || pixel[2] != e[2];
      ++checked;
    }
  }
  EXPECT_GT(checked, 10000);
  // The two paths place pixels with other float steps: they may disagree along a
  // frame's edge, never over an overlap.
  EXPECT_LT(wrong, checked / 200) << wrong << " of " << checked;
}

}  // namespace
}  // namespace aeroquilt::testing
