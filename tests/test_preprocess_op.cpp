// Preprocessing operators: detector resize, normalisation, planar packing,
// recogniser and classifier resizes.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include <opencv2/core.hpp>

#include "preprocess_op.h"

namespace {

struct ResizeCase {
    int cols, rows;           // input size
    int out_cols, out_rows;   // expected resize_img size
};

class ResizeImgType0Sizes : public ::testing::TestWithParam<ResizeCase> {};

TEST_P(ResizeImgType0Sizes, PadsRoundsToMultiplesOf32AndReportsRatiosOfThePaddedImage) {
    const ResizeCase c = GetParam();
    cv::Mat img(c.rows, c.cols, CV_8UC3, cv::Scalar(0, 0, 0));
    cv::Mat out;
    float ratio_h = 0.f, ratio_w = 0.f;
    int padding = 0;
    OCR::ResizeImgType0().Run(img, out, 3840, ratio_h, ratio_w, padding);

    EXPECT_EQ(padding, 20);
    EXPECT_EQ(out.cols, c.out_cols);
    EXPECT_EQ(out.rows, c.out_rows);
    EXPECT_EQ(out.type(), CV_8UC3);
    EXPECT_FLOAT_EQ(ratio_w, float(c.out_cols) / float(c.cols + 40));
    EXPECT_FLOAT_EQ(ratio_h, float(c.out_rows) / float(c.rows + 40));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ResizeImgType0Sizes,
    ::testing::Values(ResizeCase{640, 480, 672, 512},      // 680 x 520 padded
                      ResizeCase{1920, 1080, 1952, 1120},  // 1960/32 = 61.25 -> 61
                      ResizeCase{4000, 3000, 3840, 2880},  // limited: 3840/4040, then 2889 -> 2880
                      ResizeCase{4000, 4000, 3840, 3840},  // square above the limit: limit / w
                      ResizeCase{10, 10, 64, 64},          // 50/32 = 1.5625 -> 2
                      ResizeCase{40, 24, 96, 64},          // 80/32 = 2.5 -> 3 (halves away from zero), 64 -> 2
                      ResizeCase{1, 1, 32, 32},            // 41 -> 32
                      ResizeCase{100000, 10, 3840, 32}));  // scaled height 1 -> 0 -> floor 32

TEST(ResizeImgType0, ExactRatiosAndGreyBorderWithoutTouchingTheInput) {
    cv::Mat img(480, 640, CV_8UC3, cv::Scalar(0, 0, 0));
    cv::Mat out;
    float ratio_h = 0.f, ratio_w = 0.f;
    int padding = 0;
    OCR::ResizeImgType0().Run(img, out, 3840, ratio_h, ratio_w, padding);
    EXPECT_NEAR(ratio_h, 0.98461538f, 1e-7);
    EXPECT_NEAR(ratio_w, 0.98823529f, 1e-7);
    // Corners lie in the resized 20-pixel border: grey 127 on every channel.
    EXPECT_EQ(out.at<cv::Vec3b>(0, 0), cv::Vec3b(127, 127, 127));
    EXPECT_EQ(out.at<cv::Vec3b>(out.rows - 1, out.cols - 1), cv::Vec3b(127, 127, 127));
    // Centre is the (black) image.
    EXPECT_EQ(out.at<cv::Vec3b>(out.rows / 2, out.cols / 2), cv::Vec3b(0, 0, 0));
    EXPECT_EQ(cv::countNonZero(img.reshape(1)), 0);

    cv::Mat hd(1080, 1920, CV_8UC3, cv::Scalar(0, 0, 0));
    OCR::ResizeImgType0().Run(hd, out, 3840, ratio_h, ratio_w, padding);
    EXPECT_EQ(ratio_h, 1.0f);
}

TEST(ResizeImgType0, BorderOfAFourChannelImageHasZeroAlpha) {
    cv::Mat img(10, 10, CV_8UC4, cv::Scalar(9, 9, 9, 255));
    cv::Mat out;
    float ratio_h = 0.f, ratio_w = 0.f;
    int padding = 0;
    OCR::ResizeImgType0().Run(img, out, 3840, ratio_h, ratio_w, padding);
    EXPECT_EQ(out.at<cv::Vec4b>(0, 0), cv::Vec4b(127, 127, 127, 0));
}

TEST(Normalize, ScalesThenSubtractsMeanAndMultipliesPerChannelWithoutReordering) {
    cv::Mat img(1, 3, CV_8UC3);
    img.at<cv::Vec3b>(0, 0) = cv::Vec3b(0, 0, 0);
    img.at<cv::Vec3b>(0, 1) = cv::Vec3b(255, 255, 255);
    img.at<cv::Vec3b>(0, 2) = cv::Vec3b(127, 127, 127);
    OCR::Normalize().Run(img, {0.5f, 0.5f, 0.5f}, {2.0f, 2.0f, 2.0f}, true);
    ASSERT_EQ(img.type(), CV_32FC3);
    EXPECT_FLOAT_EQ(img.at<cv::Vec3f>(0, 0)[0], -1.0f);
    EXPECT_FLOAT_EQ(img.at<cv::Vec3f>(0, 1)[1], 1.0f);
    EXPECT_NEAR(img.at<cv::Vec3f>(0, 2)[2], -0.0039216f, 1e-6);

    // Distinct per-channel constants land on their own stored channel.
    cv::Mat px(1, 1, CV_8UC3, cv::Scalar(0, 255, 51));
    OCR::Normalize().Run(px, {0.0f, 0.5f, 1.0f}, {1.0f, 2.0f, 3.0f}, true);
    const cv::Vec3f v = px.at<cv::Vec3f>(0, 0);
    EXPECT_FLOAT_EQ(v[0], 0.0f);
    EXPECT_FLOAT_EQ(v[1], 1.0f);
    EXPECT_NEAR(v[2], (0.2f - 1.0f) * 3.0f, 1e-6);

    // Without the scale flag the raw value is used.
    cv::Mat raw(1, 1, CV_8UC3, cv::Scalar(10, 20, 30));
    OCR::Normalize().Run(raw, {1.0f, 2.0f, 3.0f}, {0.5f, 0.5f, 0.5f}, false);
    EXPECT_FLOAT_EQ(raw.at<cv::Vec3f>(0, 0)[2], (30.0f - 3.0f) * 0.5f);
}

TEST(Normalize, OneChannelImageUsesTheFirstConstantsAndStaysOneChannel) {
    cv::Mat img(2, 2, CV_8UC1, cv::Scalar(255));
    OCR::Normalize().Run(img, {0.25f, 9.f, 9.f}, {4.0f, 9.f, 9.f}, true);
    ASSERT_EQ(img.type(), CV_32FC1);
    EXPECT_FLOAT_EQ(img.at<float>(1, 1), 3.0f);
}

TEST(Normalize, FewerConstantsThanChannelsAreRefusedBeforeTheImageChanges) {
    cv::Mat img(2, 2, CV_8UC3, cv::Scalar(1, 2, 3));
    const cv::Mat before = img.clone();
    EXPECT_THROW(OCR::Normalize().Run(img, {0.5f}, {2.0f, 2.0f, 2.0f}, true), cv::Exception);
    EXPECT_THROW(OCR::Normalize().Run(img, {0.5f, 0.5f, 0.5f}, {2.0f, 2.0f}, true), cv::Exception);
    ASSERT_EQ(img.type(), CV_8UC3);
    EXPECT_EQ(cv::norm(img, before, cv::NORM_INF), 0.0);
}

TEST(Permute, WritesChannelPlanesOneAfterTheOther) {
    cv::Mat img(2, 3, CV_32FC3);
    for (int r = 0; r < 2; r++)
        for (int c = 0; c < 3; c++) img.at<cv::Vec3f>(r, c) = cv::Vec3f(float(r * 3 + c), 100.f + r * 3 + c, 200.f + r * 3 + c);
    std::vector<float> buf(18, -1.f);
    OCR::Permute().Run(img, buf.data());
    for (int ch = 0; ch < 3; ch++)
        for (int i = 0; i < 6; i++) EXPECT_EQ(buf[ch * 6 + i], 100.f * ch + i) << ch << "," << i;
}

TEST(PermuteBatch, PacksImagesAsNCHW) {
    std::vector<cv::Mat> imgs;
    for (int j = 0; j < 2; j++) {
        cv::Mat m(2, 2, CV_32FC3);
        for (int i = 0; i < 4; i++) m.at<cv::Vec3f>(i / 2, i % 2) = cv::Vec3f(1000.f * j + i, 1000.f * j + 10 + i, 1000.f * j + 20 + i);
        imgs.push_back(m);
    }
    std::vector<float> buf(24 + 1, -7.f);
    OCR::PermuteBatch().Run(imgs, buf.data());
    EXPECT_EQ(buf[12], 1000.f);  // image 1, channel 0, first pixel
    EXPECT_EQ(buf[4], 10.f);     // image 0, channel 1
    EXPECT_EQ(buf[23], 1023.f);  // image 1, channel 2, last pixel
    EXPECT_EQ(buf[24], -7.f);    // nothing written past the batch
}

TEST(Permute, ImagesThatAreNotFloatAreRefusedNotSilentlySkipped) {
    // A float header over the buffer cannot take 8-bit planes: without the
    // check the planes went to a reallocated header and the buffer kept
    // whatever it held.
    const cv::Mat bytes(2, 2, CV_8UC3, cv::Scalar(1, 2, 3));
    std::vector<float> buf(12, -1.f);
    EXPECT_THROW(OCR::Permute().Run(bytes, buf.data()), cv::Exception);
    cv::Mat ok(2, 2, CV_32FC3, cv::Scalar(1, 2, 3));
    EXPECT_THROW(OCR::PermuteBatch().Run({ok, bytes}, buf.data()), cv::Exception);
}

TEST(CrnnResizeImg, ResizesToHeightAndPadsWithGreyToTheTargetWidth) {
    cv::Mat crop(30, 100, CV_8UC3, cv::Scalar(0, 0, 0));
    cv::Mat out;
    OCR::CrnnResizeImg().Run(crop, out, 320.0f / 48.0f, {3, 48, 320});
    ASSERT_EQ(out.rows, 48);
    ASSERT_EQ(out.cols, 320);
    EXPECT_EQ(out.at<cv::Vec3b>(20, 159), cv::Vec3b(0, 0, 0));
    EXPECT_EQ(out.at<cv::Vec3b>(20, 160), cv::Vec3b(127, 127, 127));
    EXPECT_EQ(out.at<cv::Vec3b>(47, 319), cv::Vec3b(127, 127, 127));
}

TEST(CrnnResizeImg, VeryWideCropTakesTheTruncatedTargetWidthAndNoPadding) {
    cv::Mat crop(7, 1000, CV_8UC3, cv::Scalar(0, 0, 0));
    cv::Mat out;
    const float ratio = 1000.0f / 7.0f;
    OCR::CrnnResizeImg().Run(crop, out, ratio, {3, 48, 320});
    EXPECT_EQ(out.rows, 48);
    EXPECT_EQ(out.cols, 6857);
    EXPECT_EQ(out.at<cv::Vec3b>(24, 6856), cv::Vec3b(0, 0, 0));
}

TEST(CrnnResizeImg, UnusableCropsAndWidthsRaiseTheImageLibrarysException) {
    const cv::Mat crop(30, 100, CV_8UC3, cv::Scalar::all(0));
    cv::Mat out;
    // An empty crop has no aspect ratio.
    EXPECT_THROW(OCR::CrnnResizeImg().Run(cv::Mat(), out, 320.0f / 48.0f, {3, 48, 320}), cv::Exception);
    EXPECT_THROW(OCR::ClsResizeImg().Run(cv::Mat(), out, {3, 48, 192}), cv::Exception);
    // A target width that is not a number or does not fit an int.
    for (float ratio : {NAN, INFINITY, 1e9f, -1e9f}) {
        EXPECT_THROW(OCR::CrnnResizeImg().Run(crop, out, ratio, {3, 48, 320}), cv::Exception) << ratio;
    }
    // A shape without a height.
    EXPECT_THROW(OCR::CrnnResizeImg().Run(crop, out, 2.0f, {3}), cv::Exception);
    EXPECT_THROW(OCR::ClsResizeImg().Run(crop, out, {3, 48}), cv::Exception);
}

TEST(ClsResizeImg, WideCropFillsTheWidthNarrowOneIsPaddedBlack) {
    cv::Mat wide(50, 400, CV_8UC3, cv::Scalar(255, 255, 255));
    cv::Mat out;
    OCR::ClsResizeImg().Run(wide, out, {3, 48, 192});
    EXPECT_EQ(out.size(), cv::Size(192, 48));
    EXPECT_EQ(out.at<cv::Vec3b>(10, 191), cv::Vec3b(255, 255, 255));

    cv::Mat narrow(50, 100, CV_8UC3, cv::Scalar(255, 255, 255));
    OCR::ClsResizeImg().Run(narrow, out, {3, 48, 192});
    EXPECT_EQ(out.size(), cv::Size(192, 48));
    EXPECT_EQ(out.at<cv::Vec3b>(10, 95), cv::Vec3b(255, 255, 255));
    EXPECT_EQ(out.at<cv::Vec3b>(10, 96), cv::Vec3b(0, 0, 0));
}

}  // namespace
