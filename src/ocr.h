// The OCR pipeline: detection, cropping, size filters, recognition.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "det.h"
#include "rec.h"
#include "utility.h"

namespace OCR {

namespace detail {
struct PipelineSwitches;
}  // namespace detail

class ocr {
public:
    ocr();
    ~ocr();
    ocr(const ocr&) = delete;
    ocr& operator=(const ocr&) = delete;

    int initModel(const std::string& model_dir, int device, int n);
    void set_filter(int reserved, int min_h, int max_h, int min_w, int max_w);

    // The three stages return 0, or -1 when their network gave no usable
    // output (logged at level 1 where it happened).
    int det(cv::Mat& img, std::vector<OCRPredictResult>& ocr_results, std::vector<double>& times);
    int det_batch(std::vector<cv::Mat>& img_list, std::vector<OCRPredictResult>& ocr_results,
                  std::vector<double>& times);
    int rec(std::vector<cv::Mat>& img_list, std::vector<OCRPredictResult>& ocr_results, std::vector<double>& times);

    // A whole request; a request whose detection or recognition failed
    // gives an empty list.
    std::vector<OCRPredictResult> run(cv::Mat& img, bool do_det, bool do_rec,
                                      std::vector<std::vector<double>>& time_info);
    std::vector<OCRPredictResult> run_batch(std::vector<cv::Mat>& img_list, bool do_det, bool do_rec,
                                            std::vector<std::vector<double>>& time_info);

    TextDetect* detector = nullptr;
    void* classifier = nullptr;
    TextRec* recognizer = nullptr;
    int32_t reserved_filter = 0;
    int32_t min_crop_h = 0;
    int32_t max_crop_h = 0;
    int32_t min_crop_w = 0;
    int32_t max_crop_w = 0;

private:
    friend struct detail::PipelineSwitches;
    // Whether a request turns each page and line the right way up before
    // reading it (on; switched off only to measure what the step costs).
    bool orient_lines_ = true;
};

}  // namespace OCR
