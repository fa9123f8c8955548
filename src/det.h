// The text detector: detection network, single-image and batch detection.
#pragma once

#include <cstdint>
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

    // Detection of one image / of a list of equally sized images. Both
    // return 0, or -1 after a level-1 line when the forward pass gave no
    // usable output (the boxes found so far are then not to be used). The
    // batch form fails so before it preprocesses anything when the whole
    // batch is more input than the engine takes. On the GPU road, which has
    // no back end, the batch form finds no boxes and returns 0.
    int Model_Infer(cv::Mat& img, std::vector<std::vector<std::vector<int>>>& boxes, std::vector<double>& times);
    int Model_Infer_batch(std::vector<cv::Mat>& img_list, std::vector<DetResult>& det_results,
                          std::vector<double>& times);

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
