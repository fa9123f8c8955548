// Host entry points. This file declares the entry points and the result
// record itself, as a host does, instead of including the library's header:
// it compiles and links only while those declarations match the library.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "model_dir.h"
#include "test_support.h"

// ---- the host's own declarations
namespace OCR {
class ocr;
}

struct BOX_RESULT {
    int imgid;
    std::string text;
    int matched;
    std::vector<cv::Point> points;
};

extern OCR::ocr* g_ocr;
extern int g_use_cuda;
extern int g_scanimage;

int init_crnn(std::string& model_dir, const char* device, int n);
void uninit_crnn();
int crnn_ocr(cv::Mat& img, int reserved_filter, int min_crop_h, int max_crop_h, int min_crop_w, int max_crop_w,
             float unused_value, char* unused_text, char* pattern, std::vector<BOX_RESULT>& results);
int crnn_ocr_batch(std::vector<cv::Mat>& imgs, int reserved_filter, int min_crop_h, int max_crop_h, int min_crop_w,
                   int max_crop_w, float unused_value, char* unused_text, char* pattern,
                   std::vector<BOX_RESULT>& results);
void setScanImage(int v);
void setDebugShow(int v);
void zel_set_log_dummy(int v);
// ----

namespace {

using varnel_test::captured;
using varnel_test::contains;
using varnel_test::page;

// A wide bar reads "B"; a narrow one, padded with grey, "BB".
const cv::Rect kWide(100, 60, 400, 20);
const cv::Rect kNarrow(120, 200, 60, 30);

BOX_RESULT stale_record() {
    BOX_RESULT r;
    r.imgid = 42;
    r.text = "stale";
    r.matched = 1;
    r.points = {cv::Point(1, 2)};
    return r;
}

int request(cv::Mat& img, const char* pattern, std::vector<BOX_RESULT>& results, std::string* out = nullptr,
            int min_h = 0, int max_h = 0, int min_w = 0, int max_w = 0) {
    std::string pat(pattern);
    char unused[] = "unused";
    int ret = 0;
    const std::string o = captured(
        [&] { ret = crnn_ocr(img, 0, min_h, max_h, min_w, max_w, 0.5f, unused, &pat[0], results); });
    if (out != nullptr) *out = o;
    return ret;
}

int request_batch(std::vector<cv::Mat>& imgs, const char* pattern, std::vector<BOX_RESULT>& results,
                  std::string* out = nullptr) {
    std::string pat(pattern);
    int ret = 0;
    const std::string o =
        captured([&] { ret = crnn_ocr_batch(imgs, 0, 0, 0, 0, 0, 0.f, nullptr, &pat[0], results); });
    if (out != nullptr) *out = o;
    return ret;
}

class Crnn : public testing::Test {
protected:
    void SetUp() override {
        bool ok = false;
        dir_ = varnel_test::make_test_model_dir(&ok);
        ASSERT_TRUE(ok);
        std::string path = dir_.path();
        int ret = 1;
        captured([&] { ret = init_crnn(path, "cpu", 0); });
        ASSERT_EQ(ret, 0);
        ASSERT_NE(g_ocr, nullptr);
    }
    void TearDown() override {
        captured([] { uninit_crnn(); });
        setDebugShow(0);
        zel_set_log_dummy(0);
    }
    varnel_test::ModelDir dir_;
};

// ------------------------------------------------------------ list checks

TEST_F(Crnn, EmptyListIsRejected) {
    std::vector<cv::Mat> none;
    std::vector<BOX_RESULT> results = {stale_record()};
    std::string out;
    EXPECT_EQ(request_batch(none, "x", results, &out), -1);
    EXPECT_EQ(out, "no image given\n");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].text, "stale");
}

