// The detector with a real network: model loading, forward pass, single-image
// and batch detection. The network is the test detector det_dark.onnx, whose
// text probability is ~0.99 on black, ~0.01 on the grey border and ~0 on
// white, so black rectangles on white pages are the "text".
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <omp.h>
#include <opencv2/imgproc.hpp>

#include "det.h"
#include "global.h"
#include "model_dir.h"
#include "test_support.h"
#include "zel_log.h"

namespace {

using Box = std::vector<std::vector<int>>;
using Boxes = std::vector<Box>;
using ::testing::HasSubstr;

// ------------------------------------------------------------ helpers

cv::Mat page(int cols, int rows) { return cv::Mat(rows, cols, CV_8UC3, cv::Scalar(255, 255, 255)); }

void ink(cv::Mat& img, cv::Rect r) { cv::rectangle(img, r, cv::Scalar(0, 0, 0), cv::FILLED); }

void ink(cv::Mat& img, const cv::RotatedRect& r) {
    cv::Point2f p[4];
    r.points(p);
    std::vector<cv::Point> q;
    for (auto& v : p) q.emplace_back(cvRound(v.x), cvRound(v.y));
    cv::fillConvexPoly(img, q, cv::Scalar(0, 0, 0));
}

bool inside(const Boxes& boxes, const cv::Mat& img) {
    for (const auto& b : boxes) {
        if (b.size() != 4) return false;
        for (const auto& p : b)
            if (p.size() != 2 || p[0] < 0 || p[1] < 0 || p[0] > img.cols - 1 || p[1] > img.rows - 1) return false;
    }
    return true;
}

// Outward growth, in network pixels, of an axis-aligned w x h region of the
// probability map: its outline spans (w - 1) x (h - 1) pixel centres and is
// offset by area * 2 / perimeter.
double growth(double w, double h) { return (w - 1) * (h - 1) / ((w - 1) + (h - 1)); }

// The corners a drawn rectangle should come back as: the rectangle's extent
// in network pixels grown by the offset, mapped back to the source and
// clamped to it. ratio is the resize ratio of the padded image.
Box expected_box(cv::Rect r, float ratio_w, float ratio_h, int cols, int rows) {
    const double g = growth(r.width * ratio_w, r.height * ratio_h);
    auto cx = [&](double x) { return int(std::lround(std::clamp(x, 0.0, double(cols - 1)))); };
    auto cy = [&](double y) { return int(std::lround(std::clamp(y, 0.0, double(rows - 1)))); };
    const double x0 = r.x - g / ratio_w, x1 = r.x + r.width - 1 + g / ratio_w;
    const double y0 = r.y - g / ratio_h, y1 = r.y + r.height - 1 + g / ratio_h;
    return {{cx(x0), cy(y0)}, {cx(x1), cy(y0)}, {cx(x1), cy(y1)}, {cx(x0), cy(y1)}};
}

// Largest coordinate difference between two boxes.
int max_corner_error(const Box& a, const Box& b) {
    int e = 0;
    for (int k = 0; k < 4; k++)
        for (int d = 0; d < 2; d++) e = std::max(e, std::abs(a[k][d] - b[k][d]));
    return e;
}

// Corner ordering: corners 0 and 3 are the left pair, 1 and 2 the right
// pair, and within each pair the upper one comes first.
void expect_clockwise_from_top_left(const Box& b) {
    EXPECT_LE(std::max(b[0][0], b[3][0]), std::min(b[1][0], b[2][0]));
    EXPECT_LE(b[0][1], b[3][1]);
    EXPECT_LE(b[1][1], b[2][1]);
}

class DarkDetector : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.ok());
        ASSERT_TRUE(dir.add_model("boxv3.p", varnel_test::data_path("det_dark.onnx")));
        testing::internal::CaptureStdout();
        const int rc = det.initModel_mnn(dir.path(), 0, 0);
        load_log = testing::internal::GetCapturedStdout();
        ASSERT_EQ(rc, 0) << load_log;
    }

    Boxes single(cv::Mat& img) {
        Boxes boxes;
        std::vector<double> times(3, 0.0);
        EXPECT_EQ(det.Model_Infer(img, boxes, times), 0);
        return boxes;
    }

    std::vector<OCR::DetResult> batch(std::vector<cv::Mat>& imgs, std::string* log = nullptr) {
        std::vector<OCR::DetResult> res;
        std::vector<double> times(3, 0.0);
        testing::internal::CaptureStdout();
        const int rc = det.Model_Infer_batch(imgs, res, times);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, 0) << out;
        if (log != nullptr) *log = out;
        return res;
    }

    varnel_test::ModelDir dir;
    OCR::TextDetect det;
    std::string load_log;
};

