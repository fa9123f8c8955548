// The OCR pipeline on the small test networks: the detector finds black
// regions, the recogniser reads a strip mostly dark as "A", half dark as
// "B" and white as a blank. A black bar's box is grown by about its height
// on every side, so a bar reads "B"; a crop narrower than 320 / 48 of its
// height is padded with grey, which adds a second "B".
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "model_dir.h"
#include "ocr.h"
#include "test_support.h"
#include "zel_log.h"

namespace {

using OCR::OCRPredictResult;
using Box = std::vector<std::vector<int>>;
using Table = std::vector<std::vector<double>>;
using varnel_test::captured;
using varnel_test::contains;
using varnel_test::page;

Table zero_table() { return Table(3, std::vector<double>(3, 0.0)); }

// True when the box encloses the bar and stays within `slack` pixels of it
// grown by its height on every side.
bool box_around(const Box& box, const cv::Rect& bar, int slack) {
    int l = box[0][0], r = box[0][0], t = box[0][1], b = box[0][1];
    for (const auto& p : box) {
        l = std::min(l, p[0]);
        r = std::max(r, p[0]);
        t = std::min(t, p[1]);
        b = std::max(b, p[1]);
    }
    const int grow = bar.height + slack;
    return l <= bar.x && r >= bar.x + bar.width - 1 && t <= bar.y && b >= bar.y + bar.height - 1 &&
           l >= bar.x - grow && r <= bar.x + bar.width + grow && t >= bar.y - grow && b <= bar.y + bar.height + grow;
}

class Pipeline : public testing::Test {
protected:
    void SetUp() override {
        bool ok = false;
        dir_ = varnel_test::make_test_model_dir(&ok);
        ASSERT_TRUE(ok);
        int ret = 1;
        captured([&] { ret = ocr_.initModel(dir_.path(), 0, 0); });
        ASSERT_EQ(ret, 0);
    }

    std::vector<OCRPredictResult> run_batch(std::vector<cv::Mat> imgs, bool do_rec = true, std::string* out = nullptr) {
        Table t = zero_table();
        std::vector<OCRPredictResult> res;
        const std::string o = captured([&] { res = ocr_.run_batch(imgs, true, do_rec, t); });
        if (out != nullptr) *out = o;
        return res;
    }

    // Every detected box with its crop size, before any filter.
    struct Detected {
        Box box;
        int h, w;
    };
    std::vector<Detected> detect(const cv::Mat& img) {
        std::vector<cv::Mat> imgs = {img};
        std::vector<OCRPredictResult> dets;
        std::vector<double> times(3, 0.0);
        captured([&] { ocr_.det_batch(imgs, dets, times); });
        std::vector<Detected> out;
        for (const auto& d : dets) {
            cv::Mat crop = OCR::Utility::GetRotateCropImage(img, d.box);
            out.push_back({d.box, crop.rows, crop.cols});
        }
        return out;
    }

