#pragma once
// The preview window "Figure 1" that shows a view while it is built, when a window can
// be opened at all.

#include <opencv2/core.hpp>

namespace aeroquilt {

// True when a preview window can be opened: a display is named and a window opened on
// it in a child process. Decided once per run; call it first before any thread starts
// (the check forks).
bool display_available();

// Batch runs: no preview and no display check; show_preview does nothing, silently.
// Call it before display_available.
void disable_preview();

// Shows `image` scaled by `scale` in the window "Figure 1" when a display is available;
// says once that the preview is skipped when not.
void show_preview(const cv::Mat& image, double scale);

}  // namespace aeroquilt