// Tolerance for a grown box against the drawn rectangle, in network pixels:
// the bilinear resize blurs each rectangle edge over one pixel, the binary
// map can therefore gain or lose one row or column (+-1), the outline and
// the grown corners are rounded (+-0.5 each) and the mapping back truncates
// (-1). Measured on these pages: 0 at unit scale, 1.3 for the rotated
// rectangle, 4 source pixels (1.9 network pixels) on the downscaled page;
// allowed 3 network pixels.
constexpr double kNetTolerance = 3.0;

// ------------------------------------------------------------ loading

TEST_F(DarkDetector, LoadsTheModelAndSaysSo) {
    EXPECT_THAT(load_log, HasSubstr("model [" + dir.path() + "/boxv3.p] loaded\n"));
    EXPECT_NE(det.session, nullptr);
    EXPECT_TRUE(det.interpreter);
}

class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& to) : old_(std::filesystem::current_path()) {
        std::filesystem::current_path(to);
    }
    ~WorkingDirectory() { std::filesystem::current_path(old_); }

private:
    std::filesystem::path old_;
};

TEST(DetectorLoading, MissingFileIsMinusOneWithTheJoinedPath) {
    varnel_test::ModelDir cwd;
    ASSERT_TRUE(cwd.ok());
    std::filesystem::create_directory(cwd.file("models"));
    WorkingDirectory in(cwd.path());

    for (const std::string dir_name : {"models", "models/"}) {
        OCR::TextDetect det;
        testing::internal::CaptureStdout();
        const int rc = det.initModel_mnn(dir_name, 0, 0);
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(log, "Model box file not found: " + dir_name + "/boxv3.p\n");
        EXPECT_EQ(det.session, nullptr);
        EXPECT_FALSE(det.interpreter);
    }
}

TEST(DetectorLoading, UnreadableFileIsMinus1002RefusedPayloadIsMinusOne) {
    varnel_test::ModelDir dir;
    ASSERT_TRUE(dir.ok());
    // Too short for the model file format: the reader gives nothing.
    ASSERT_TRUE(dir.add_copy("boxv3.p", varnel_test::data_path("garbage.bin")));
    {
        OCR::TextDetect det;
        testing::internal::CaptureStdout();
        EXPECT_EQ(det.initModel_mnn(dir.path(), 0, 0), -1002);
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_THAT(log, HasSubstr("load model " + dir.file("boxv3.p") + " fail.\n"));
        EXPECT_FALSE(det.interpreter);
    }

    // A well-formed model file whose payload the engine refuses.
    std::vector<unsigned char> junk;
    ASSERT_TRUE(varnel_test::read_bytes(varnel_test::data_path("garbage.bin"), junk));
    junk.insert(junk.end(), junk.begin(), junk.end());
    ASSERT_TRUE(dir.add_model_bytes("boxv3.p", junk));
    {
        OCR::TextDetect det;
        testing::internal::CaptureStdout();
        EXPECT_EQ(det.initModel_mnn(dir.path(), 0, 0), -1);
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_THAT(log, HasSubstr("load model " + dir.file("boxv3.p") + " fail.\n"));
        EXPECT_THAT(log, ::testing::Not(HasSubstr("loaded")));
        EXPECT_FALSE(det.interpreter);
        EXPECT_EQ(det.session, nullptr);
    }
}