    varnel_test::ModelDir dir_;
    OCR::ocr ocr_;
};

TEST_F(Pipeline, ReadsBarsWithTheirBoxes) {
    const cv::Rect wide(100, 60, 400, 20), narrow(120, 200, 60, 30);
    const cv::Mat img = page(800, 300, {wide, narrow});
    std::vector<OCRPredictResult> res = run_batch({img});
    ASSERT_EQ(res.size(), 2u);
    for (const auto& r : res) {
        EXPECT_EQ(r.imgid, 0);
        ASSERT_EQ(r.box.size(), 4u);
        EXPECT_GT(r.score, 0.5f);
        EXPECT_LE(r.score, 1.0f);
        EXPECT_EQ(r.cls_label, -1);
    }
    const OCRPredictResult& a = res[0].box[0][1] < res[1].box[0][1] ? res[0] : res[1];
    const OCRPredictResult& b = &a == &res[0] ? res[1] : res[0];
    EXPECT_TRUE(box_around(a.box, wide, 4));
    EXPECT_TRUE(box_around(b.box, narrow, 4));
    EXPECT_EQ(a.text, "B");
    EXPECT_EQ(b.text, "BB");
    // Box corners: top-left, top-right, bottom-right, bottom-left.
    EXPECT_LT(a.box[0][0], a.box[1][0]);
    EXPECT_LT(a.box[1][1], a.box[2][1]);
    EXPECT_GT(a.box[2][0], a.box[3][0]);
}

TEST_F(Pipeline, TallBoxIsReadTurned) {
    // Standing bar: its crop is turned, so it reads like a lying one; read
    // unturned it would be a narrow, padded crop.
    const cv::Rect bar(300, 40, 20, 500);
    std::vector<OCRPredictResult> res = run_batch({page(640, 600, {bar})});
    ASSERT_EQ(res.size(), 1u);
    EXPECT_TRUE(box_around(res[0].box, cv::Rect(300, 40, 20, 500), 4));
    const Box& b = res[0].box;
    const double top = std::hypot(b[0][0] - b[1][0], b[0][1] - b[1][1]);
    const double left = std::hypot(b[0][0] - b[3][0], b[0][1] - b[3][1]);
    EXPECT_GT(left, 3 * top);
    EXPECT_EQ(res[0].text, "B");
}

TEST_F(Pipeline, FloorsScaleWithTheImageWidth) {
    // Bars of growing height; their crops are about three times as high.
    const std::vector<cv::Rect> bars = {cv::Rect(100, 40, 300, 3), cv::Rect(100, 100, 300, 6),
                                        cv::Rect(100, 180, 300, 12), cv::Rect(100, 280, 300, 20)};
    // Width and height floors by image width: 40 and 26 pixels at 3840
    // columns, truncated.
    struct Floors {
        int cols, floor_w, floor_h;
    };
    for (const Floors& f : {Floors{3840, 40, 26}, Floors{1920, 20, 13}, Floors{1000, 10, 6}, Floors{500, 5, 3}}) {
        const cv::Mat img = page(f.cols, 400, bars);
        const int width = img.cols;
        const int floor_w = f.floor_w;
        const int floor_h = f.floor_h;
        const std::vector<Detected> all = detect(img);
        ASSERT_EQ(all.size(), bars.size()) << width;
        size_t want = 0;
        for (const Detected& d : all) want += (d.h >= floor_h && d.w >= floor_w) ? 1 : 0;
        std::vector<OCRPredictResult> kept = run_batch({img});
        EXPECT_EQ(kept.size(), want) << "width " << width;
        for (const auto& k : kept) {
            cv::Mat crop = OCR::Utility::GetRotateCropImage(img, k.box);
            EXPECT_GE(crop.rows, floor_h);
            EXPECT_GE(crop.cols, floor_w);
        }
        if (width == 3840) {
            EXPECT_GT(want, 0u);
            EXPECT_LT(want, all.size());  // some crops fall below the floors
        }
    }
}

TEST_F(Pipeline, HostLimitsAreStrict) {
    const std::vector<cv::Rect> bars = {cv::Rect(50, 40, 200, 8), cv::Rect(50, 120, 300, 14),
                                        cv::Rect(50, 220, 420, 22)};
    const cv::Mat img = page(640, 320, bars);
    std::vector<Detected> all = detect(img);
    ASSERT_EQ(all.size(), 3u);
    std::sort(all.begin(), all.end(), [](const Detected& a, const Detected& b) { return a.h < b.h; });
    const Detected& mid = all[1];
    ASSERT_LT(all[0].h, mid.h);
    ASSERT_LT(mid.h, all[2].h);
    ASSERT_LT(all[0].w, mid.w);
    ASSERT_LT(mid.w, all[2].w);

    auto count = [&](int min_h, int max_h, int min_w, int max_w) {
        ocr_.set_filter(0, min_h, max_h, min_w, max_w);
        return run_batch({img}).size();
    };
    EXPECT_EQ(count(0, 0, 0, 0), 3u);
    EXPECT_EQ(count(-5, -1, -7, -9), 3u);          // 0 or less: no limit
    EXPECT_EQ(count(mid.h, 0, 0, 0), 2u);          // exactly the minimum passes
    EXPECT_EQ(count(mid.h + 1, 0, 0, 0), 1u);
    EXPECT_EQ(count(0, mid.h, 0, 0), 2u);          // exactly the maximum passes
    EXPECT_EQ(count(0, mid.h - 1, 0, 0), 1u);
    EXPECT_EQ(count(0, 0, mid.w, 0), 2u);
    EXPECT_EQ(count(0, 0, mid.w + 1, 0), 1u);
    EXPECT_EQ(count(0, 0, 0, mid.w), 2u);
    EXPECT_EQ(count(0, 0, 0, mid.w - 1), 1u);
    EXPECT_EQ(count(mid.h, mid.h, mid.w, mid.w), 1u);
    EXPECT_EQ(count(mid.h + 1, mid.h, 0, 0), 0u);  // minimum above maximum: nothing passes

    // The kept crop is the middle bar's.
    ocr_.set_filter(0, mid.h, mid.h, 0, 0);
    std::vector<OCRPredictResult> one = run_batch({img});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].box, mid.box);
    EXPECT_EQ(ocr_.reserved_filter, 0);
    ocr_.set_filter(7, 1, 2, 3, 4);
    EXPECT_EQ(std::vector<int>({ocr_.reserved_filter, ocr_.min_crop_h, ocr_.max_crop_h, ocr_.min_crop_w,
                                ocr_.max_crop_w}),
              std::vector<int>({7, 1, 2, 3, 4}));
}

