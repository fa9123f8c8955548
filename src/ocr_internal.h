// The pipeline's batch request with its outcome, for the host entry points.
// Internal to the library (not installed).
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "ocr.h"

namespace OCR {
namespace detail {

// OCR::ocr::run_batch that also tells whether the request succeeded: 0 with
// `results` holding the kept lines, or -1 with `results` empty when
// detection or recognition gave no usable output (each logs its own
// level-1 line). `results` is replaced in either case.
int run_batch(ocr& pipeline, std::vector<cv::Mat>& img_list, bool do_rec,
              std::vector<std::vector<double>>& time_info, std::vector<OCRPredictResult>& results);

}  // namespace detail
}  // namespace OCR