TEST(DetectorLoading, UnloadedDetectorsAreDestroyedAndTheGpuRoadHasNoOutput) {
    Convert* plain = new OCR::TextDetect();
    delete plain;

    auto* gpu = new OCR::TextDetect();
    EXPECT_EQ(gpu->initModel_cuda("/nonexistent", 1, 0), 0);
    EXPECT_EQ(gpu->session, nullptr);
    std::vector<float> in(3 * 32 * 32, 0.f);
    std::vector<int> in_shape = {1, 3, 32, 32}, out_shape = {7, 7};
    EXPECT_EQ(gpu->cuda_infer(in.data(), in_shape, out_shape), nullptr);
    EXPECT_EQ(out_shape, (std::vector<int>{7, 7}));
    // Without a session the forward pass yields nothing, and detection
    // fails with no boxes.
    testing::internal::CaptureStdout();
    EXPECT_EQ(gpu->mnn_infer(in.data(), in_shape, out_shape), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "inference failed: no model loaded\n");
    EXPECT_TRUE(out_shape.empty());
    cv::Mat img = page(100, 60);
    ink(img, cv::Rect(20, 20, 60, 20));
    Boxes boxes = {{{1, 1}}};
    std::vector<double> times(3, -1.0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(gpu->Model_Infer(img, boxes, times), -1);
    EXPECT_THAT(testing::internal::GetCapturedStdout(),
                HasSubstr("detection failed: no output for an image of 100 x 60\n"));
    EXPECT_TRUE(boxes.empty());
    delete static_cast<Convert*>(gpu);
}

// ------------------------------------------------------------ forward pass

TEST_F(DarkDetector, ForwardPassReplacesTheShapeAndFollowsTheInputSize) {
    std::vector<float> in(2 * 3 * 64 * 96, 0.f);  // normalised 0: logit 4 * -0.9
    std::vector<int> in_shape = {1, 3, 64, 96};
    std::vector<int> out_shape = {9, 9, 9, 9, 9};
    float* out = det.mnn_infer(in.data(), in_shape, out_shape);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out_shape, (std::vector<int>{1, 1, 64, 96}));
    const float expect = 1.0f / (1.0f + std::exp(3.6f));
    EXPECT_NEAR(out[0], expect, 1e-5);
    EXPECT_NEAR(out[64 * 96 - 1], expect, 1e-5);
    delete[] out;

    in_shape = {2, 3, 32, 48};
    out = det.mnn_infer(in.data(), in_shape, out_shape);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out_shape, (std::vector<int>{2, 1, 32, 48}));
    EXPECT_NEAR(out[2 * 32 * 48 - 1], expect, 1e-5);
    delete[] out;
}

// ------------------------------------------------------------ single image

TEST_F(DarkDetector, RectangleAtUnitScaleComesBackGrownAroundIt) {
    // 600 x 440 pads to 640 x 480: ratios exactly 1.
    cv::Mat img = page(600, 440);
    const cv::Rect r(150, 200, 300, 40);
    ink(img, r);
    const cv::Mat before = img.clone();
    const Boxes b = single(img);
    ASSERT_EQ(b.size(), 1u);
    expect_clockwise_from_top_left(b[0]);
    EXPECT_LE(max_corner_error(b[0], expected_box(r, 1.f, 1.f, 600, 440)), kNetTolerance);
    // The box covers the drawn rectangle.
    EXPECT_LE(b[0][0][0], r.x);
    EXPECT_LE(b[0][0][1], r.y);
    EXPECT_GE(b[0][2][0], r.x + r.width - 1);
    EXPECT_GE(b[0][2][1], r.y + r.height - 1);
    EXPECT_EQ(cv::norm(img, before, cv::NORM_INF), 0.0);
}

TEST_F(DarkDetector, DownscaledPageMapsBoxesBackToSourcePixels) {
    det.max_side_len = 960;  // 2000 x 1000 pads to 2040 x 1040, resized to 960 x 480
    cv::Mat img = page(2000, 1000);
    const cv::Rect a(200, 300, 800, 120), c(1200, 650, 500, 90);
    ink(img, a);
    ink(img, c);
    const float rw = 960.f / 2040.f, rh = 480.f / 1040.f;
    Boxes b = single(img);
    ASSERT_EQ(b.size(), 2u);
    std::sort(b.begin(), b.end(), [](const Box& x, const Box& y) { return x[0][0] < y[0][0]; });
    // One network pixel is 1 / 0.47 source pixels here.
    const double tol = kNetTolerance / std::min(rw, rh);
    EXPECT_LE(max_corner_error(b[0], expected_box(a, rw, rh, 2000, 1000)), tol);
    EXPECT_LE(max_corner_error(b[1], expected_box(c, rw, rh, 2000, 1000)), tol);
    for (const auto& box : b) expect_clockwise_from_top_left(box);
}