TEST_F(Pipeline, EverythingDroppedStillRunsRecognition) {
    ocr_.set_filter(0, 10000, 0, 0, 0);
    std::string out;
    std::vector<OCRPredictResult> res = run_batch({page(640, 200, {cv::Rect(50, 50, 300, 20)})}, true, &out);
    EXPECT_TRUE(res.empty());
    EXPECT_TRUE(contains(out, "rec: 0 = 0 + 0 + 0 (ms)\n")) << out;
    EXPECT_TRUE(contains(out, "total: ")) << out;
}

TEST_F(Pipeline, WithoutRecognitionTextsStayDefault) {
    Table t = {{1, 1, 1}, {1, 1, 1}, {1, 1, 1}};
    std::vector<cv::Mat> imgs = {page(640, 200, {cv::Rect(50, 50, 300, 20)})};
    std::vector<OCRPredictResult> res;
    const std::string out = captured([&] { res = ocr_.run_batch(imgs, false, false, t); });
    ASSERT_EQ(res.size(), 1u);  // detection runs whatever the flag says
    EXPECT_EQ(res[0].text, "");
    EXPECT_FLOAT_EQ(res[0].score, -1.0f);
    EXPECT_EQ(t[1], (std::vector<double>{1, 1, 1}));
    EXPECT_EQ(t[2], (std::vector<double>{1, 1, 1}));
    EXPECT_FALSE(contains(out, "rec: "));
}

TEST_F(Pipeline, TimeTableIsAddedAndTotalLogged) {
    Table t = {{1, 1, 1}, {1, 1, 1}, {1, 1, 1}};
    std::vector<cv::Mat> imgs = {page(640, 200, {cv::Rect(50, 50, 300, 20)})};
    std::string out = captured([&] { ocr_.run_batch(imgs, true, true, t); });
    float sum = 0;  // the run's own entries, summed in single precision as logged
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            EXPECT_GE(t[i][j], 1.0);
            sum = static_cast<float>(static_cast<double>(sum) + (t[i][j] - 1.0));
        }
    EXPECT_EQ(t[2], (std::vector<double>{1, 1, 1}));  // no stage fills row 2
    EXPECT_GT(t[0][1], 1.0);                         // detection inference took some time
    char line[64];
    snprintf(line, sizeof line, "total: %.0f ms\n", sum);
    EXPECT_TRUE(contains(out, line)) << out << " want " << line;

    // The single-image form adds its table but logs no total.
    out = captured([&] { ocr_.run(imgs[0], true, true, t); });
    EXPECT_FALSE(contains(out, "total: ")) << out;
}