TEST_F(Crnn, BatchOfDifferentSizesIsRejected) {
    std::vector<BOX_RESULT> results = {stale_record()};
    std::string out;
    std::vector<cv::Mat> wider = {page(200, 100, {}), page(200, 100, {}), page(201, 100, {})};
    EXPECT_EQ(request_batch(wider, "x", results, &out), -1);
    EXPECT_EQ(out, "\xE6\x89\xB9\xE5\xA4\x84\xE7\x90\x86\xE7\x9A\x84\xE5\x9B\xBE\xE7\x89\x87\xE9\x9C\x80\xE8\xA6\x81"
                   "\xE5\xA4\xA7\xE5\xB0\x8F\xE4\xB8\x80\xE8\x87\xB4\n");  // 批处理的图片需要大小一致
    std::vector<cv::Mat> taller = {page(200, 100, {}), page(200, 99, {})};
    EXPECT_EQ(request_batch(taller, "x", results, &out), -1);
    EXPECT_EQ(out, "批处理的图片需要大小一致\n");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].text, "stale");

    // Same size, different channel counts: accepted.
    cv::Mat grey(100, 200, CV_8UC1, cv::Scalar(0));
    std::vector<cv::Mat> mixed = {page(200, 100, {}), grey};
    EXPECT_EQ(request_batch(mixed, "x", results, &out), 0);
    EXPECT_TRUE(results.empty());
}

// ------------------------------------------------------------ requests

TEST_F(Crnn, RecordsCountsAndLogLines) {
    cv::Mat img = page(800, 300, {kWide, kNarrow});
    std::vector<BOX_RESULT> results = {stale_record()};
    std::string out;
    EXPECT_EQ(request(img, "B", results, &out), 2);
    ASSERT_EQ(results.size(), 2u);
    for (const BOX_RESULT& r : results) {
        EXPECT_EQ(r.imgid, 0);
        EXPECT_EQ(r.matched, 1);
        ASSERT_EQ(r.points.size(), 4u);
        // Corners in box order: top-left, top-right, bottom-right, bottom-left.
        EXPECT_LT(r.points[0].x, r.points[1].x);
        EXPECT_LT(r.points[1].y, r.points[2].y);
        EXPECT_GT(r.points[2].x, r.points[3].x);
        EXPECT_GT(r.points[3].y, r.points[0].y);
    }
    const BOX_RESULT& wide = results[0].points[0].y < results[1].points[0].y ? results[0] : results[1];
    const BOX_RESULT& narrow = &wide == &results[0] ? results[1] : results[0];
    EXPECT_EQ(wide.text, "B");
    EXPECT_EQ(narrow.text, "BB");
    EXPECT_LE(wide.points[0].x, kWide.x);
    EXPECT_GE(wide.points[2].x, kWide.x + kWide.width - 1);
    EXPECT_LE(wide.points[0].y, kWide.y);
    EXPECT_GE(wide.points[2].y, kWide.y + kWide.height - 1);
    EXPECT_TRUE(contains(out, "00: B:1\n")) << out;
    EXPECT_TRUE(contains(out, "00: BB:1\n")) << out;
    EXPECT_TRUE(contains(out, ">> found count = 2 <<<\n")) << out;

    // Records come in the pipeline's order; the match flag follows the search.
    EXPECT_EQ(request(img, "^B$", results, &out), 1);
    EXPECT_EQ(wide.text == results[0].text ? results[0].matched : results[1].matched, 1);
    EXPECT_TRUE(contains(out, "00: BB:0\n")) << out;
    EXPECT_TRUE(contains(out, ">> found count = 1 <<<\n")) << out;
    EXPECT_EQ(request(img, "BB", results), 1);  // found inside the text: a search
    EXPECT_EQ(request(img, "", results), 2);    // the empty pattern matches everything
    EXPECT_EQ(request(img, "[AC]", results), 0);
    EXPECT_EQ(results.size(), 2u);
    for (const BOX_RESULT& r : results) EXPECT_EQ(r.matched, 0);
}

TEST_F(Crnn, InvalidPatternThrowsWithEmptyList) {
    cv::Mat img = page(800, 300, {kWide});
    std::vector<BOX_RESULT> results = {stale_record()};
    testing::internal::CaptureStdout();
    EXPECT_THROW(
        {
            char pat[] = "(";
            crnn_ocr(img, 0, 0, 0, 0, 0, 0.f, nullptr, pat, results);
        },
        std::regex_error);
    fflush(stdout);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(results.empty());
}

TEST_F(Crnn, NullPatternIsRefused) {
    cv::Mat img = page(800, 300, {kWide});
    std::vector<BOX_RESULT> results = {stale_record()};
    int ret = 0;
    const std::string out = captured([&] { ret = crnn_ocr(img, 0, 0, 0, 0, 0, 0.f, nullptr, nullptr, results); });
    EXPECT_EQ(ret, -1);
    EXPECT_EQ(out, "no pattern given\n");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].text, "stale");
}

