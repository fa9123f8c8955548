// Static helpers: dictionary reading, line cropping, ordering, channel
// conversion, diagnostic printing, path helpers and result visualisation.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace OCR {

// One text line on its way from detection through recognition.
struct OCRPredictResult {
    int32_t imgid;
    std::vector<std::vector<int>> box;
    std::string text;
    float score = -1.0f;
    float cls_score;
    int32_t cls_label = -1;
};

class Utility {
public:
    static std::vector<std::string> ReadDict(const std::string& path);

    static void VisualizeBboxes(const cv::Mat& srcimg, const std::vector<OCRPredictResult>& ocr_result,
                                const std::string& save_path);

    // Position of the first maximum of [first, last); 0 for an empty range.
    template <class ForwardIterator>
    inline static size_t argmax(ForwardIterator first, ForwardIterator last) {
        return std::distance(first, std::max_element(first, last));
    }

    static cv::Mat GetRotateCropImage(const cv::Mat& srcimage, std::vector<std::vector<int>> box);
    static std::vector<int> argsort(const std::vector<float>& array);
    static void get_3channels_img(cv::Mat& img);

    static void print_result(const std::vector<OCRPredictResult>& ocr_result);
    static void print_ocr_time(const std::vector<std::vector<double>>& time_info, int img_num, int batch);
    static std::string basename(const std::string& filename);
    static bool PathExists(const std::string& path);
    static void CreateDir(const std::string& path);
};

}  // namespace OCR
