// Image operators that prepare images for the detection and recognition
// networks.
#include "preprocess_op.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include <opencv2/imgproc.hpp>

namespace OCR {

namespace {

// A float that is to become an int by truncation: refused with the image
// library's exception when it is not a number or does not fit an int (no
// image can have such a side).
int checked_int(float v) {
    CV_Assert(v > -2147483648.0f && v < 2147483648.0f);
    return static_cast<int>(v);
}

// Resizes `img` to height imgH and its own aspect ratio's width,
// ceilf(imgH * cols / rows), capped at imgW, into `resize_img`; returns that
// width. An empty image is refused (it has no aspect ratio).
int resize_to_height(const cv::Mat& img, cv::Mat& resize_img, int imgH, int imgW) {
    CV_Assert(!img.empty());
    const float ratio = float(img.cols) / float(img.rows);
    const float fitted = ceilf(float(imgH) * ratio);
    const int resize_w = fitted > float(imgW) ? imgW : checked_int(fitted);
    cv::resize(img, resize_img, cv::Size(resize_w, imgH), 0.f, 0.f, cv::INTER_LINEAR);
    return resize_w;
}

// The planes are written through float headers over the caller's buffer; an
// image of another depth would make OpenCV reallocate the header and leave
// the buffer unwritten, so it is refused.
void require_float(const cv::Mat& im) { CV_Assert(im.depth() == CV_32F); }

}  // namespace

void ResizeImgType0::Run(const cv::Mat& img, cv::Mat& resize_img, int max_size_len, float& ratio_h, float& ratio_w,
                         int& padding) {
    padding = 20;
    // Grey border on every side so that text touching the image edge still
    // gets a background margin in the network input.
    cv::Mat padded;
    cv::copyMakeBorder(img, padded, padding, padding, padding, padding, cv::BORDER_CONSTANT | cv::BORDER_ISOLATED,
                       cv::Scalar(127, 127, 127, 0));

    int w = padded.cols;
    int h = padded.rows;

    float ratio = 1.f;
    int max_wh = w >= h ? w : h;
    if (max_wh > max_size_len) {
        if (h > w) {
            ratio = float(max_size_len) / float(h);
        } else {
            ratio = float(max_size_len) / float(w);
        }
    }

    int resize_h = int(float(h) * ratio);
    int resize_w = int(float(w) * ratio);

    // The network downsamples by 32: both sides become multiples of 32, at
    // least 32.
    resize_h = std::max(int(roundf(float(resize_h) / 32.0f) * 32.0f), 32);
    resize_w = std::max(int(roundf(float(resize_w) / 32.0f) * 32.0f), 32);

    cv::resize(padded, resize_img, cv::Size(resize_w, resize_h), 0, 0, cv::INTER_LINEAR);

    // Ratios relative to the padded image, not to the input.
    ratio_h = float(resize_h) / float(h);
    ratio_w = float(resize_w) / float(w);
}

void Normalize::Run(cv::Mat& im, const std::vector<float>& mean, const std::vector<float>& scale, const bool is_scale) {
    double e = 1.0;
    if (is_scale) {
        e /= 255.0;
    }
    // One mean and one scale per channel, or channels would read past them.
    CV_Assert(mean.size() >= static_cast<size_t>(im.channels()) && scale.size() >= static_cast<size_t>(im.channels()));
    // convertTo changes the depth only; the channel count stays the image's.
    im.convertTo(im, CV_32FC3, e);
    std::vector<cv::Mat> channels(static_cast<size_t>(im.channels()));
    cv::split(im, channels);
    for (size_t i = 0; i < channels.size(); i++) {
        channels[i].convertTo(channels[i], CV_32FC1, 1.0 * scale[i], (0.0 - mean[i]) * scale[i]);
    }
    cv::merge(channels, im);
}

void Permute::Run(const cv::Mat& im, float* data) {
    require_float(im);
    int rh = im.rows;
    int rw = im.cols;
    int rc = im.channels();
    const size_t plane = size_t(rh) * size_t(rw);
    for (int i = 0; i < rc; ++i) {
        // Header over the caller's buffer: the channel is written in place.
        cv::Mat dst(rh, rw, CV_32FC1, data + size_t(i) * plane);
        cv::extractChannel(im, dst, i);
    }
}

void PermuteBatch::Run(const std::vector<cv::Mat>& imgs, float* data) {
    for (size_t j = 0; j < imgs.size(); j++) {
        require_float(imgs[j]);
        int rh = imgs[j].rows;
        int rw = imgs[j].cols;
        int rc = imgs[j].channels();
        const size_t plane = size_t(rh) * size_t(rw);
        for (int i = 0; i < rc; ++i) {
            cv::Mat dst(rh, rw, CV_32FC1, data + (j * size_t(rc) + size_t(i)) * plane);
            cv::extractChannel(imgs[j], dst, i);
        }
    }
}

void CrnnResizeImg::Run(const cv::Mat& img, cv::Mat& resize_img, float wh_ratio,
                        const std::vector<int>& rec_image_shape) {
    CV_Assert(rec_image_shape.size() >= 2);
    int imgH = rec_image_shape[1];
    int imgW = checked_int(float(imgH) * wh_ratio);

    resize_to_height(img, resize_img, imgH, imgW);
    cv::copyMakeBorder(resize_img, resize_img, 0, 0, 0, int(imgW - resize_img.cols), cv::BORDER_CONSTANT,
                       cv::Scalar(127, 127, 127, 0));
}

void ClsResizeImg::Run(const cv::Mat& img, cv::Mat& resize_img, const std::vector<int>& rec_image_shape) {
    CV_Assert(rec_image_shape.size() >= 3);
    int imgH = rec_image_shape[1];
    int imgW = rec_image_shape[2];

    const int resize_w = resize_to_height(img, resize_img, imgH, imgW);
    if (resize_w < imgW) {
        cv::copyMakeBorder(resize_img, resize_img, 0, 0, 0, imgW - resize_w, cv::BORDER_CONSTANT,
                           cv::Scalar(0, 0, 0, 0));
    }
}

}  // namespace OCR
