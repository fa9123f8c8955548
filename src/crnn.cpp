// Host entry points: initialisation, single-image and batch recognition with
// pattern matching, teardown.
#include "crnn.h"

#include <cstdio>
#include <cstring>
#include <regex>

#include "draw.h"
#include "global.h"
#include "ocr.h"
#include "ocr_internal.h"
#include "text_util.h"
#include "utility.h"
#include "zel_log.h"

OCR::ocr* g_ocr = nullptr;
int g_use_cuda = 0;
int g_scanimage = 0;

namespace {

// True while g_ocr holds a pipeline whose models loaded.
bool g_ocr_ready = false;

// Longest text put on a record line, so that ":matched" always fits the
// logging call's line.
constexpr size_t kMaxLoggedText = 960;

// Rejects images the pipeline cannot take: an empty matrix, a depth other
// than 8 bits, or a channel count other than 1, 3 or 4. Returns false after
// a level-1 line.
bool check_images(const std::vector<cv::Mat>& imgs) {
    for (size_t i = 0; i < imgs.size(); ++i) {
        const cv::Mat& img = imgs[i];
        if (img.empty() || img.dims != 2) {
            zel_log(1, "image %d is empty", static_cast<int>(i));
            return false;
        }
        if (img.depth() != CV_8U) {
            zel_log(1, "image %d is not an 8-bit image (depth %d)", static_cast<int>(i), img.depth());
            return false;
        }
        const int ch = img.channels();
        if (ch != 1 && ch != 3 && ch != 4) {
            zel_log(1, "image %d has %d channels; 1, 3 or 4 are accepted", static_cast<int>(i), ch);
            return false;
        }
    }
    return true;
}

}  // namespace

int init_crnn(std::string& model_dir, const char* device, int n) {
    // A second initialisation replaces the pipeline already there.
    uninit_crnn();

    g_ocr = new OCR::ocr();
    int ret;
    if (device != nullptr && strcmp(device, "cuda") == 0) {
        g_use_cuda = 1;
        ret = g_ocr->initModel(model_dir, 1, n);
    } else {
        g_use_cuda = 0;
        ret = g_ocr->initModel(model_dir, 0, n);
    }
    if (ret < 0) zel_log(1, "load model error!\n");
    g_ocr_ready = ret == 0;
    return ret;
}

void uninit_crnn() {
    if (g_ocr == nullptr) return;
    zel_log(0, "unload crnn_cn model.");
    delete g_ocr;
    g_ocr = nullptr;
    g_ocr_ready = false;
}

int crnn_ocr(cv::Mat& img, int reserved_filter, int min_crop_h, int max_crop_h, int min_crop_w, int max_crop_w,
             float unused_value, char* unused_text, char* pattern, std::vector<BOX_RESULT>& results) {
    std::vector<cv::Mat> imgs;
    imgs.push_back(img);  // header copy: the pixels are shared
    return crnn_ocr_batch(imgs, reserved_filter, min_crop_h, max_crop_h, min_crop_w, max_crop_w, unused_value,
                          unused_text, pattern, results);
}

int crnn_ocr_batch(std::vector<cv::Mat>& imgs, int reserved_filter, int min_crop_h, int max_crop_h, int min_crop_w,
                   int max_crop_w, float unused_value, char* unused_text, char* pattern,
                   std::vector<BOX_RESULT>& results) {
    for (size_t i = 1; i < imgs.size(); ++i) {
        if (imgs[i].cols != imgs[0].cols || imgs[i].rows != imgs[0].rows) {
            printf("批处理的图片需要大小一致\n");
            return -1;
        }
    }
    if (imgs.empty()) {
        printf("no image given\n");
        return -1;
    }
    if (g_ocr == nullptr) {
        zel_log(1, "crnn is not initialized");
        return -1;
    }
    if (!g_ocr_ready) {
        zel_log(1, "crnn model is not loaded");
        return -1;
    }
    if (pattern == nullptr) {
        zel_log(1, "no pattern given");
        return -1;
    }
    if (!check_images(imgs)) return -1;

    results.clear();

    // The detector takes three channels: grey and four-channel images are
    // converted on header copies, so the host's matrices stay as they are.
    std::vector<cv::Mat> img_list(imgs);
    for (cv::Mat& img : img_list) {
        if (img.channels() != 3) OCR::Utility::get_3channels_img(img);
    }

    g_ocr->set_filter(reserved_filter, min_crop_h, max_crop_h, min_crop_w, max_crop_w);
    std::vector<std::vector<double>> time_info(3, std::vector<double>(3, 0.0));
    std::vector<OCR::OCRPredictResult> ocr_results;
    // A failed detection or recognition has logged its level-1 line; the
    // host gets -1 and an empty list, never a request that found no text.
    if (OCR::detail::run_batch(*g_ocr, img_list, true, time_info, ocr_results) != 0) return -1;

    std::regex re(pattern);
    int found = 0;
    for (const OCR::OCRPredictResult& res : ocr_results) {
        const bool matched = std::regex_search(res.text, re);
        if (matched) ++found;
        BOX_RESULT box_result;
        box_result.imgid = res.imgid;
        box_result.text = res.text;
        box_result.matched = matched ? 1 : 0;
        for (size_t j = 0; j < 4 && j < res.box.size(); ++j) {
            box_result.points.push_back(cv::Point(res.box[j][0], res.box[j][1]));
        }
        zel_log(0, "%02d: %s:%d", box_result.imgid, OCR::detail::utf8_prefix(box_result.text, kMaxLoggedText).c_str(),
                box_result.matched);
        results.push_back(box_result);
    }

    if (isDebugShow() && imgs.size() == 1) draw_box_result(img_list[0], results);

    zel_log(0, ">> found count = %d <<<", found);
    return found;
}

void setScanImage(int v) { g_scanimage = 1; }
