// Line cutting steps behind OCR::Utility::GetRotateCropImage, for the
// pipeline's orientation step and the library's own tests. Internal to the
// library (not installed).
#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace OCR {
namespace detail {

// The box's quad warped onto an axis-aligned image as wide as its top edge
// and as high as its left edge, not turned; an empty image (of the source's
// type) for a box without four corners of two coordinates or without area.
cv::Mat warp_line(const cv::Mat& srcimage, std::vector<std::vector<int>> box);

// At least three times higher than wide (single-precision comparison,
// equality included): a line that runs top to bottom on an upright page.
bool standing(cv::Size size);

// The image turned by 90 degrees counter-clockwise.
cv::Mat turn_ccw(const cv::Mat& img);

}  // namespace detail
}  // namespace OCR
