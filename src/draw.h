// Debug drawing of results into desktop windows, active only while the
// debug-show switch is on.
#pragma once

#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/types_c.h>

#include "crnn.h"

void draw_box_result(const cv::Mat& img, std::vector<BOX_RESULT>& results);
void draw_text_box(const cv::Mat& img, CvRect& rect);
