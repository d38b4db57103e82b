// The lens resampling: an ideal frame shows each ray where the pinhole model with the
// chosen focal length puts it, and reads nothing outside the distorted frame.

#include "imaging/lens_correction.h"

#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/calib3d.hpp>
#include <vector>

#include "support/scratch.h"

namespace aeroquilt {
namespace {

// A smooth scene as a function of the ray (x/z, y/z), grey levels within [40, 220].
double scene(double x, double y) {
  return 130.0 + 60.0 * std::sin(9.0 * x) + 30.0 * std::cos(7.0 * y);
}

TEST(LensCorrection, IdealFrameShowsEachRayAtThePinholePixelWithoutBorder) {
  const int width = 160, height = 120;
  for (const std::vector<std::string>& row : testing::case_rows("lens_cases.txt")) {
    SCOPED_TRACE(row.at(0));
    const std::vector<double> n = testing::numbers(row.at(1));
    const lens_options lens{n.at(0), n.at(1), n.at(2), n.at(3), n.at(4), n.at(5), n.at(6), n.at(7)};
    const lens_undistorter undistorter(lens, width, height);
    ASSERT_TRUE(undistorter.active());
    const double f = undistorter.ideal_focal_px();
    EXPECT_EQ(f < lens.focal_length_px, row.at(2) == "1") << f;

    // The distorted frame: each pixel shows the scene along its undistorted ray.
    const cv::Matx33d source(lens.focal_length_px, 0, width / 2.0 - 1 + lens.principal_offset_x, 0,
                             lens.focal_length_px, height / 2.0 - 1 + lens.principal_offset_y, 0, 0,
                             1);
    const std::vector<double> coefficients{lens.k1, lens.k2, lens.p1, lens.p2, lens.k3};
    std::vector<cv::Point2d> pixels, rays;
    for (int r = 0; r < height; ++r)
      for (int col = 0; col < width; ++col) pixels.emplace_back(col, r);
    cv::undistortPoints(pixels, rays, source, coefficients);
    cv::Mat distorted(height, width, CV_8UC3);
    for (std::size_t k = 0; k < pixels.size(); ++k)
      distorted.at<cv::Vec3b>(pixels[k]) =
          cv::Vec3b::all(cv::saturate_cast<uchar>(scene(rays[k].x, rays[k].y)));

    const cv::Mat ideal = undistorter.apply(distorted);
    ASSERT_EQ(ideal.size(), distorted.size());
    double worst = 0;
    for (int r = 0; r < height; ++r) {
      for (int col = 0; col < width; ++col) {
        // Pixel (col, r) from 0 is (col + 1, r + 1) counted from 1; the centre is (W/2, H/2).
        const double x = (col + 1 - width / 2.0) / f, y = (r + 1 - height / 2.0) / f;
        worst = std::max(worst, std::abs(ideal.at<cv::Vec3b>(r, col)[0] - scene(x, y)));
      }
    }
    EXPECT_LT(worst, 4.0);  // grey levels: rounding plus bilinear reading of the scene's curvature

    // The chosen focal length is the tight one: 1 % wider reads outside the frame.
    const double g = 0.99 * f;
    cv::Mat map_x, map_y;
    cv::initUndistortRectifyMap(source, coefficients, cv::noArray(),
                                cv::Matx33d(g, 0, width / 2.0 - 1, 0, g, height / 2.0 - 1, 0, 0, 1),
                                distorted.size(), CV_32FC1, map_x, map_y);
    double x_lo, x_hi, y_lo, y_hi;
    cv::minMaxLoc(map_x, &x_lo, &x_hi);
    cv::minMaxLoc(map_y, &y_lo, &y_hi);
    EXPECT_TRUE(x_lo < 0 || y_lo < 0 || x_hi > width - 1 || y_hi > height - 1);
  }
}

TEST(LensCorrection, NoCoefficientsLeavesFramesAsRead) {
  lens_options lens;
  lens.focal_length_px = 500;
  const lens_undistorter undistorter(lens, 160, 120);
  EXPECT_FALSE(undistorter.active());
  const cv::Mat frame(120, 160, CV_8UC3, cv::Scalar(1, 2, 3));
  EXPECT_EQ(undistorter.apply(frame).data, frame.data);
}

}  // namespace
}  // namespace aeroquilt
