// The text detector: detection network, single-image and batch detection.
#include "det.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <omp.h>
#include <opencv2/imgproc.hpp>

#include "det_internal.h"
#include "global.h"
#include "infer_pass.h"
#include "model_load.h"
#include "utils.h"
#include "zel_log.h"

std::string box_bin = "boxv3.p";
std::string box_binv4 = "boxv4.p";

namespace OCR {

namespace {

using Clock = std::chrono::steady_clock;

// Stage time in seconds, single precision.
float seconds_between(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<float>(b - a).count(); }

// Probability to 8 bits: truncated to an int, then its low 8 bits, so 0..1
// maps to 0..255. A value that does not fit an int (NaN included) counts as
// background rather than being converted.
inline unsigned char prob_to_byte(float p) {
    float v = p * 255.0f;
    if (!(v > -2147483648.0f && v < 2147483648.0f)) {
        return 0;
    }
    return static_cast<unsigned char>(static_cast<int>(v));
}

// The detector's input contract: the network input is packed as three
// planes per image, so only non-empty 8-bit three-channel images can be
// preprocessed and packed without reading or writing outside the arrays.
void require_bgr8(const cv::Mat& img, const char* where) {
    if (img.empty()) {
        throw std::invalid_argument(std::string(where) + ": empty image");
    }
    if (img.type() != CV_8UC3) {
        throw std::invalid_argument(std::string(where) + ": expected an 8-bit 3-channel image, got depth " +
                                    std::to_string(img.depth()) + " with " + std::to_string(img.channels()) +
                                    " channel(s)");
    }
}

// Plane rows and columns of an inference output, or false when the output
// holds no plane to post-process.
bool output_planes(const float* out, const std::vector<int>& shape, int& planes, int& h, int& w) {
    planes = h = w = 0;
    if (out == nullptr || shape.size() < 4) {
        return false;
    }
    if (shape[0] <= 0 || shape[1] <= 0 || shape[2] <= 0 || shape[3] <= 0) {
        return false;
    }
    planes = shape[0];
    h = shape[2];
    w = shape[3];
    return true;
}

}  // namespace

TextDetect::TextDetect() = default;

TextDetect::~TextDetect() { release_engine_model(interpreter, session); }

int TextDetect::initModel_mnn(const std::string& model_dir, int device, int n) {
    std::string model_name = model_dir + "/" + box_bin;
    if (!isFileExists(model_name)) {
        zel_log(1, "Model box file not found: %s", model_name.c_str());
        return -1;
    }
    return load_engine_model(model_name, interpreter, session);
}

int TextDetect::initModel_cuda(const std::string& model_dir, int device, int n) { return 0; }

float* TextDetect::mnn_infer(float* input, std::vector<int>& input_shape, std::vector<int>& output_shape) {
    return run_forward_pass(interpreter.get(), session, input, input_shape, output_shape);
}

float* TextDetect::cuda_infer(float* input, std::vector<int>& input_shape, std::vector<int>& output_shape) {
    return nullptr;
}

namespace detail {

std::vector<std::vector<std::vector<int>>> post_process_plane(const TextDetect& det, const float* plane, int height,
                                                              int width, float ratio_h, float ratio_w, int padding,
                                                              int src_rows, int src_cols) {
    if (plane == nullptr || height <= 0 || width <= 0) {
        return {};
    }
    const size_t n = static_cast<size_t>(height) * static_cast<size_t>(width);

    // The probability map is a read-only view of the plane itself (box
    // extraction only reads it); only the 8-bit map is materialised, and it
    // is thresholded in place. Fewer fresh pages per plane keeps the
    // four-thread loop from contending on page faults.
    std::vector<unsigned char> cbuf(n);
    for (size_t i = 0; i < n; i++) {
        cbuf[i] = prob_to_byte(plane[i]);
    }

    cv::Mat cbuf_map(height, width, CV_8UC1, cbuf.data());
    cv::Mat pred_map(height, width, CV_32FC1, const_cast<float*>(plane));

    const double threshold = det.bin_thresh * 255.0;
    const double maxvalue = 255.0;
    cv::Mat bit_map = cbuf_map;
    cv::threshold(cbuf_map, bit_map, threshold, maxvalue, cv::THRESH_BINARY);
    if (det.use_dilation) {
        cv::Mat dila_ele = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2, 2));
        cv::dilate(bit_map, bit_map, dila_ele, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
                   cv::morphologyDefaultBorderValue());
    }