TEST_F(Crnn, LongTextIsCutOnTheRecordLineOnly) {
    // The dictionary's "B" entry is 1201 bytes: "x" and 400 three-byte
    // characters. The record line holds at most 960 bytes of text, cut
    // before the character that byte 960 belongs to.
    std::string long_entry = "x";
    for (int i = 0; i < 400; ++i) long_entry += "汉";
    varnel_test::ModelDir dir;
    ASSERT_TRUE(dir.add_model("boxv3.p", varnel_test::data_path("det_dark.onnx")));
    ASSERT_TRUE(dir.add_model("ocrv4_cn.p", varnel_test::data_path("rec_bars.onnx")));
    ASSERT_TRUE(dir.add_text("ocrv3_cn.txt", "A\n" + long_entry + "\nC\n"));
    std::string path = dir.path();
    int ret = 1;
    captured([&] { ret = init_crnn(path, "cpu", 0); });
    ASSERT_EQ(ret, 0);

    cv::Mat img = page(800, 300, {kWide});
    std::vector<BOX_RESULT> results;
    std::string out;
    EXPECT_EQ(request(img, "x", results, &out), 1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].text, long_entry);  // the record keeps the whole text
    EXPECT_TRUE(contains(out, "00: " + long_entry.substr(0, 958) + ":1\n")) << out;
    EXPECT_FALSE(contains(out, long_entry.substr(0, 959)));
}

TEST_F(Crnn, ImageWithoutText) {
    cv::Mat img = page(640, 480, {});
    std::vector<BOX_RESULT> results = {stale_record()};
    std::string out;
    EXPECT_EQ(request(img, "", results, &out), 0);
    EXPECT_TRUE(results.empty());
    EXPECT_TRUE(contains(out, ">> found count = 0 <<<\n")) << out;
}

TEST_F(Crnn, CropLimitsArePassedToThePipeline) {
    cv::Mat img = page(800, 300, {kWide, kNarrow});
    std::vector<BOX_RESULT> results;
    // The narrow bar's crop is about 100 wide, the wide bar's about 440.
    EXPECT_EQ(request(img, "", results, nullptr, 0, 0, 200, 0), 1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].text, "B");
    EXPECT_EQ(request(img, "", results, nullptr, 0, 0, 0, 200), 1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].text, "BB");
    EXPECT_EQ(request(img, "", results, nullptr, 1000, 0, 0, 0), 0);
    EXPECT_TRUE(results.empty());
}

TEST_F(Crnn, BatchMatchesSingleCallsAndPadsTheIndex) {
    std::vector<cv::Mat> imgs = {page(640, 300, {}), page(640, 300, {cv::Rect(50, 50, 400, 20)}), page(640, 300, {}),
                                 page(640, 300, {cv::Rect(60, 100, 420, 18), cv::Rect(60, 200, 50, 30)})};
    std::vector<BOX_RESULT> batch;
    std::string out;
    EXPECT_EQ(request_batch(imgs, "^B$", batch, &out), 2);
    ASSERT_EQ(batch.size(), 3u);
    EXPECT_EQ(batch[0].imgid, 1);
    EXPECT_EQ(batch[1].imgid, 3);
    EXPECT_EQ(batch[2].imgid, 3);
    EXPECT_TRUE(contains(out, "01: B:1\n")) << out;
    EXPECT_TRUE(contains(out, "03: BB:0\n")) << out;

    size_t k = 0;
    for (int i = 0; i < 4; ++i) {
        std::vector<BOX_RESULT> single;
        request(imgs[i], "^B$", single);
        for (const BOX_RESULT& s : single) {
            ASSERT_LT(k, batch.size());
            EXPECT_EQ(batch[k].imgid, i);
            EXPECT_EQ(batch[k].text, s.text);
            EXPECT_EQ(batch[k].points, s.points);
            EXPECT_EQ(batch[k].matched, s.matched);
            EXPECT_EQ(s.imgid, 0);
            ++k;
        }
    }
    EXPECT_EQ(k, batch.size());
}

