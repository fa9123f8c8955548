// Image operators that prepare images for the detection and recognition
// networks: resize/pad, normalise, and planar (CHW / NCHW) packing.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace OCR {

// Pads by 20 pixels of grey and resizes so both sides are multiples of 32,
// the longer side limited to max_size_len.
class ResizeImgType0 {
public:
    virtual void Run(const cv::Mat& img, cv::Mat& resize_img, int max_size_len, float& ratio_h, float& ratio_w,
                     int& padding);
};

// In place: float conversion, then (x * factor - mean[i]) * scale[i] per channel.
class Normalize {
public:
    virtual void Run(cv::Mat& im, const std::vector<float>& mean, const std::vector<float>& scale,
                     const bool is_scale = true);
};

// One float image into a CHW buffer.
class Permute {
public:
    virtual void Run(const cv::Mat& im, float* data);
};

// A list of equally sized float images into an NCHW buffer.
class PermuteBatch {
public:
    virtual void Run(const std::vector<cv::Mat>& imgs, float* data);
};

// Text-line crop to height rec_image_shape[1], grey-padded on the right to
// int(height * wh_ratio) columns.
class CrnnResizeImg {
public:
    virtual void Run(const cv::Mat& img, cv::Mat& resize_img, float wh_ratio,
                     const std::vector<int>& rec_image_shape = {3, 48, 320});
};

// Text-line crop to a fixed height and width, black-padded on the right.
class ClsResizeImg {
public:
    virtual void Run(const cv::Mat& img, cv::Mat& resize_img, const std::vector<int>& rec_image_shape = {3, 48, 192});
};

}  // namespace OCR