    // The box post-processor holds no state, so a copy of the detector's
    // behaves exactly as the detector's own.
    PostProcessor post_processor = det.post_processor;
    auto boxes = post_processor.BoxesFromBitmap(pred_map, bit_map, static_cast<float>(det.box_thresh),
                                                static_cast<float>(det.unclip_ratio), det.use_polygon_score);
    return post_processor.FilterTagDetRes(boxes, ratio_h, ratio_w, padding, src_rows, src_cols);
}

std::exception_ptr run_plane_loop(int count, const std::function<void(int)>& body) {
    if (count <= 0) {
        return nullptr;
    }
    // An exception must not leave an OpenMP region (it would end the
    // process): each iteration parks its own in its slot.
    std::vector<std::exception_ptr> errors(static_cast<size_t>(count));
#pragma omp parallel for schedule(static)
    for (int i = 0; i < count; i++) {
        try {
            body(i);
        } catch (...) {
            errors[static_cast<size_t>(i)] = std::current_exception();
        }
    }
    for (auto& e : errors) {
        if (e) {
            return e;
        }
    }
    return nullptr;
}

}  // namespace detail

int TextDetect::Model_Infer(cv::Mat& img, std::vector<std::vector<std::vector<int>>>& boxes,
                            std::vector<double>& times) {
    require_bgr8(img, "TextDetect::Model_Infer");
    if (times.size() < 3) {
        times.resize(3, 0.0);
    }

    cv::Mat srcimg;
    img.copyTo(srcimg);

    auto preprocess_start = Clock::now();
    cv::Mat resize_img;
    float ratio_h = 0.f;
    float ratio_w = 0.f;
    int padding = 0;
    resize_op.Run(img, resize_img, max_side_len, ratio_h, ratio_w, padding);
    normalize_op.Run(resize_img, mean, scale, true);
    auto preprocess_end = Clock::now();

    std::unique_ptr<float[]> input(new float[static_cast<size_t>(resize_img.rows) * 3 * resize_img.cols]);
    permute_op.Run(resize_img, input.get());

    auto inference_start = Clock::now();
    std::vector<int> input_shape = {1, 3, resize_img.rows, resize_img.cols};
    std::vector<int> output_shape;
    std::unique_ptr<float[]> output(mnn_infer(input.get(), input_shape, output_shape));
    auto inference_end = Clock::now();
    auto postprocess_start = Clock::now();

    int planes = 0, h = 0, w = 0;
    if (!output_planes(output.get(), output_shape, planes, h, w)) {
        // No probability map: a failure, not an image without text.
        boxes.clear();
        zel_log(1, "detection failed: no output for an image of %d x %d", srcimg.cols, srcimg.rows);
        return -1;
    }
    boxes = detail::post_process_plane(*this, output.get(), h, w, ratio_h, ratio_w, padding, srcimg.rows, srcimg.cols);
    auto postprocess_end = Clock::now();

    times[0] = static_cast<double>(seconds_between(preprocess_start, preprocess_end) * 1000.0f);
    times[1] = static_cast<double>(seconds_between(inference_start, inference_end) * 1000.0f);
    times[2] = static_cast<double>(seconds_between(postprocess_start, postprocess_end) * 1000.0f);
    return 0;
}