TEST_F(Crnn, QuietSwitchSilencesRecordLines) {
    cv::Mat img = page(800, 300, {kWide});
    std::vector<BOX_RESULT> results;
    zel_set_log_dummy(1);
    std::string out;
    EXPECT_EQ(request(img, "B", results, &out), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(results.size(), 1u);
}

// ------------------------------------------------------------ images of every kind

TEST_F(Crnn, GreyAndFourChannelImagesAreConvertedOnCopies) {
    // Grey values are inverted: a white bar on black reads as a black bar.
    cv::Mat grey(300, 800, CV_8UC1, cv::Scalar(0));
    grey(kWide).setTo(cv::Scalar(255));
    const cv::Mat grey_before = grey.clone();
    std::vector<BOX_RESULT> results;
    EXPECT_EQ(request(grey, "B", results), 1);
    EXPECT_EQ(grey.type(), CV_8UC1);
    EXPECT_EQ(cv::norm(grey, grey_before, cv::NORM_INF), 0.0);

    // Four channels: the ink is in the alpha channel.
    cv::Mat bgra(300, 800, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    bgra(kWide).setTo(cv::Scalar(0, 0, 0, 255));
    const cv::Mat bgra_before = bgra.clone();
    EXPECT_EQ(request(bgra, "B", results), 1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].text, "B");
    EXPECT_EQ(bgra.type(), CV_8UC4);
    EXPECT_EQ(cv::norm(bgra, bgra_before, cv::NORM_INF), 0.0);

    // The batch road converts them the same way.
    std::vector<cv::Mat> imgs = {bgra, page(800, 300, {kWide})};
    EXPECT_EQ(request_batch(imgs, "B", results), 2);
    EXPECT_EQ(imgs[0].type(), CV_8UC4);
}

TEST_F(Crnn, ExtremeSizesGiveAClearResult) {
    std::vector<BOX_RESULT> results;
    cv::Mat one(1, 1, CV_8UC3, cv::Scalar::all(0));
    EXPECT_EQ(request(one, "", results), 0);
    EXPECT_TRUE(results.empty());

    cv::Mat long_strip(10, 100000, CV_8UC3, cv::Scalar::all(255));
    long_strip(cv::Rect(1000, 2, 60000, 6)).setTo(cv::Scalar::all(0));
    // The bar's crop is wider than the image library warps in one go;
    // it is cut all the same, then dropped: the floors of a 100000-pixel
    // wide image are 1041 x 677 pixels.
    std::string out;
    EXPECT_EQ(request(long_strip, "", results, &out), 0);
    EXPECT_TRUE(results.empty());
    EXPECT_TRUE(contains(out, ">> found count = 0 <<<\n")) << out;
}

TEST_F(Crnn, UnusableImagesAreRefused) {
    struct Case {
        cv::Mat img;
        std::string message;
    };
    const std::vector<Case> cases = {
        {cv::Mat(), "image 0 is empty\n"},
        {cv::Mat(100, 200, CV_16UC3, cv::Scalar::all(1000)), "image 0 is not an 8-bit image (depth 2)\n"},
        {cv::Mat(100, 200, CV_32FC3, cv::Scalar::all(0.5)), "image 0 is not an 8-bit image (depth 5)\n"},
        {cv::Mat(100, 200, CV_8UC2, cv::Scalar::all(3)), "image 0 has 2 channels; 1, 3 or 4 are accepted\n"},
    };
    for (const Case& c : cases) {
        cv::Mat img = c.img;
        std::vector<BOX_RESULT> results = {stale_record()};
        std::string out;
        EXPECT_EQ(request(img, "", results, &out), -1);
        EXPECT_EQ(out, c.message);
        EXPECT_EQ(results.size(), 1u);
    }
    // In a batch the position of the image is named.
    std::vector<cv::Mat> imgs = {page(200, 100, {}), cv::Mat(100, 200, CV_16UC3, cv::Scalar::all(0))};
    std::vector<BOX_RESULT> results;
    std::string out;
    EXPECT_EQ(request_batch(imgs, "", results, &out), -1);
    EXPECT_EQ(out, "image 1 is not an 8-bit image (depth 2)\n");
}

// ------------------------------------------------------------ debug drawing from a request

TEST_F(Crnn, DebugShowDrawsIntoTheHostImage) {
    const char* display = getenv("DISPLAY");
    const std::string saved = display != nullptr ? display : "";
    unsetenv("DISPLAY");  // no window can be shown: the drawing is reported
    setDebugShow(1);
    cv::Mat img = page(800, 300, {kWide, kNarrow});
    std::vector<BOX_RESULT> results;
    bool thrown = false;
    testing::internal::CaptureStdout();
    try {
        char pat[] = "^B$";
        crnn_ocr(img, 0, 0, 0, 0, 0, 0.f, nullptr, pat, results);
    } catch (const cv::Exception& e) {
        thrown = true;
        EXPECT_TRUE(contains(e.what(), "boxes")) << e.what();
    }
    fflush(stdout);
    testing::internal::GetCapturedStdout();
    if (!saved.empty()) setenv("DISPLAY", saved.c_str(), 1);
    EXPECT_TRUE(thrown);
    ASSERT_EQ(results.size(), 2u);  // the list was filled before the drawing
    int green = 0, red = 0;
    for (int r = 0; r < img.rows; ++r)
        for (int c = 0; c < img.cols; ++c) {
            const cv::Vec3b p = img.at<cv::Vec3b>(r, c);
            if (p == cv::Vec3b(0, 255, 0)) ++green;
            if (p == cv::Vec3b(0, 0, 255)) ++red;
        }
    EXPECT_GT(green, 100);  // the matched wide bar
    EXPECT_GT(red, 100);    // the unmatched narrow bar

    // A batch of two draws nothing.
    std::vector<cv::Mat> imgs = {page(800, 300, {kWide}), page(800, 300, {kWide})};
    const cv::Mat before = imgs[0].clone();
    unsetenv("DISPLAY");
    EXPECT_EQ(request_batch(imgs, "B", results), 2);
    if (!saved.empty()) setenv("DISPLAY", saved.c_str(), 1);
    EXPECT_EQ(cv::norm(imgs[0], before, cv::NORM_INF), 0.0);
}

// ------------------------------------------------------------ failed passes

// Level-1 lines only while a test runs; the pipeline is gone afterwards.
class CrnnFailure : public testing::Test {
protected:
    void SetUp() override { zel_set_log_dummy(1); }
    void TearDown() override {
        zel_set_log_dummy(0);
        captured([] { uninit_crnn(); });
    }
    void init(const varnel_test::ModelDir& dir) {
        std::string path = dir.path();
        int ret = 1;
        const std::string out = captured([&] { ret = init_crnn(path, "cpu", 0); });
        ASSERT_EQ(ret, 0) << out;
    }
};

TEST_F(CrnnFailure, DetectionPassThatFailsIsMinusOneNotAnEmptyPage) {
    // The detection network runs only for inputs of 3 x 32 x 32 values.
    varnel_test::ModelDir dir;
    ASSERT_TRUE(dir.add_model_bytes("boxv3.p", varnel_test::fixed_reshape_model({1, 1, 96, 32})));
    ASSERT_TRUE(dir.add_model("ocrv4_cn.p", varnel_test::data_path("rec_bars.onnx")));
    ASSERT_TRUE(dir.add_copy("ocrv3_cn.txt", varnel_test::data_path("rec_bars_dict.txt")));
    init(dir);

    cv::Mat img = page(800, 300, {kWide});
    std::vector<BOX_RESULT> results = {stale_record()};
    std::string out;
    EXPECT_EQ(request(img, "", results, &out), -1);
    EXPECT_TRUE(results.empty());
    EXPECT_EQ(out,
              "inference failed: the network cannot run at this size (engine code 3) on an input of "
              "1 x 3 x 352 x 832 values\n"
              "detection failed: no output for a batch of 1 image(s) of 800 x 300\n");

    std::vector<cv::Mat> imgs = {img, img};
    results = {stale_record()};
    EXPECT_EQ(request_batch(imgs, "", results, &out), -1);
    EXPECT_TRUE(results.empty());
    EXPECT_TRUE(contains(out, "detection failed: no output for a batch of 2 image(s) of 800 x 300\n")) << out;
}

TEST_F(CrnnFailure, RecognitionPassThatFailsIsMinusOneWithNoRecords) {
    // The recognition network runs only for inputs of 3 x 48 x 320 values:
    // lines up to 6.67 times wider than high.
    varnel_test::ModelDir dir;
    ASSERT_TRUE(dir.add_model("boxv3.p", varnel_test::data_path("det_dark.onnx")));
    ASSERT_TRUE(dir.add_model_bytes("ocrv4_cn.p", varnel_test::fixed_reshape_model({1, 9216, 5})));
    ASSERT_TRUE(dir.add_copy("ocrv3_cn.txt", varnel_test::data_path("rec_bars_dict.txt")));
    init(dir);

    cv::Mat narrow_only = page(800, 300, {kNarrow});
    std::vector<BOX_RESULT> results;
    std::string out;
    EXPECT_EQ(request(narrow_only, "", results, &out), 1);
    EXPECT_EQ(results.size(), 1u);
    EXPECT_EQ(out, "");

    // The wide line's crop needs a wider input: the pass fails, and the
    // narrow line read before it is not handed back either.
    cv::Mat both = page(800, 300, {kWide, kNarrow});
    results = {stale_record()};
    EXPECT_EQ(request(both, "", results, &out), -1);
    EXPECT_TRUE(results.empty());
    EXPECT_TRUE(contains(out, "inference failed: the network cannot run at this size (engine code 3)")) << out;
    EXPECT_TRUE(contains(out, "\nrecognition failed: no output for text line ")) << out;
}

TEST_F(CrnnFailure, BatchLargerThanTheEngineTakesIsMinusOne) {
    bool ok = false;
    varnel_test::ModelDir dir = varnel_test::make_test_model_dir(&ok);
    ASSERT_TRUE(ok);
    init(dir);
    // 82 full-HD pages make a detection input of 82 x 3 x 1120 x 1952
    // values, past the engine's 2^31-byte cap. The 82 headers share one
    // page's pixels (6 MB).
    const cv::Mat hd = page(1920, 1080, {cv::Rect(100, 100, 600, 40)});
    std::vector<cv::Mat> imgs(82, hd);
    ASSERT_EQ(imgs.back().data, hd.data);
    std::vector<BOX_RESULT> results = {stale_record()};
    std::string out;
    struct rusage before {};
    ASSERT_EQ(getrusage(RUSAGE_SELF, &before), 0);
    EXPECT_EQ(request_batch(imgs, "", results, &out), -1);
    struct rusage after {};
    ASSERT_EQ(getrusage(RUSAGE_SELF, &after), 0);
    EXPECT_TRUE(results.empty());
    EXPECT_EQ(out,
              "inference failed: the engine refused an input of 82 x 3 x 1120 x 1952 values\n"
              "detection failed: no output for a batch of 82 image(s) of 1920 x 1080\n");
    // The batch is refused before it is preprocessed: its float planes and
    // packed input (4.3 GB) are never made.
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 512L * 1024) << "peak grew by " << after.ru_maxrss - before.ru_maxrss
                                                               << " kB";
}