TEST_F(Pipeline, BatchKeepsImageOrderAndIndex) {
    const cv::Mat a = page(640, 300, {cv::Rect(50, 50, 400, 20)});
    const cv::Mat b = page(640, 300, {cv::Rect(60, 100, 420, 18), cv::Rect(60, 200, 50, 30)});
    std::vector<OCRPredictResult> res = run_batch({a, b});
    ASSERT_EQ(res.size(), 3u);
    EXPECT_EQ(res[0].imgid, 0);
    EXPECT_EQ(res[1].imgid, 1);
    EXPECT_EQ(res[2].imgid, 1);
    // Same records as each image alone.
    std::vector<OCRPredictResult> alone_b = run_batch({b});
    ASSERT_EQ(alone_b.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(res[1 + i].box, alone_b[i].box);
        EXPECT_EQ(res[1 + i].text, alone_b[i].text);
    }
}

TEST_F(Pipeline, SingleAndBatchDetectionAgree) {
    cv::Mat img = page(700, 300, {cv::Rect(50, 50, 400, 20), cv::Rect(100, 150, 80, 40)});
    std::vector<OCRPredictResult> single, batch;
    std::vector<double> times(3, 0.0);
    OCRPredictResult stale{};
    stale.imgid = 9;
    single.push_back(stale);
    batch.push_back(stale);
    std::vector<cv::Mat> imgs = {img};
    captured([&] {
        ocr_.det(img, single, times);
        ocr_.det_batch(imgs, batch, times);
    });
    ASSERT_EQ(single.size(), 3u);  // det appends
    ASSERT_EQ(batch.size(), 2u);   // det_batch starts afresh
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(single[1 + i].box, batch[i].box);
        EXPECT_EQ(single[1 + i].imgid, 0);
        EXPECT_EQ(batch[i].imgid, 0);
        EXPECT_EQ(batch[i].score, -1.0f);
    }

    Table t = zero_table();
    std::vector<OCRPredictResult> run_res, batch_res;
    captured([&] {
        run_res = ocr_.run(img, true, true, t);
        batch_res = ocr_.run_batch(imgs, true, true, t);
    });
    ASSERT_EQ(run_res.size(), batch_res.size());
    for (size_t i = 0; i < run_res.size(); ++i) {
        EXPECT_EQ(run_res[i].box, batch_res[i].box);
        EXPECT_EQ(run_res[i].text, batch_res[i].text);
        EXPECT_EQ(run_res[i].imgid, 0);
        EXPECT_FLOAT_EQ(run_res[i].cls_score, -1.0f);
    }
}

TEST_F(Pipeline, SingleImageFormConvertsChannelsInPlace) {
    // Four channels: the ink is in the alpha channel.
    cv::Mat bgra(200, 640, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    bgra(cv::Rect(50, 50, 400, 20)).setTo(cv::Scalar(0, 0, 0, 255));
    cv::Mat host = bgra;
    Table t = zero_table();
    std::vector<OCRPredictResult> res;
    captured([&] { res = ocr_.run(host, true, true, t); });
    EXPECT_EQ(host.type(), CV_8UC3);  // the caller's header now holds the converted image
    EXPECT_EQ(bgra.type(), CV_8UC4);  // the old pixels are not written
    ASSERT_EQ(res.size(), 1u);
    EXPECT_EQ(res[0].text, "B");

    // The batch form converts nothing: the detector refuses the layout.
    std::vector<cv::Mat> imgs = {bgra};
    captured([&] { EXPECT_ANY_THROW(ocr_.run_batch(imgs, true, true, t)); });
    EXPECT_EQ(imgs[0].type(), CV_8UC4);
}

// A pipeline whose detector ("det") or recogniser ("rec") is a network
// that runs only at one input size (3 x 32 x 32 values, resp. 3 x 48 x 320).
class PipelineFailure : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        const bool det_fails = std::string(GetParam()) == "det";
        const std::string onnx = det_fails ? varnel_test::fixed_reshape_model({1, 1, 96, 32})
                                           : varnel_test::fixed_reshape_model({1, 9216, 5});
        ASSERT_TRUE(dir_.add_model_bytes(det_fails ? "boxv3.p" : "ocrv4_cn.p", onnx));
        if (det_fails) {
            ASSERT_TRUE(dir_.add_model("ocrv4_cn.p", varnel_test::data_path("rec_bars.onnx")));
        } else {
            ASSERT_TRUE(dir_.add_model("boxv3.p", varnel_test::data_path("det_dark.onnx")));
        }
        ASSERT_TRUE(dir_.add_copy("ocrv3_cn.txt", varnel_test::data_path("rec_bars_dict.txt")));
        int ret = 1;
        captured([&] { ret = ocr_.initModel(dir_.path(), 0, 0); });
        ASSERT_EQ(ret, 0);
    }
    varnel_test::ModelDir dir_;
    OCR::ocr ocr_;
};

