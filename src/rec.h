// The text-line recogniser: recognition network, dictionary and greedy CTC
// decoding.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <MNN/Interpreter.hpp>
#include <MNN/Tensor.hpp>
#include <opencv2/core.hpp>

#include "Convert.h"
#include "preprocess_op.h"

// File names inside the model directory.
extern std::string rec_bin_en;
extern std::string rec_txt_en;
extern std::string rec_bin_cn;
extern std::string rec_binv4_cn;
extern std::string rec_txt_cn;

namespace OCR {

class TextRec : public Convert {
public:
    TextRec();
    ~TextRec() override;

    int initModel_mnn(const std::string& model_dir, int device, int n);
    int initModel_cuda(const std::string& model_dir, int device, int n);

    float* mnn_infer(float* input, std::vector<int>& input_shape, std::vector<int>& output_shape);
    float* cuda_infer(float* input, std::vector<int>& input_shape, std::vector<int>& output_shape);

    // Recognises every crop; entry i of the two lists receives crop i's text
    // and score (left as handed in when nothing was decoded). Returns 0, or
    // -1 after a level-1 line when a forward pass gave no usable output (the
    // lists are then not to be used). On the GPU road, which has no back
    // end, no crop is decoded and the result is 0.
    int Model_Infer(std::vector<cv::Mat> img_list, std::vector<std::string>& rec_texts,
                    std::vector<float>& rec_text_scores, std::vector<double>& times);

    std::vector<std::string> label_list;
    std::string label_path = "../models/txt/rec_keys.txt";
    int32_t rec_batch_num = 1;
    int32_t rec_img_h = 48;
    int32_t rec_img_w = 320;
    std::vector<int> rec_image_shape = {3, rec_img_h, rec_img_w};
    std::vector<float> mean = {0.5f, 0.5f, 0.5f};
    std::vector<float> scale = {2.0f, 2.0f, 2.0f};
    CrnnResizeImg resize_op;
    Normalize normalize_op;
    PermuteBatch permute_batch_op;
    int32_t spare_value = 48;
    MNN::Session* session = nullptr;
    std::shared_ptr<MNN::Interpreter> interpreter;
    float mean_vals[3] = {127.5f, 127.5f, 127.5f};
    float norm_vals[3] = {0.007843138f, 0.007843138f, 0.007843138f};
    std::vector<std::string> spare_labels;
};

}  // namespace OCR
