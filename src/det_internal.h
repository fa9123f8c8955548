// Detection steps shared by single-image and batch detection, reachable
// from the library's own tests and benchmarks. Internal to the library (not
// installed).
#pragma once

#include <exception>
#include <functional>
#include <vector>

#include "det.h"

namespace OCR {
namespace detail {

// Post-processing of one probability plane (height x width floats,
// row-major): binarise, optionally dilate, extract and score boxes, grow
// them, order their corners and map them to a src_rows x src_cols source
// image. Both detection operations run it; it only reads the detector's
// thresholds, switches and box post-processor.
std::vector<std::vector<std::vector<int>>> post_process_plane(const TextDetect& det, const float* plane, int height,
                                                              int width, float ratio_h, float ratio_w, int padding,
                                                              int src_rows, int src_cols);

// The batch post-processing loop: body(i) for i in [0, count) in one
// OpenMP parallel loop with a static schedule, on the calling thread's
// default team size. An exception thrown by an iteration is kept in that
// iteration's slot; the first one (lowest index) is returned once every
// iteration has finished, null when none threw.
std::exception_ptr run_plane_loop(int count, const std::function<void(int)>& body);

}  // namespace detail
}  // namespace OCR