int TextDetect::Model_Infer_batch(std::vector<cv::Mat>& img_list, std::vector<DetResult>& det_results,
                                  std::vector<double>& times) {
    float preprocess_diff = 0.0f;
    float inference_diff = 0.0f;
    float postprocess_diff = 0.0f;

    if (img_list.empty()) {
        return 0;
    }

    // Checked before anything is allocated or changed: every image must be a
    // non-empty 8-bit 3-channel image (the input array holds three planes per
    // image) of image 0's size (all images share one packed layout). Such an
    // input is refused with std::invalid_argument and the caller's lists keep
    // their contents.
    for (const auto& img : img_list) {
        require_bgr8(img, "TextDetect::Model_Infer_batch");
        if (img.size() != img_list[0].size()) {
            throw std::invalid_argument("TextDetect::Model_Infer_batch: images of differing size in one batch");
        }
    }
    if (times.size() < 3) {
        times.resize(3, 0.0);
    }

    det_results.clear();
    const int img_num = static_cast<int>(img_list.size());
    const int width = img_list[0].cols;
    const int height = img_list[0].rows;
    int padding = 0;
    float ratio_h = 0.0f;
    float ratio_w = 0.0f;
    det_results.resize(static_cast<size_t>(img_num));
    // Every image keeps its position, whether or not its plane is processed.
    for (int i = 0; i < img_num; i++) {
        det_results[static_cast<size_t>(i)].imgid = i;
    }

    const int batch_num = img_num;
    const bool use_cuda = g_use_cuda == 1;
    auto log_no_output = [&] {
        zel_log(1, "detection failed: no output for a batch of %d image(s) of %d x %d", img_num, width, height);
    };

    // Preprocessing.
    auto t0 = Clock::now();
    std::vector<cv::Mat> input_list;
    input_list.reserve(static_cast<size_t>(batch_num));
    for (int j = 0; j < batch_num; j++) {
        // A fresh matrix per image: each list entry owns its own pixels.
        cv::Mat resize_img;
        resize_op.Run(img_list[static_cast<size_t>(j)], resize_img, max_side_len, ratio_h, ratio_w, padding);
        // The images share one size, so the first one gives the size of the
        // whole network input: a batch the engine would refuse for its size
        // fails here, before gigabytes of float planes are made for it.
        if (j == 0 && !use_cuda && !engine_takes_input_size({batch_num, 3, resize_img.rows, resize_img.cols})) {
            log_no_output();
            return -1;
        }
        normalize_op.Run(resize_img, mean, scale, true);
        input_list.push_back(resize_img);
    }
    const int input_height = input_list.back().rows;
    const int input_width = input_list.back().cols;
    std::vector<int> input_shape = {batch_num, 3, input_height, input_width};
    std::unique_ptr<float[]> input(
        new float[static_cast<size_t>(batch_num) * 3 * static_cast<size_t>(input_height) * input_width]);
    auto t1 = Clock::now();
    preprocess_diff += seconds_between(t0, t1);

    // Packing (in no stage time).
    permute_batch_op.Run(input_list, input.get());

    // Inference.
    t0 = Clock::now();
    std::vector<int> output_shape;
    float* raw = use_cuda ? cuda_infer(input.get(), input_shape, output_shape)
                          : mnn_infer(input.get(), input_shape, output_shape);
    std::unique_ptr<float[]> outBlob(raw);
    t1 = Clock::now();
    inference_diff += seconds_between(t0, t1);

    // Post-processing.
    t0 = Clock::now();
    int out_planes = 0, H = 0, W = 0;
    int planes = 0;
    if (output_planes(outBlob.get(), output_shape, out_planes, H, W)) {
        // Only planes that both exist in the output and have an image.
        planes = std::min(out_planes, img_num);
    }
    // The CPU road must give one plane per image: anything less is a failed
    // pass, which must not pass for images without text. The GPU road has
    // no back end and gives no output by design: no boxes.
    if (!use_cuda && planes != img_num) {
        if (outBlob == nullptr) {
            log_no_output();
        } else {
            zel_log(1, "detection failed: the output holds %d plane(s) for %d image(s)", out_planes, img_num);
        }
        return -1;
    }
    const size_t plane_size = static_cast<size_t>(H) * static_cast<size_t>(W);
    const float* out = outBlob.get();

    omp_set_num_threads(4);
    std::exception_ptr error = detail::run_plane_loop(planes, [&](int i) {
        auto boxes = detail::post_process_plane(*this, out + static_cast<size_t>(i) * plane_size, H, W, ratio_h,
                                                ratio_w, padding, height, width);
        DetResult& res = det_results[static_cast<size_t>(i)];
        res.boxes = std::move(boxes);
        res.imgid = i;
    });

    input.reset();
    outBlob.reset();
    t1 = Clock::now();
    postprocess_diff += seconds_between(t0, t1);

    if (error) {
        std::rethrow_exception(error);
    }

    times[0] = std::max(static_cast<double>(preprocess_diff * 1000.0f), 0.0);
    times[1] = std::max(static_cast<double>(inference_diff * 1000.0f), 0.0);
    times[2] = std::max(static_cast<double>(postprocess_diff * 1000.0f), 0.0);
    zel_log(0, "det: %.0f = %.0f + %.0f + %.0f (ms)", (times[0] + times[1]) + times[2], times[0], times[1],
            times[2]);
    return 0;
}

}  // namespace OCR
