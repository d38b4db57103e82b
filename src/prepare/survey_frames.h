#pragma once
// The frames of a survey folder: which files are frames, their poses (from their tags
// or a poses file) and the plain names the run reads them by.

#include <string>
#include <vector>

#include "prepare/frame_tags.h"
#include "prepare/prepare_survey.h"

namespace aeroquilt {

struct survey_frame {
  std::string name;         // file name in the image folder
  std::string target;       // its absolute path, links resolved
  std::string link_name;    // the plain name the run reads it by (see frame_link_name)
  const char* format = "";  // "JPEG", "TIFF", "PNG", "BMP"
  frame_tags tags;          // position and attitude from the poses file when one is given
  double altitude_m = 0;    // as chosen (absolute, or relative before the take-off height)
  double ground_m = 0;      // DEM height below the camera
};

struct survey_frames {
  std::vector<survey_frame> frames;  // in name order
  int left_out = 0;                  // frames named with the reason
  int width = 0, height = 0;         // pixels
  std::string kind;                  // bands and sample type, for the summary
};

// Frame file k (from 0) as the run reads it: frame_00001 and the frame's extension in
// lower case, without "rgb" or a comma (the run reads a path holding "rgb" as a raw
// frame and splits its flight log at commas).
std::string frame_link_name(int k, int count, const std::string& name, const char* format);

// Reads the image folder: frames are the images of the most common size and kind
// (bands and sample type: 8-bit colour, not a DEM's float heights), in name order;
// images of that kind and another size, and frames without a pose, are left out with a
// line saying why; other files (a DEM, sidecars) are passed over. Throws
// prepare_failure when no frame is left.
survey_frames read_survey_frames(const prepare_options& options);

}  // namespace aeroquilt
