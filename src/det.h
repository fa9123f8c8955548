// The text detector: detection network, single-image and batch detection.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <MNN/Interpreter.hpp>
#include <MNN/Tensor.hpp>
#include <opencv2/core.hpp>

#include "Convert.h"
#include "postprocess_op.h"
#include "preprocess_op.h"

// File names of the detection models inside the model directory.
extern std::string box_bin;
extern std::string box_binv4;

namespace OCR {

// Detection result of one image of a batch.
struct DetResult {
    int32_t imgid;
    std::vector<std::vector<std::vector<int>>> boxes;
};

class TextDetect : public Convert {
public:
    TextDetect();
    ~TextDetect() override;

    int initModel_mnn(const std::string& model_dir, int device, int n);
    int initModel_cuda(const std::string& model_dir, int device, int n);

    // One forward pass: returns a new[] array (caller delete[]s) and sets
    // output_shape to {batch, channel, height, width}.
    float* mnn_infer(float* input, std::vector<int>& input_shape, std::vector<int>& output_shape);
    float* cuda_infer(float* input, std::vector<int>& input_shape, std::vector<int>& output_shape);

    void Model_Infer(cv::Mat& img, std::vector<std::vector<std::vector<int>>>& boxes, std::vector<double>& times);
    void Model_Infer_batch(std::vector<cv::Mat>& img_list, std::vector<DetResult>& det_results,
                           std::vector<double>& times);

    // Post-processing of one probability plane (height x width floats,
    // row-major): binarise, optionally dilate, extract and score boxes, grow
    // them, order their corners and map them to a src_rows x src_cols source
    // image. Both detection operations run it; it only reads the detector.
    std::vector<std::vector<std::vector<int>>> PostProcessPlane(const float* plane, int height, int width,
                                                                float ratio_h, float ratio_w, int padding,
                                                                int src_rows, int src_cols);

    // The batch post-processing loop: body(i) for i in [0, count) in one
    // OpenMP parallel loop with a static schedule, on the calling thread's
    // default team size. An exception thrown by an iteration is kept in that
    // iteration's slot; the first one (lowest index) is returned once every
    // iteration has finished, null when none threw.
    static std::exception_ptr RunPlaneLoop(int count, const std::function<void(int)>& body);

    MNN::Session* session = nullptr;
    std::shared_ptr<MNN::Interpreter> interpreter;
    float mean_vals[3] = {123.675f, 116.28f, 103.53f};
    float norm_vals[3] = {0.017124753f, 0.017507002f, 0.017429195f};
    double bin_thresh = 0.4;
    double box_thresh = 0.3;
    double unclip_ratio = 2.0;
    bool use_dilation = false;
    bool use_polygon_score = false;
    int32_t max_side_len = 3840;
    std::vector<float> mean = {0.485f, 0.456f, 0.406f};
    std::vector<float> scale = {1.0f / 0.229f, 1.0f / 0.224f, 1.0f / 0.225f};
    ResizeImgType0 resize_op;
    Normalize normalize_op;
    Permute permute_op;
    PermuteBatch permute_batch_op;
    PostProcessor post_processor;
};

}  // namespace OCR