// ------------------------------------------------------------ life cycle

TEST(CrnnLifecycle, RequestWithoutPipeline) {
    captured([] { uninit_crnn(); });
    ASSERT_EQ(g_ocr, nullptr);
    cv::Mat img = page(200, 100, {});
    std::vector<BOX_RESULT> results = {stale_record()};
    std::string out;
    EXPECT_EQ(request(img, "", results, &out), -1);
    EXPECT_EQ(out, "crnn is not initialized\n");
    EXPECT_EQ(results.size(), 1u);
}

TEST(CrnnLifecycle, FailedInitCodesAndRequestsAfterThem) {
    varnel_test::ModelDir empty;
    std::string path = empty.path();
    int ret = 0;
    std::string out = captured([&] { ret = init_crnn(path, "cpu", 0); });
    EXPECT_EQ(ret, -1);
    EXPECT_EQ(out, "Model box file not found: " + empty.file("boxv3.p") + "\nload model error!\n\n");
    EXPECT_NE(g_ocr, nullptr);  // the pipeline stays until uninit_crnn

    cv::Mat img = page(200, 100, {});
    std::vector<BOX_RESULT> results = {stale_record()};
    EXPECT_EQ(request(img, "", results, &out), -1);
    EXPECT_EQ(out, "crnn model is not loaded\n");
    EXPECT_EQ(results.size(), 1u);

    // A model file the reader refuses.
    ASSERT_TRUE(empty.add_copy("boxv3.p", varnel_test::data_path("garbage.bin")));
    out = captured([&] { ret = init_crnn(path, "cpu", 0); });
    EXPECT_EQ(ret, -1002);
    EXPECT_TRUE(contains(out, "load model " + empty.file("boxv3.p") + " fail.\n")) << out;

    // The recogniser's model missing.
    ASSERT_TRUE(empty.add_model("boxv3.p", varnel_test::data_path("det_dark.onnx")));
    out = captured([&] { ret = init_crnn(path, "cpu", 0); });
    EXPECT_EQ(ret, -1);
    EXPECT_TRUE(contains(out, "model file not found: " + empty.file("ocrv4_cn.p") + "\nload model error!\n")) << out;

    out = captured([] { uninit_crnn(); });
    EXPECT_EQ(out, "unload crnn_cn model.\n");
    EXPECT_EQ(g_ocr, nullptr);
    out = captured([] { uninit_crnn(); });  // nothing left: nothing done, nothing logged
    EXPECT_EQ(out, "");
}

