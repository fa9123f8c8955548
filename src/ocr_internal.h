// The pipeline's batch request with its outcome, for the host entry points;
// the line step of a request on given boxes and the orientation switch, for
// the library's own tests and benchmarks. Internal to the library (not
// installed).
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

// The part of a request after detection: every detection (its `imgid`
// indexing `img_list`, a three-channel image) is cut out and turned the way
// its page and line read (when the orientation step is on), cut-outs the
// size tests reject are dropped, and a copy of each kept detection is
// appended to `results`. With `do_rec` the cut-outs are read into those
// records, in the orientation the step decides. Returns 0, or -1 with
// `results` empty when recognition failed.
int crop_and_recognise(ocr& pipeline, const std::vector<cv::Mat>& img_list,
                       const std::vector<OCRPredictResult>& det_result, bool do_rec, std::vector<double>& rec_times,
                       std::vector<OCRPredictResult>& results);

// The pipeline's orientation step: on by default; off, every cut-out is
// read as OCR::Utility::GetRotateCropImage turns it.
struct PipelineSwitches {
    static void set_orientation(ocr& pipeline, bool on) { pipeline.orient_lines_ = on; }
    static bool orientation(const ocr& pipeline) { return pipeline.orient_lines_; }
};

}  // namespace detail
}  // namespace OCR