TEST_P(PipelineFailure, AFailedStageGivesNoRecords) {
    const bool det_fails = std::string(GetParam()) == "det";
    // The wide bar's crop is wider than 6.67 times its height.
    cv::Mat img = page(640, 200, {cv::Rect(50, 50, 400, 20)});
    std::vector<cv::Mat> imgs = {img};
    Table t = zero_table();
    std::vector<OCRPredictResult> res;
    std::string out = captured([&] { res = ocr_.run_batch(imgs, true, true, t); });
    EXPECT_TRUE(res.empty());
    EXPECT_TRUE(contains(out, det_fails ? "detection failed: " : "recognition failed: ")) << out;
    EXPECT_FALSE(contains(out, "total: ")) << out;
    EXPECT_EQ(t, zero_table());  // a failed request adds no times

    out = captured([&] { res = ocr_.run(img, true, true, t); });
    EXPECT_TRUE(res.empty());
    EXPECT_TRUE(contains(out, det_fails ? "detection failed: " : "recognition failed: ")) << out;

    // The stages themselves: the failing one says -1 and hands back nothing.
    std::vector<OCRPredictResult> dets = {OCRPredictResult{}};
    std::vector<double> times(3, 0.0);
    int rc = 0;
    captured([&] { rc = ocr_.det_batch(imgs, dets, times); });
    EXPECT_EQ(rc, det_fails ? -1 : 0);
    EXPECT_EQ(dets.size(), det_fails ? 0u : 1u);
    if (!det_fails) {
        std::vector<cv::Mat> crops = {OCR::Utility::GetRotateCropImage(img, dets[0].box)};
        dets[0].text = "before";
        captured([&] { rc = ocr_.rec(crops, dets, times); });
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(dets[0].text, "before");
    }
}

INSTANTIATE_TEST_SUITE_P(Stages, PipelineFailure, testing::Values("det", "rec"));

TEST(PipelineNoModels, EmptyListGivesNoResults) {
    OCR::ocr p;
    std::vector<cv::Mat> none;
    Table t = zero_table();
    EXPECT_TRUE(p.run_batch(none, true, true, t).empty());
    EXPECT_EQ(p.detector != nullptr && p.recognizer != nullptr, true);
    EXPECT_EQ(p.classifier, nullptr);
}

TEST(PipelineInit, FirstFailingLoaderCode) {
    varnel_test::ModelDir empty;
    OCR::ocr p;
    int ret = 0;
    std::string out = captured([&] { ret = p.initModel(empty.path(), 0, 0); });
    EXPECT_EQ(ret, -1);
    EXPECT_TRUE(contains(out, "Model box file not found")) << out;
    EXPECT_FALSE(contains(out, "model file not found")) << out;  // the recogniser is not tried

    varnel_test::ModelDir det_only;
    ASSERT_TRUE(det_only.add_model("boxv3.p", varnel_test::data_path("det_dark.onnx")));
    OCR::ocr q;
    out = captured([&] { ret = q.initModel(det_only.path(), 0, 0); });
    EXPECT_EQ(ret, -1);
    EXPECT_TRUE(contains(out, "model file not found: " + det_only.file("ocrv4_cn.p"))) << out;

    // The GPU road loads the dictionary only.
    ASSERT_TRUE(det_only.add_copy("ocrv3_cn.txt", varnel_test::data_path("rec_bars_dict.txt")));
    OCR::ocr g;
    out = captured([&] { ret = g.initModel(det_only.path(), 1, 0); });
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(g.recognizer->label_list.size(), 5u);
    EXPECT_EQ(g.detector->session, nullptr);
}

}  // namespace