TEST(CrnnLifecycle, SecondInitReplacesThePipeline) {
    bool ok = false;
    varnel_test::ModelDir dir = varnel_test::make_test_model_dir(&ok);
    ASSERT_TRUE(ok);
    std::string path = dir.path();
    int ret = 1;
    captured([&] { ret = init_crnn(path, "cpu", 0); });
    ASSERT_EQ(ret, 0);
    std::string out = captured([&] { ret = init_crnn(path, "cpu", 7); });
    EXPECT_EQ(ret, 0);
    EXPECT_TRUE(contains(out, "unload crnn_cn model.\n")) << out;
    cv::Mat img = page(800, 300, {kWide});
    std::vector<BOX_RESULT> results;
    EXPECT_EQ(request(img, "B", results), 1);
    captured([] { uninit_crnn(); });
}

TEST(CrnnLifecycle, DeviceNameSelectsTheRoad) {
    bool ok = false;
    varnel_test::ModelDir dir = varnel_test::make_test_model_dir(&ok);
    ASSERT_TRUE(ok);
    std::string path = dir.path();
    int ret = 1;
    for (const char* name : {"CUDA", "cuda ", "cpu", ""}) {
        captured([&] { ret = init_crnn(path, name, 0); });
        EXPECT_EQ(ret, 0) << name;
        EXPECT_EQ(g_use_cuda, 0) << name;
    }
    g_use_cuda = 1;
    captured([&] { ret = init_crnn(path, nullptr, 0); });  // no name: the CPU road
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(g_use_cuda, 0);

    // The GPU road: only the dictionary is loaded, every request returns
    // cleanly without text.
    varnel_test::ModelDir dict_only;
    ASSERT_TRUE(dict_only.add_copy("ocrv3_cn.txt", varnel_test::data_path("rec_bars_dict.txt")));
    std::string dict_path = dict_only.path();
    std::string out = captured([&] { ret = init_crnn(dict_path, "cuda", 0); });
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(g_use_cuda, 1);
    EXPECT_TRUE(contains(out, "dict [" + dict_only.file("ocrv3_cn.txt") + "] loaded\n")) << out;
    cv::Mat img = page(800, 300, {kWide});
    std::vector<BOX_RESULT> results = {stale_record()};
    EXPECT_EQ(request(img, "", results, &out), 0);
    EXPECT_TRUE(results.empty());
    EXPECT_TRUE(contains(out, ">> found count = 0 <<<\n")) << out;
    std::vector<cv::Mat> imgs = {img, img};
    EXPECT_EQ(request_batch(imgs, "", results), 0);

    captured([] { uninit_crnn(); });
    EXPECT_EQ(g_use_cuda, 1);  // kept until the next init_crnn
    captured([&] { ret = init_crnn(path, "cpu", 0); });
    EXPECT_EQ(g_use_cuda, 0);
    captured([] { uninit_crnn(); });
}

TEST(CrnnLifecycle, ScanSwitchOnlyEverTurnsOn) {
    setScanImage(0);
    EXPECT_EQ(g_scanimage, 1);
    setScanImage(5);
    EXPECT_EQ(g_scanimage, 1);
}

}  // namespace
