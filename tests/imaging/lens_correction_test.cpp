// The lens resampling: an ideal frame shows each ray where the pinhole model with the
// chosen focal length puts it, keeps every pixel of the distorted frame, and marks the
// ideal pixels the distorted frame did not record as holding no data.

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

TEST(LensCorrection, IdealFrameKeepsTheWholeFrameAndMarksWhatItDidNotRecord) {
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

    // Every ray the distorted frame recorded lands in the ideal frame, and 1 % longer a
    // focal length would lose some: the chosen one is the tight one.
    const auto lands_inside = [&](double focal) {
      for (const cv::Point2d& ray : rays) {
        const double x = width / 2.0 - 1 + focal * ray.x, y = height / 2.0 - 1 + focal * ray.y;
        if (x < -1e-6 || y < -1e-6 || x > width - 1 + 1e-6 || y > height - 1 + 1e-6) return false;
      }
      return true;
    };
    EXPECT_TRUE(lands_inside(f));
    EXPECT_FALSE(lands_inside(1.01 * f));

    // Where the ideal frame has data it shows the scene; where it has none, the ray
    // through the ideal pixel lies outside the distorted frame.
    const cv::Mat ideal = undistorter.apply(distorted);
    const cv::Mat& no_data = undistorter.no_data();
    ASSERT_EQ(ideal.size(), distorted.size());
    ASSERT_EQ(no_data.size(), distorted.size());
    double worst = 0;
    int without = 0;
    std::vector<cv::Point2d> ideal_rays, recorded;
    for (int r = 0; r < height; ++r) {
      for (int col = 0; col < width; ++col) {
        // Pixel (col, r) from 0 is (col + 1, r + 1) counted from 1; the centre is (W/2, H/2).
        const double x = (col + 1 - width / 2.0) / f, y = (r + 1 - height / 2.0) / f;
        if (no_data.at<uchar>(r, col) != 0) {
          ++without;
          ideal_rays.emplace_back(x, y);
          continue;
        }
        worst = std::max(worst, std::abs(ideal.at<cv::Vec3b>(r, col)[0] - scene(x, y)));
      }
    }
    EXPECT_LT(worst, 4.0);  // grey levels: rounding plus bilinear reading of the scene's curvature
    EXPECT_EQ(without > 0, row.at(3) == "1") << without;
    if (ideal_rays.empty()) continue;
    std::vector<cv::Point3d> points;
    for (const cv::Point2d& ray : ideal_rays) points.emplace_back(ray.x, ray.y, 1.0);
    cv::projectPoints(points, cv::Vec3d(), cv::Vec3d(), source, coefficients, recorded);
    for (const cv::Point2d& p : recorded)
      EXPECT_TRUE(p.x < 0.01 || p.y < 0.01 || p.x > width - 1.01 || p.y > height - 1.01) << p;
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
