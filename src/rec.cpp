// The text-line recogniser: model and dictionary loading, one forward pass
// of the recognition network, and greedy CTC decoding of its output.
#include "rec.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

#include <opencv2/imgproc.hpp>

#include "global.h"
#include "infer_pass.h"
#include "model_load.h"
#include "rec_internal.h"
#include "utility.h"
#include "utils.h"
#include "zel_log.h"

std::string rec_bin_en = "ocrv3_en.p";
std::string rec_txt_en = "ocrv3_en.txt";
std::string rec_bin_cn = "ocrv3_cn.p";
std::string rec_binv4_cn = "ocrv4_cn.p";
std::string rec_txt_cn = "ocrv3_cn.txt";

namespace OCR {

namespace {

// The dictionary must exist and be readable before ReadDict is called:
// ReadDict ends the process on a file it cannot open, and a model directory
// handed in by the host must never do that.
int check_dict(const std::string& dict_path) {
    if (!isFileExists(dict_path)) {
        zel_log(1, "keys file not found: %s", dict_path.c_str());
        return -1;
    }
    FILE* fp = fopen(dict_path.c_str(), "r");
    if (fp == nullptr) {
        zel_log(1, "keys file cannot be opened: %s", dict_path.c_str());
        return -1;
    }
    fclose(fp);
    return 0;
}

}  // namespace

TextRec::TextRec() = default;

TextRec::~TextRec() { release_engine_model(interpreter, session); }

int TextRec::initModel_mnn(const std::string& model_dir, int device, int n) {
    const std::string model_path = model_dir + "/" + rec_binv4_cn;
    const std::string dict_path = model_dir + "/" + rec_txt_cn;

    if (!isFileExists(model_path)) {
        zel_log(1, "model file not found: %s", model_path.c_str());
        return -1;
    }
    if (check_dict(dict_path) != 0) return -1;

    const int ret = load_engine_model(model_path, interpreter, session);
    if (ret != 0) return ret;

    label_list = Utility::ReadDict(dict_path);
    zel_log(1, "dict [%s] loaded", dict_path.c_str());

    // Every class of the network must have a dictionary entry and the other
    // way round: one probe pass on a standard-sized blank line tells the
    // class count. A model that cannot run that pass is refused as well.
    std::vector<int> out_shape;
    std::string why;
    if (session == nullptr) {
        why = "no session could be created";
    } else {
        std::vector<float> probe(static_cast<size_t>(1) * 3 * rec_img_h * rec_img_w, 0.0f);
        std::vector<int> in_shape = {1, 3, rec_img_h, rec_img_w};
        float* out = nullptr;
        try {
            out = mnn_infer(probe.data(), in_shape, out_shape);
        } catch (const std::exception& e) {
            why = std::string("the probe pass failed: ") + e.what();
        }
        delete[] out;
        if (why.empty() && out == nullptr) why = "the probe pass gave no output";
    }
    if (why.empty()) {
        if (out_shape.size() != 4 || out_shape[3] != 1) {
            why = "its output is not a sequence of class scores";
        } else if (out_shape[2] != static_cast<int>(label_list.size())) {
            zel_log(1, "recognition model %s has %d classes but dictionary %s gives %d labels", model_path.c_str(),
                    out_shape[2], dict_path.c_str(), static_cast<int>(label_list.size()));
            why = "class count mismatch";
        }
    }
    if (!why.empty()) {
        zel_log(1, "recognition model %s refused: %s", model_path.c_str(), why.c_str());
        release_engine_model(interpreter, session);
        label_list.clear();
        return -1;
    }
    return 0;
}

int TextRec::initModel_cuda(const std::string& model_dir, int device, int n) {
    const std::string dict_path = model_dir + "/" + rec_txt_cn;
    if (check_dict(dict_path) != 0) return -1;
    label_list = Utility::ReadDict(dict_path);
    zel_log(1, "dict [%s] loaded", dict_path.c_str());
    return 0;
}

float* TextRec::mnn_infer(float* input, std::vector<int>& input_shape, std::vector<int>& output_shape) {
    // Without a loaded model the pass reports itself and gives no output.
    return run_forward_pass(interpreter.get(), session, input, input_shape, output_shape);
}

float* TextRec::cuda_infer(float* input, std::vector<int>& input_shape, std::vector<int>& output_shape) {
    // There is no GPU back end: the pass yields no output.
    output_shape.clear();
    return nullptr;
}

namespace detail {

namespace {
constexpr double kMinStepProbability = 1e-30;
}  // namespace

float ctc_decode(const float* scores, int steps, int classes, const std::vector<std::string>& labels,
                 std::string& text) {
    const int label_count = static_cast<int>(labels.size());
    if (scores == nullptr || classes <= 0) steps = 0;  // no scores: no step is kept
    int last_index = 0;
    float score = 0.f;
    int count = 0;
    for (int t = 0; t < steps; ++t) {
        const float* step = scores + static_cast<size_t>(t) * static_cast<size_t>(classes);
        const int argmax_idx = static_cast<int>(Utility::argmax(step, step + classes));
        const float max_value = *std::max_element(step, step + classes);
        // A class without a dictionary entry is never read.
        if (argmax_idx > 0 && argmax_idx < label_count && !(t > 0 && argmax_idx == last_index)) {
            score += max_value;
            count += 1;
            text += labels[argmax_idx];
        }
        last_index = argmax_idx;
    }
    return score / count;  // 0 / 0 is NaN when no step was kept
}

float ctc_path_logprob(const float* scores, int steps, int classes) {
    if (scores == nullptr || classes <= 0) return 0.0f;
    double sum = 0.0;
    for (int t = 0; t < steps; ++t) {
        const float* step = scores + static_cast<size_t>(t) * static_cast<size_t>(classes);
        const float best = *std::max_element(step, step + classes);
        // A step whose best class has no probability left would end the
        // sum at minus infinity; it counts as a very unlikely step instead.
        sum += std::log(std::max(static_cast<double>(best), kMinStepProbability));
    }
    return static_cast<float>(sum);
}

}  // namespace detail

int detail::recognise(TextRec& rec, const std::vector<cv::Mat>& img_list, std::vector<std::string>& rec_texts,
                      std::vector<float>& rec_text_scores, std::vector<float>* path_scores,
                      std::vector<double>& times) {
    using clock = std::chrono::steady_clock;
    std::chrono::duration<float> preprocess_diff = clock::duration::zero();
    std::chrono::duration<float> inference_diff = clock::duration::zero();
    std::chrono::duration<float> postprocess_diff = clock::duration::zero();

    const int img_num = static_cast<int>(img_list.size());
    const bool use_cuda = g_use_cuda == 1;

    if (times.size() < 3) times.resize(3, 0.0);

    // Crops without pixels (or of a channel layout the network cannot take)
    // are left out and keep the entries the caller filled in.
    std::vector<float> width_list;
    std::vector<int> positions;
    width_list.reserve(img_num);
    positions.reserve(img_num);
    for (int i = 0; i < img_num; ++i) {
        const cv::Mat& crop = img_list[i];
        if (crop.empty() || crop.rows <= 0 || crop.cols <= 0) continue;
        if (crop.channels() != 1 && crop.channels() != 3 && crop.channels() != 4) continue;
        width_list.push_back(static_cast<float>(crop.cols) / crop.rows);
        positions.push_back(i);
    }
    const int valid_num = static_cast<int>(positions.size());
    std::vector<int> order = Utility::argsort(width_list);  // into positions / width_list
    const int batch_num = use_cuda ? std::max(valid_num, 1) : 1;

    for (int beg = 0; beg < valid_num; beg += batch_num) {
        auto preprocess_start = clock::now();
        const int end = std::min(valid_num, beg + batch_num);
        const int n = end - beg;
        const int imgH = rec.rec_image_shape[1];
        const int imgW = rec.rec_image_shape[2];
        float max_wh_ratio = static_cast<float>(imgW * 1.0 / imgH);
        max_wh_ratio = std::max(max_wh_ratio, width_list[order[end - 1]]);

        int batch_width = imgW;
        std::vector<cv::Mat> norm_img_batch;
        norm_img_batch.reserve(n);
        for (int k = beg; k < end; ++k) {
            cv::Mat srcimg = img_list[positions[order[k]]];
            // The network takes three channels; grey and BGRA crops are
            // brought to BGR so the input buffer is never overrun.
            if (srcimg.channels() == 1) {
                cv::cvtColor(srcimg, srcimg, cv::COLOR_GRAY2BGR);
            } else if (srcimg.channels() == 4) {
                cv::cvtColor(srcimg, srcimg, cv::COLOR_BGRA2BGR);
            }
            cv::Mat resize_img;
            rec.resize_op.Run(srcimg, resize_img, max_wh_ratio, rec.rec_image_shape);
            cv::GaussianBlur(resize_img, resize_img, cv::Size(3, 3), 1.0, 0.0, cv::BORDER_DEFAULT);
            rec.normalize_op.Run(resize_img, rec.mean, rec.scale, true);
            batch_width = std::max(resize_img.cols, batch_width);
            norm_img_batch.push_back(resize_img);
        }
        preprocess_diff += clock::now() - preprocess_start;

        // Both arrays are owned here, so an exception of the engine or of
        // the decoding cannot leak them.
        std::unique_ptr<float[]> input(new float[static_cast<size_t>(n) * 3 * imgH * batch_width]);
        rec.permute_batch_op.Run(norm_img_batch, input.get());
        std::vector<int> input_shape = {n, 3, imgH, batch_width};

        auto inference_start = clock::now();
        std::vector<int> predict_shape;
        std::unique_ptr<float[]> predict_batch(use_cuda ? rec.cuda_infer(input.get(), input_shape, predict_shape)
                                                        : rec.mnn_infer(input.get(), input_shape, predict_shape));
        inference_diff += clock::now() - inference_start;

        // The CPU road must give a sequence for every crop of the batch; a
        // pass that gives less failed, and its crops must not pass for
        // crops without text. The GPU road has no back end and gives no
        // output by design: its crops keep the caller's entries.
        const bool usable = predict_batch != nullptr && predict_shape.size() == 4 && predict_shape[0] >= n &&
                            predict_shape[1] >= 0 && predict_shape[2] >= 0 && predict_shape[3] >= 1;
        if (!use_cuda && !usable) {
            // The CPU road runs one crop per batch: name it.
            const int pos = positions[order[beg]];
            zel_log(1, "recognition failed: no output for text line %d (%d x %d)", pos, img_list[pos].cols,
                    img_list[pos].rows);
            return -1;
        }

        auto postprocess_start = clock::now();
        // The array holds N x T x K x W values; a sequence of T steps of K
        // scores is read from it only when the shape says W >= 1.
        if (usable) {
            // Never more sequences than the batch has crops.
            const int seq_num = std::min(predict_shape[0], n);
            const int steps = predict_shape[1];
            const int classes = predict_shape[2];
            for (int m = 0; m < seq_num; ++m) {
                const float* seq =
                    predict_batch.get() + static_cast<size_t>(m) * static_cast<size_t>(std::max(steps, 0)) *
                                              static_cast<size_t>(std::max(classes, 0));
                std::string str_res;
                const float score = ctc_decode(seq, steps, classes, rec.label_list, str_res);
                const size_t pos = static_cast<size_t>(positions[order[beg + m]]);
                if (path_scores != nullptr && pos < path_scores->size())
                    (*path_scores)[pos] = ctc_path_logprob(seq, steps, classes);
                if (std::isnan(score)) continue;
                if (pos < rec_texts.size()) rec_texts[pos] = str_res;
                if (pos < rec_text_scores.size()) rec_text_scores[pos] = score;
            }
        }
        input.reset();
        predict_batch.reset();
        postprocess_diff += clock::now() - postprocess_start;
    }

    times[0] = std::max(static_cast<double>(preprocess_diff.count() * 1000.0f), 0.0);
    times[1] = std::max(static_cast<double>(inference_diff.count() * 1000.0f), 0.0);
    times[2] = std::max(static_cast<double>(postprocess_diff.count() * 1000.0f), 0.0);
    return 0;
}

int TextRec::Model_Infer(std::vector<cv::Mat> img_list, std::vector<std::string>& rec_texts,
                         std::vector<float>& rec_text_scores, std::vector<double>& times) {
    if (times.size() < 3) times.resize(3, 0.0);
    const int ret = detail::recognise(*this, img_list, rec_texts, rec_text_scores, nullptr, times);
    if (ret != 0) return ret;
    zel_log(0, "rec: %.0f = %.0f + %.0f + %.0f (ms)", times[0] + times[1] + times[2], times[0], times[1], times[2]);
    return 0;
}

}  // namespace OCR
