// Host entry points of the library and the per-line result record.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace OCR {
class ocr;
}

// One recognised text line handed back to the host.
struct BOX_RESULT {
    int imgid;
    std::string text;
    int matched;                     // 1 when the host's pattern was found in text
    std::vector<cv::Point> points;   // top-left, top-right, bottom-right, bottom-left
};

extern OCR::ocr* g_ocr;
extern int g_use_cuda;
extern int g_scanimage;

int init_crnn(std::string& model_dir, const char* device, int n);
void uninit_crnn();
int crnn_ocr(cv::Mat& img, int reserved_filter, int min_crop_h, int max_crop_h, int min_crop_w, int max_crop_w,
             float unused_value, char* unused_text, char* pattern, std::vector<BOX_RESULT>& results);
int crnn_ocr_batch(std::vector<cv::Mat>& imgs, int reserved_filter, int min_crop_h, int max_crop_h, int min_crop_w,
                   int max_crop_w, float unused_value, char* unused_text, char* pattern,
                   std::vector<BOX_RESULT>& results);
void setScanImage(int v);