TEST_F(DarkDetector, RotatedRectangleKeepsItsCornerOrder) {
    cv::Mat img = page(600, 440);
    const cv::RotatedRect r(cv::Point2f(300, 220), cv::Size2f(300, 50), 10);
    ink(img, r);
    const Boxes b = single(img);
    ASSERT_EQ(b.size(), 1u);
    // The rectangle as rasterised (its edge pixels make it a little larger
    // than drawn), grown in its own frame; corners top-left, top-right,
    // bottom-right, bottom-left for this clockwise tilt.
    cv::Mat dark;
    cv::inRange(img, cv::Scalar::all(0), cv::Scalar::all(100), dark);
    std::vector<std::vector<cv::Point>> outline;
    cv::findContours(dark, outline, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
    ASSERT_EQ(outline.size(), 1u);
    const cv::RotatedRect drawn = cv::minAreaRect(outline[0]);
    const double lw = std::max(drawn.size.width, drawn.size.height);
    const double sw = std::min(drawn.size.width, drawn.size.height);
    const double g = lw * sw / (lw + sw);
    const double a = lw / 2 + g, h = sw / 2 + g, t = 10 * CV_PI / 180;
    const double cs = std::cos(t), sn = std::sin(t);
    const double local[4][2] = {{-a, -h}, {a, -h}, {a, h}, {-a, h}};
    for (int k = 0; k < 4; k++) {
        const double x = drawn.center.x + local[k][0] * cs - local[k][1] * sn;
        const double y = drawn.center.y + local[k][0] * sn + local[k][1] * cs;
        EXPECT_NEAR(b[0][k][0], x, kNetTolerance) << "corner " << k;
        EXPECT_NEAR(b[0][k][1], y, kNetTolerance) << "corner " << k;
    }
}

TEST_F(DarkDetector, BoxesAtTheBordersAreClampedToTheLastPixel) {
    cv::Mat img = page(600, 440);
    ink(img, cv::Rect(0, 0, 200, 40));
    ink(img, cv::Rect(400, 400, 200, 40));
    Boxes b = single(img);
    ASSERT_EQ(b.size(), 2u);
    std::sort(b.begin(), b.end(), [](const Box& x, const Box& y) { return x[0][0] < y[0][0]; });
    EXPECT_EQ(b[0][0], (std::vector<int>{0, 0}));
    EXPECT_EQ(b[1][2], (std::vector<int>{599, 439}));
    EXPECT_TRUE(inside(b, img));
}

TEST_F(DarkDetector, PagesWithoutTextAndDegenerateSizesGiveNoBoxesOrBoxesInside) {
    Boxes b = {{{1, 2}, {3, 4}, {5, 6}, {7, 8}}};
    std::vector<double> times = {-1, -1, -1, 42};
    cv::Mat white = page(300, 200);
    det.Model_Infer(white, b, times);
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(times[3], 42);

    for (cv::Size s : {cv::Size(1, 1), cv::Size(100000, 10), cv::Size(10, 30000)}) {
        for (int value : {0, 255}) {
            cv::Mat img(s, CV_8UC3, cv::Scalar::all(value));
            const Boxes got = single(img);
            EXPECT_TRUE(inside(got, img)) << s << " value " << value;
            if (value == 255) {
                EXPECT_TRUE(got.empty()) << s;
            }
        }
    }
}

TEST_F(DarkDetector, ImagesOutsideTheInputContractAreRefused) {
    Boxes b;
    std::vector<double> times(3, 0.0);
    cv::Mat bgra(50, 50, CV_8UC4, cv::Scalar::all(0)), gray(50, 50, CV_8UC1, cv::Scalar(0)), empty;
    EXPECT_THROW(det.Model_Infer(bgra, b, times), std::invalid_argument);
    EXPECT_THROW(det.Model_Infer(gray, b, times), std::invalid_argument);
    EXPECT_THROW(det.Model_Infer(empty, b, times), std::invalid_argument);
}

// ------------------------------------------------------------ batch

TEST_F(DarkDetector, BatchEqualsSingleImageDetectionWithImageIds) {
    std::vector<cv::Mat> imgs;
    for (int i = 0; i < 5; i++) {
        cv::Mat img = page(640, 480);
        if (i != 2) ink(img, cv::Rect(40 + 30 * i, 60 + 50 * i, 200 + 20 * i, 30));
        if (i == 4) ink(img, cv::RotatedRect(cv::Point2f(400, 120), cv::Size2f(250, 40), -12));
        imgs.push_back(img);
    }
    std::vector<OCR::DetResult> res(9);  // stale elements are replaced
    res[0].imgid = 77;
    res[0].boxes = {{{1, 1}, {1, 1}, {1, 1}, {1, 1}}};
    std::vector<double> times(3, 0.0);
    testing::internal::CaptureStdout();
    det.Model_Infer_batch(imgs, res, times);
    testing::internal::GetCapturedStdout();

    ASSERT_EQ(res.size(), imgs.size());
    for (size_t i = 0; i < imgs.size(); i++) {
        EXPECT_EQ(res[i].imgid, int(i));
        EXPECT_EQ(res[i].boxes, single(imgs[i])) << "image " << i;
        EXPECT_TRUE(inside(res[i].boxes, imgs[i]));
    }
    EXPECT_TRUE(res[2].boxes.empty());
    EXPECT_EQ(res[1].boxes.size(), 1u);
    EXPECT_EQ(res[4].boxes.size(), 2u);
}

TEST_F(DarkDetector, BatchLogsItsTimesAndLeavesFourOpenMPThreads) {
    omp_set_num_threads(1);
    std::vector<cv::Mat> imgs = {page(320, 200), page(320, 200)};
    ink(imgs[0], cv::Rect(20, 20, 100, 20));
    std::vector<OCR::DetResult> res;
    std::vector<double> times = {-5, -5, -5, 13, 14};
    testing::internal::CaptureStdout();
    det.Model_Infer_batch(imgs, res, times);
    const std::string log = testing::internal::GetCapturedStdout();

    EXPECT_EQ(omp_get_max_threads(), 4);
    ASSERT_EQ(times.size(), 5u);
    EXPECT_EQ(times[3], 13);
    EXPECT_EQ(times[4], 14);
    for (int k = 0; k < 3; k++) EXPECT_GE(times[k], 0.0);
    char expect[128];
    std::snprintf(expect, sizeof expect, "det: %.0f = %.0f + %.0f + %.0f (ms)\n", (times[0] + times[1]) + times[2],
                  times[0], times[1], times[2]);
    EXPECT_EQ(log, expect);
    EXPECT_TRUE(std::regex_match(log, std::regex("det: \\d+ = \\d+ \\+ \\d+ \\+ \\d+ \\(ms\\)\n")));
}

TEST_F(DarkDetector, EmptyBatchChangesNothingAndLogsNothing) {
    std::vector<cv::Mat> none;
    std::vector<OCR::DetResult> res(2);
    res[1].imgid = 5;
    std::vector<double> times = {1, 2, 3};
    testing::internal::CaptureStdout();
    det.Model_Infer_batch(none, res, times);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(res.size(), 2u);
    EXPECT_EQ(res[1].imgid, 5);
    EXPECT_EQ(times, (std::vector<double>{1, 2, 3}));
}

TEST_F(DarkDetector, BatchRefusesImagesItCannotPackBeforeChangingAnything) {
    const cv::Mat ok = page(64, 48);
    const std::vector<cv::Mat> bad = {cv::Mat(48, 64, CV_8UC1, cv::Scalar(255)),
                                      cv::Mat(48, 64, CV_8UC4, cv::Scalar::all(255)),
                                      cv::Mat(48, 64, CV_16UC3, cv::Scalar::all(255)),
                                      cv::Mat(48, 64, CV_32FC3, cv::Scalar::all(1)), cv::Mat(), page(65, 48)};
    for (size_t k = 0; k < bad.size(); k++) {
        std::vector<cv::Mat> imgs = {ok, bad[k]};
        std::vector<OCR::DetResult> res(1);
        res[0].imgid = 3;
        std::vector<double> times = {1, 2, 3};
        testing::internal::CaptureStdout();
        EXPECT_THROW(det.Model_Infer_batch(imgs, res, times), std::invalid_argument) << "case " << k;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        ASSERT_EQ(res.size(), 1u);
        EXPECT_EQ(res[0].imgid, 3);
        EXPECT_EQ(times, (std::vector<double>{1, 2, 3}));
    }
}

TEST_F(DarkDetector, GpuRoadWithoutOutputGivesIdsNoBoxesAndStillLogs) {
    struct Restore {
        ~Restore() { g_use_cuda = 0; }
    } restore;
    g_use_cuda = 1;
    std::vector<cv::Mat> imgs = {page(200, 100), page(200, 100), page(200, 100)};
    ink(imgs[1], cv::Rect(20, 20, 120, 30));
    std::string log;
    const auto res = batch(imgs, &log);
    ASSERT_EQ(res.size(), 3u);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(res[i].imgid, i);
        EXPECT_TRUE(res[i].boxes.empty());
    }
    EXPECT_TRUE(std::regex_match(log, std::regex("det: \\d+ = \\d+ \\+ \\d+ \\+ \\d+ \\(ms\\)\n"))) << log;
}

