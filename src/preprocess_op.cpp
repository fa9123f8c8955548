// Image operators that prepare images for the detection and recognition
// networks.
#include "preprocess_op.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include <opencv2/imgproc.hpp>

namespace OCR {

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
    int imgH = rec_image_shape[1];
    int imgW = int(float(imgH) * wh_ratio);

    float ratio = float(img.cols) / float(img.rows);
    int resize_w;
    if (ceilf(float(imgH) * ratio) > float(imgW)) {
        resize_w = imgW;
    } else {
        resize_w = int(ceilf(float(imgH) * ratio));
    }

    cv::resize(img, resize_img, cv::Size(resize_w, imgH), 0.f, 0.f, cv::INTER_LINEAR);
    cv::copyMakeBorder(resize_img, resize_img, 0, 0, 0, int(imgW - resize_img.cols), cv::BORDER_CONSTANT,
                       cv::Scalar(127, 127, 127, 0));
}

void ClsResizeImg::Run(const cv::Mat& img, cv::Mat& resize_img, const std::vector<int>& rec_image_shape) {
    int imgH = rec_image_shape[1];
    int imgW = rec_image_shape[2];

    float ratio = float(img.cols) / float(img.rows);
    int resize_w;
    if (ceilf(float(imgH) * ratio) > float(imgW)) {
        resize_w = imgW;
    } else {
        resize_w = int(ceilf(float(imgH) * ratio));
    }

    cv::resize(img, resize_img, cv::Size(resize_w, imgH), 0.f, 0.f, cv::INTER_LINEAR);
    if (resize_w < imgW) {
        cv::copyMakeBorder(resize_img, resize_img, 0, 0, 0, imgW - resize_w, cv::BORDER_CONSTANT,
                           cv::Scalar(0, 0, 0, 0));
    }
}

}  // namespace OCR
