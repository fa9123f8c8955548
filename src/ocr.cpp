// The OCR pipeline: detection, cropping, size filters, recognition and the
// stage time table.
#include "ocr.h"

#include <cmath>
#include <cstdint>
#include <map>
#include <memory>

#include "ocr_internal.h"
#include "orient.h"
#include "rec_internal.h"
#include "utility_internal.h"
#include "zel_log.h"

namespace OCR {

namespace {

// Floors below which a crop is too small to hold a readable line; they
// scale with the image width (40 and 26 pixels at 3840 columns).
// The products are integers, then divided in double precision and
// truncated; they are taken in 64 bits so that no width overflows them.
void crop_floors(int width, int& min_w, int& min_h) {
    min_w = static_cast<int>(static_cast<int64_t>(width) * 40 / 3840.0);
    min_h = static_cast<int>(static_cast<int64_t>(width) * 26 / 3840.0);
}

// Adds the run's table into the caller's and returns the sum of all nine
// entries, accumulated in single precision.
float add_times(const std::vector<std::vector<double>>& time_info, std::vector<std::vector<double>>& total_table) {
    float total = 0.0f;
    for (size_t i = 0; i < 3; ++i) {
        for (size_t j = 0; j < 3; ++j) {
            if (i < total_table.size() && j < total_table[i].size()) total_table[i][j] += time_info[i][j];
            total = static_cast<float>(static_cast<double>(total) + time_info[i][j]);
        }
    }
    return total;
}

}  // namespace

ocr::ocr() {
    // Held until the recogniser exists too: should its construction throw,
    // the detector is released with it.
    std::unique_ptr<TextDetect> det(new TextDetect());
    recognizer = new TextRec();
    detector = det.release();
}

ocr::~ocr() {
    if (detector != nullptr) {
        delete detector;
        detector = nullptr;
    }
    if (recognizer != nullptr) {
        delete recognizer;
        recognizer = nullptr;
    }
}

int ocr::initModel(const std::string& model_dir, int device, int n) {
    int ret_det;
    int ret_rec = 0;
    if (device == 1) {
        ret_det = detector->initModel_cuda(model_dir, device, n);
        if (ret_det == 0) ret_rec = recognizer->initModel_cuda(model_dir, device, n);
    } else {
        ret_det = detector->initModel_mnn(model_dir, device, n);
        if (ret_det == 0) ret_rec = recognizer->initModel_mnn(model_dir, device, n);
    }
    return ret_det != 0 ? ret_det : ret_rec;
}

void ocr::set_filter(int reserved, int min_h, int max_h, int min_w, int max_w) {
    reserved_filter = reserved;
    min_crop_h = min_h;
    max_crop_h = max_h;
    min_crop_w = min_w;
    max_crop_w = max_w;
}

namespace {

// Appends one default record per box, in the boxes' order, with the given
// image index; the boxes are moved out.
void append_boxes(std::vector<std::vector<std::vector<int>>>& boxes, int32_t imgid,
                  std::vector<OCRPredictResult>& ocr_results) {
    for (auto& box : boxes) {
        OCRPredictResult res{};
        res.imgid = imgid;
        res.score = -1.0f;
        res.cls_label = -1;
        res.box = std::move(box);
        ocr_results.push_back(std::move(res));
    }
}

}  // namespace

int ocr::det(cv::Mat& img, std::vector<OCRPredictResult>& ocr_results, std::vector<double>& times) {
    if (img.channels() != 3) Utility::get_3channels_img(img);
    std::vector<std::vector<std::vector<int>>> boxes;
    if (detector->Model_Infer(img, boxes, times) != 0) return -1;  // nothing is appended
    append_boxes(boxes, 0, ocr_results);  // one image: its index is 0
    return 0;
}

int ocr::det_batch(std::vector<cv::Mat>& img_list, std::vector<OCRPredictResult>& ocr_results,
                   std::vector<double>& times) {
    ocr_results.clear();
    std::vector<DetResult> det_results;
    if (detector->Model_Infer_batch(img_list, det_results, times) != 0) return -1;  // the list stays empty
    for (DetResult& det_result : det_results) append_boxes(det_result.boxes, det_result.imgid, ocr_results);
    return 0;
}

int ocr::rec(std::vector<cv::Mat>& img_list, std::vector<OCRPredictResult>& ocr_results,
             std::vector<double>& times) {
    std::vector<std::string> rec_texts(img_list.size(), "");
    std::vector<float> rec_text_scores(img_list.size(), 0.0f);
    // On failure the records keep the texts and scores they had.
    if (recognizer->Model_Infer(img_list, rec_texts, rec_text_scores, times) != 0) return -1;
    for (size_t i = 0; i < rec_texts.size() && i < ocr_results.size(); ++i) {
        ocr_results[i].text = rec_texts[i];
        ocr_results[i].score = rec_text_scores[i];
    }
    return 0;
}

namespace {

// The six drop tests of a crop of h rows and w columns, in order: the fixed
// floors, then the host's limits (a limit of 0 or less is none).
bool keep_crop(int h, int w, int floor_h, int floor_w, const ocr& p) {
    if (h < floor_h) return false;
    if (w < floor_w) return false;
    if (p.min_crop_h > 0 && h < p.min_crop_h) return false;
    if (p.min_crop_w > 0 && w < p.min_crop_w) return false;
    if (p.max_crop_h > 0 && h > p.max_crop_h) return false;
    if (p.max_crop_w > 0 && w > p.max_crop_w) return false;
    return true;
}

// The cut-outs of the detections, in their order, and the image each
// belongs to. With the orientation step on, the lines of an image that lies
// on its side are all turned to run down the image; otherwise only standing
// lines are (as Utility::GetRotateCropImage turns them). A detection with
// an image index outside the list gives an empty cut-out and image -1.
void cut_out_lines(const std::vector<cv::Mat>& img_list, const std::vector<OCRPredictResult>& det_result,
                   bool orient, std::vector<cv::Mat>& cuts, std::vector<int>& image_of) {
    cuts.assign(det_result.size(), cv::Mat());
    image_of.assign(det_result.size(), -1);
    std::vector<detail::CutAxes> line_axes(det_result.size());
    std::map<int, std::vector<detail::CutAxes>> axes;
    for (size_t k = 0; k < det_result.size(); ++k) {
        const OCRPredictResult& d = det_result[k];
        if (d.imgid < 0 || static_cast<size_t>(d.imgid) >= img_list.size()) continue;
        cuts[k] = detail::warp_line(img_list[d.imgid], d.box);
        image_of[k] = d.imgid;
        line_axes[k] = detail::cut_axes(d.box);
        if (!cuts[k].empty()) axes[d.imgid].push_back(line_axes[k]);
    }
    std::map<int, bool> on_side;
    for (const auto& image : axes) on_side[image.first] = orient && detail::page_on_its_side(image.second);
    for (size_t k = 0; k < cuts.size(); ++k) {
        if (image_of[k] < 0 || cuts[k].empty()) continue;
        if (!on_side[image_of[k]]) {
            if (detail::standing(cuts[k].size())) cuts[k] = detail::turn_ccw(cuts[k]);
            continue;
        }
        const int turns = detail::side_page_turns(line_axes[k]);
        if (turns == 1) cuts[k] = detail::turn_ccw(cuts[k]);
        if (turns == 2) cv::rotate(cuts[k], cuts[k], cv::ROTATE_180);
        if (turns == 3) cv::rotate(cuts[k], cuts[k], cv::ROTATE_90_CLOCKWISE);
    }
}

// Recognises the kept cut-outs into their records, choosing each line's
// orientation; -1 when a recognition pass failed.
int read_oriented(ocr& pipeline, const std::vector<cv::Mat>& crops, const std::vector<int>& image_of,
                  std::vector<double>& rec_times, std::vector<OCRPredictResult>& results) {
    const size_t n = crops.size();
    std::vector<std::string> texts(n);
    std::vector<float> scores(n, 0.0f);
    std::vector<float> paths(n, NAN);
    if (rec_times.size() < 3) rec_times.resize(3, 0.0);
    if (detail::recognise(*pipeline.recognizer, crops, texts, scores, &paths, rec_times) != 0) return -1;
    zel_log(0, "rec: %.0f = %.0f + %.0f + %.0f (ms)", rec_times[0] + rec_times[1] + rec_times[2], rec_times[0],
            rec_times[1], rec_times[2]);

    std::vector<detail::LineReading> readings(n);
    for (size_t i = 0; i < n; ++i) {
        readings[i].text = std::move(texts[i]);
        readings[i].score = scores[i];
        readings[i].path = paths[i];
    }
    if (detail::orient_lines(*pipeline.recognizer, crops, image_of, readings, rec_times) != 0) return -1;
    for (size_t i = 0; i < n && i < results.size(); ++i) {
        results[i].text = readings[i].text;
        results[i].score = readings[i].score;
    }
    return 0;
}

}  // namespace

int detail::crop_and_recognise(ocr& pipeline, const std::vector<cv::Mat>& img_list,
                               const std::vector<OCRPredictResult>& det_result, bool do_rec,
                               std::vector<double>& rec_times, std::vector<OCRPredictResult>& results) {
    int floor_w, floor_h;
    crop_floors(img_list[0].cols, floor_w, floor_h);

    const bool orient = PipelineSwitches::orientation(pipeline);
    std::vector<cv::Mat> cuts;
    std::vector<int> cut_image;
    cut_out_lines(img_list, det_result, orient, cuts, cut_image);

    std::vector<cv::Mat> img_list_crop;
    std::vector<int> image_of;
    for (size_t k = 0; k < det_result.size(); ++k) {
        if (cut_image[k] < 0) continue;
        if (!keep_crop(cuts[k].rows, cuts[k].cols, floor_h, floor_w, pipeline)) continue;
        img_list_crop.push_back(cuts[k]);
        image_of.push_back(cut_image[k]);
        results.push_back(det_result[k]);
    }
    if (!do_rec) return 0;

    const int ret = orient ? read_oriented(pipeline, img_list_crop, image_of, rec_times, results)
                           : pipeline.rec(img_list_crop, results, rec_times);
    if (ret != 0) {
        results.clear();
        return -1;
    }
    return 0;
}

std::vector<OCRPredictResult> ocr::run_batch(std::vector<cv::Mat>& img_list, bool do_det, bool do_rec,
                                             std::vector<std::vector<double>>& time_info) {
    std::vector<OCRPredictResult> ocr_result;
    detail::run_batch(*this, img_list, do_rec, time_info, ocr_result);
    return ocr_result;
}

int detail::run_batch(ocr& pipeline, std::vector<cv::Mat>& img_list, bool do_rec,
                      std::vector<std::vector<double>>& time_info, std::vector<OCRPredictResult>& results) {
    results.clear();
    std::vector<OCRPredictResult> det_result;
    std::vector<std::vector<double>> times(3, std::vector<double>(3, 0.0));
    if (img_list.empty()) return 0;

    // A failed stage ends the request: no partial results, no time entries.
    if (pipeline.det_batch(img_list, det_result, times[0]) != 0) return -1;
    if (detail::crop_and_recognise(pipeline, img_list, det_result, do_rec, times[1], results) != 0) return -1;

    float total = add_times(times, time_info);
    zel_log(0, "total: %.0f ms", total);
    return 0;
}

std::vector<OCRPredictResult> ocr::run(cv::Mat& img, bool do_det, bool do_rec,
                                       std::vector<std::vector<double>>& time_info) {
    std::vector<OCRPredictResult> ocr_result;
    std::vector<OCRPredictResult> det_result;
    std::vector<std::vector<double>> times(3, std::vector<double>(3, 0.0));

    // A failed stage ends the request with an empty list.
    if (det(img, det_result, times[0]) != 0) return ocr_result;
    // The records of a single-image request carry a classifier score of -1
    // (the other defaults are those det gives).
    for (OCRPredictResult& d : det_result) d.cls_score = -1.0f;
    // `img` as det left it: converted to three channels where it had not.
    if (detail::crop_and_recognise(*this, {img}, det_result, do_rec, times[1], ocr_result) != 0) return ocr_result;

    // Added into the caller's table, with no total line.
    add_times(times, time_info);
    return ocr_result;
}

}  // namespace OCR