// ------------------------------------------------------------ odd networks
//
// Networks whose output batch differs from the input batch, written here as
// ONNX (a minimal protobuf writer): a Slice or a Concat on the batch axis in
// front of the same 1x1 convolution and sigmoid as the test detector.

// front: "slice" keeps image 0 only; "concat" doubles the batch.
std::string batch_changing_model(const std::string& front) {
    using varnel_test::onnx_node;
    using varnel_test::onnx_tensor_f;
    using varnel_test::onnx_tensor_i64;
    using varnel_test::Pb;
    Pb g;
    if (front == "slice") {
        g.msg(1, onnx_node("Slice", {"x", "s_start", "s_end", "s_axis"}, "xb"));
        g.msg(5, onnx_tensor_i64("s_start", {0})).msg(5, onnx_tensor_i64("s_end", {1}));
        g.msg(5, onnx_tensor_i64("s_axis", {0}));
    } else {
        Pb axis;
        axis.str(1, "axis").i64(3, 0).i64(20, 2);  // INT
        g.msg(1, onnx_node("Concat", {"x", "x"}, "xb", &axis));
    }
    Pb kernel;
    kernel.str(1, "kernel_shape").i64(8, 1).i64(8, 1).i64(20, 7);  // INTS
    g.msg(1, onnx_node("Conv", {"xb", "det_w", "det_b"}, "logit", &kernel));
    g.msg(1, onnx_node("Sigmoid", {"logit"}, "y"));
    g.str(2, "batch_" + front);
    g.msg(5, onnx_tensor_f("det_w", {1, 3, 1, 1}, {-4.0f / 3, -4.0f / 3, -4.0f / 3}));
    g.msg(5, onnx_tensor_f("det_b", {1}, {4.0f * -0.9f}));
    g.msg(11, varnel_test::onnx_value_info("x", 3));
    g.msg(12, varnel_test::onnx_value_info("y", 1));
    return varnel_test::onnx_model(g);
}

// A detector loaded from the ONNX bytes `onnx` (wrapped as a model file).
bool load_onnx_detector(OCR::TextDetect& det, const varnel_test::ModelDir& dir, const std::string& onnx,
                        std::string* log = nullptr) {
    if (!dir.add_model_bytes("boxv3.p", onnx)) return false;
    testing::internal::CaptureStdout();
    const int rc = det.initModel_mnn(dir.path(), 0, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    if (log != nullptr) *log = out;
    return rc == 0;
}

class OddBatchDetector : public ::testing::TestWithParam<const char*> {};

TEST_P(OddBatchDetector, ExtraPlanesAreIgnoredMissingOnesFailTheBatch) {
    const std::string front = GetParam();
    varnel_test::ModelDir dir;
    ASSERT_TRUE(dir.ok());
    OCR::TextDetect det;
    std::string load_log;
    ASSERT_TRUE(load_onnx_detector(det, dir, batch_changing_model(front), &load_log)) << load_log;

    std::vector<cv::Mat> imgs;
    for (int i = 0; i < 3; i++) {
        cv::Mat img = page(600, 440);
        ink(img, cv::Rect(50 + 60 * i, 100, 250, 40));
        imgs.push_back(img);
    }
    std::vector<OCR::DetResult> res;
    std::vector<double> times(3, 0.0);
    testing::internal::CaptureStdout();
    const int rc = det.Model_Infer_batch(imgs, res, times);
    const std::string log = testing::internal::GetCapturedStdout();

    if (front == "slice") {
        // One output plane for three images: images 1 and 2 were never
        // looked at, so the batch fails rather than report them empty.
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(log, "detection failed: the output holds 1 plane(s) for 3 image(s)\n");
        EXPECT_EQ(times, (std::vector<double>{0.0, 0.0, 0.0}));
    } else {
        // Six planes for three images: the first three are the images'.
        EXPECT_EQ(rc, 0);
        EXPECT_THAT(log, HasSubstr("det: "));
        ASSERT_EQ(res.size(), 3u);
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(res[i].imgid, i);
            ASSERT_EQ(res[i].boxes.size(), 1u);
            EXPECT_LE(max_corner_error(res[i].boxes[0], expected_box(cv::Rect(50 + 60 * i, 100, 250, 40), 1.f, 1.f,
                                                                     600, 440)),
                      kNetTolerance);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Networks, OddBatchDetector, ::testing::Values("slice", "concat"));

// ------------------------------------------------------------ failed passes

TEST(FailedDetection, APassTheNetworkCannotRunFailsWithALevelOneLine) {
    varnel_test::ModelDir dir;
    ASSERT_TRUE(dir.ok());
    OCR::TextDetect det;
    // Runs only for inputs of exactly 3 x 32 x 32 values.
    std::string load_log;
    ASSERT_TRUE(load_onnx_detector(det, dir, varnel_test::fixed_reshape_model({1, 1, 96, 32}), &load_log))
        << load_log;
    struct Quiet {
        Quiet() { zel_set_log_dummy(1); }
        ~Quiet() { zel_set_log_dummy(0); }
    } quiet;  // level-1 lines only

    // A 1 x 1 image pads to 41 x 41 and is resized to 32 x 32: the pass runs.
    cv::Mat tiny = page(1, 1);
    Boxes boxes;
    std::vector<double> times(3, -1.0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(det.Model_Infer(tiny, boxes, times), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    cv::Mat img = page(200, 100);
    ink(img, cv::Rect(20, 20, 120, 30));
    boxes = {{{1, 1}}};
    testing::internal::CaptureStdout();
    EXPECT_EQ(det.Model_Infer(img, boxes, times), -1);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(log,
              "inference failed: the network cannot run at this size (engine code 3) on an input of "
              "1 x 3 x 128 x 256 values\n"
              "detection failed: no output for an image of 200 x 100\n");

    std::vector<cv::Mat> imgs = {img, img};
    std::vector<OCR::DetResult> res;
    times.assign(3, -1.0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(det.Model_Infer_batch(imgs, res, times), -1);
    log = testing::internal::GetCapturedStdout();
    EXPECT_THAT(log, HasSubstr("on an input of 2 x 3 x 128 x 256 values\n"
                               "detection failed: no output for a batch of 2 image(s) of 200 x 100\n"));
    EXPECT_EQ(times, (std::vector<double>{-1.0, -1.0, -1.0}));  // no stage times for a failed batch
}

TEST_F(DarkDetector, InputsTheEngineRefusesGiveNoOutput) {
    // More values than the engine holds (2 x 3 x 16384 x 5462 > 2^31 / 4):
    // refused before any value is read, so a short input array is safe.
    std::vector<float> in(16, 0.f);
    std::vector<int> in_shape = {2, 3, 16384, 5462};
    std::vector<int> out_shape = {1, 2, 3, 4};
    testing::internal::CaptureStdout();
    EXPECT_EQ(det.mnn_infer(in.data(), in_shape, out_shape), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "inference failed: the engine refused an input of 2 x 3 x 16384 x 5462 values\n");
    EXPECT_TRUE(out_shape.empty());

    in_shape = {1, 3, 0, 4};
    out_shape = {1};
    testing::internal::CaptureStdout();
    EXPECT_EQ(det.mnn_infer(in.data(), in_shape, out_shape), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "inference failed: input shape 1 x 3 x 0 x 4 has an empty dimension\n");
    EXPECT_TRUE(out_shape.empty());

    // The session is unharmed: the next pass runs.
    in_shape = {1, 3, 2, 2};
    float* out = nullptr;
    testing::internal::CaptureStdout();
    out = det.mnn_infer(in.data(), in_shape, out_shape);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out_shape, (std::vector<int>{1, 1, 2, 2}));
    delete[] out;
}

}  // namespace
