// The recogniser: loading (paths, messages, codes, class-count check) and
// recognition with greedy CTC decoding, on the small bar-code network
// (one step per 4 columns: dark -> "A", mid grey -> "B", white -> blank).
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "global.h"
#include "model_dir.h"
#include "rec.h"
#include "rec_internal.h"
#include "test_support.h"
#include "zel_log.h"

namespace {

using varnel_test::data_path;
using varnel_test::ModelDir;
using varnel_test::captured;
using varnel_test::contains;

// A model directory with the recogniser files only.
ModelDir rec_dir(bool with_model = true, bool with_dict = true) {
    ModelDir dir;
    if (with_model) {
        EXPECT_TRUE(dir.add_model("ocrv4_cn.p", data_path("rec_bars.onnx")));
    }
    if (with_dict) {
        EXPECT_TRUE(dir.add_copy("ocrv3_cn.txt", data_path("rec_bars_dict.txt")));
    }
    return dir;
}

// A well-formed model file "ocrv4_cn.p" whose payload no engine loads.
bool add_refused_model(const ModelDir& dir) {
    std::vector<unsigned char> junk(4000);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<unsigned char>((i * 7919u + 13u) >> 3);
    return dir.add_model_bytes("ocrv4_cn.p", junk);
}

// ------------------------------------------------------------ loading

TEST(TextRecLoad, LoadsModelAndDictionary) {
    ModelDir dir = rec_dir();
    OCR::TextRec rec;
    int ret = 1;
    const std::string out = captured([&] { ret = rec.initModel_mnn(dir.path(), 0, 0); });
    ASSERT_EQ(ret, 0) << out;
    EXPECT_TRUE(contains(out, "model [" + dir.file("ocrv4_cn.p") + "] loaded\n")) << out;
    EXPECT_TRUE(contains(out, "dict [" + dir.file("ocrv3_cn.txt") + "] loaded\n")) << out;
    EXPECT_NE(rec.session, nullptr);
    EXPECT_TRUE(rec.interpreter != nullptr);
    EXPECT_EQ(rec.label_list, (std::vector<std::string>{"#", "A", "B", "C", " "}));
}

TEST(TextRecLoad, MissingFiles) {
    {
        ModelDir dir = rec_dir(false, false);
        OCR::TextRec rec;
        int ret = 0;
        const std::string out = captured([&] { ret = rec.initModel_mnn(dir.path(), 0, 0); });
        EXPECT_EQ(ret, -1);
        EXPECT_EQ(out, "model file not found: " + dir.file("ocrv4_cn.p") + "\n");
    }
    {
        // The model is a file no engine takes: were it read, "load model"
        // would be logged. A missing dictionary stops before any reading.
        ModelDir dir;
        ASSERT_TRUE(dir.add_model("ocrv4_cn.p", data_path("garbage.bin")));
        OCR::TextRec rec;
        int ret = 0;
        const std::string out = captured([&] { ret = rec.initModel_mnn(dir.path(), 0, 0); });
        EXPECT_EQ(ret, -1);
        EXPECT_EQ(out, "keys file not found: " + dir.file("ocrv3_cn.txt") + "\n");
        EXPECT_TRUE(rec.label_list.empty());
    }
}

TEST(TextRecLoad, DirectoryIsJoinedUnchanged) {
    ModelDir dir = rec_dir(false, false);
    OCR::TextRec rec;
    const std::string out = captured([&] { rec.initModel_mnn(dir.path() + "/", 0, 0); });
    EXPECT_EQ(out, "model file not found: " + dir.path() + "//ocrv4_cn.p\n");
}

TEST(TextRecLoad, UnreadableOrRefusedModel) {
    {
        // Too short for the model file format: the reader refuses it.
        ModelDir dir = rec_dir(false, true);
        ASSERT_TRUE(dir.add_copy("ocrv4_cn.p", data_path("garbage.bin")));
        OCR::TextRec rec;
        int ret = 0;
        const std::string out = captured([&] { ret = rec.initModel_mnn(dir.path(), 0, 0); });
        EXPECT_EQ(ret, -1002);
        EXPECT_TRUE(contains(out, "load model " + dir.file("ocrv4_cn.p") + " fail.\n")) << out;
        EXPECT_TRUE(rec.interpreter == nullptr);
    }
    {
        // A well-formed model file whose payload the engine cannot load.
        ModelDir dir = rec_dir(false, true);
        ASSERT_TRUE(add_refused_model(dir));
        OCR::TextRec rec;
        int ret = 0;
        const std::string out = captured([&] { ret = rec.initModel_mnn(dir.path(), 0, 0); });
        EXPECT_EQ(ret, -1);
        EXPECT_TRUE(contains(out, "load model " + dir.file("ocrv4_cn.p") + " fail.\n")) << out;
        EXPECT_TRUE(rec.interpreter == nullptr);
        EXPECT_EQ(rec.session, nullptr);
    }
}

TEST(TextRecLoad, SecondLoadReplacesTheFirstModel) {
    ModelDir good = rec_dir();
    ModelDir refused = rec_dir(false, true);
    ASSERT_TRUE(add_refused_model(refused));

    auto* rec = new OCR::TextRec();
    int ret = 1;
    captured([&] { ret = rec->initModel_mnn(good.path(), 0, 0); });
    ASSERT_EQ(ret, 0);
    captured([&] { ret = rec->initModel_mnn(good.path(), 0, 0); });  // a second good load
    ASSERT_EQ(ret, 0);
    ASSERT_NE(rec->session, nullptr);
    std::vector<float> in(3 * 48 * 40, 1.0f);
    std::vector<int> in_shape = {1, 3, 48, 40};
    std::vector<int> out_shape;
    float* out = rec->mnn_infer(in.data(), in_shape, out_shape);
    EXPECT_NE(out, nullptr);
    delete[] out;

    // The engine refuses the next model: the earlier session went with the
    // earlier model, nothing of it is left behind to be released again.
    captured([&] { ret = rec->initModel_mnn(refused.path(), 0, 0); });
    EXPECT_EQ(ret, -1);
    EXPECT_EQ(rec->session, nullptr);
    EXPECT_TRUE(rec->interpreter == nullptr);
    out_shape = {1};
    EXPECT_EQ(rec->mnn_infer(in.data(), in_shape, out_shape), nullptr);
    EXPECT_TRUE(out_shape.empty());
    delete rec;
}

TEST(TextRecLoad, ClassCountMustMatchDictionary) {
    {
        // Four lines give six labels; the network has five classes.
        ModelDir dir = rec_dir(true, false);
        ASSERT_TRUE(dir.add_text("ocrv3_cn.txt", "A\nB\nC\nD\n"));
        auto* rec = new OCR::TextRec();
        int ret = 0;
        const std::string out = captured([&] { ret = rec->initModel_mnn(dir.path(), 0, 0); });
        EXPECT_EQ(ret, -1);
        EXPECT_TRUE(contains(out, "has 5 classes but dictionary " + dir.file("ocrv3_cn.txt") + " gives 6 labels")) << out;
        EXPECT_TRUE(contains(out, "recognition model " + dir.file("ocrv4_cn.p") + " refused")) << out;
        EXPECT_EQ(rec->session, nullptr);
        EXPECT_TRUE(rec->interpreter == nullptr);
        delete rec;  // destroyable after the refusal
    }
    {
        // The detection network in the recogniser's place: its output is a
        // probability map, not a sequence of class scores.
        ModelDir dir = rec_dir(false, true);
        ASSERT_TRUE(dir.add_model("ocrv4_cn.p", data_path("det_dark.onnx")));
        OCR::TextRec rec;
        int ret = 0;
        const std::string out = captured([&] { ret = rec.initModel_mnn(dir.path(), 0, 0); });
        EXPECT_EQ(ret, -1);
        EXPECT_TRUE(contains(out, "refused")) << out;
        EXPECT_EQ(rec.session, nullptr);
    }
}

TEST(TextRecLoad, UnopenableDictionaryIsRefusedWithoutEndingTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Run in a child without the rights to read the dictionary (root reads
    // any file, so the child gives them up first).
    ModelDir dir = rec_dir();
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(dir.file("ocrv4_cn.p").c_str(), 0644), 0);
    ASSERT_EQ(chmod(dir.file("ocrv3_cn.txt").c_str(), 0), 0);
    const std::string path = dir.path();
    EXPECT_EXIT(
        {
            dup2(2, 1);
            if (geteuid() == 0 && setuid(65534) != 0) _exit(3);
            OCR::TextRec mnn;
            const int a = mnn.initModel_mnn(path, 0, 0);
            OCR::TextRec cuda;
            const int b = cuda.initModel_cuda(path, 1, 0);
            fflush(stdout);
            _exit(a == -1 && b == -1 ? 0 : 4);
        },
        testing::ExitedWithCode(0), "keys file cannot be opened: .*ocrv3_cn.txt\n.*keys file cannot be opened");
}

TEST(TextRecLoad, GpuRoadLoadsDictionaryOnly) {
    ModelDir dir = rec_dir(false, true);
    OCR::TextRec rec;
    int ret = 1;
    const std::string out = captured([&] { ret = rec.initModel_cuda(dir.path(), 1, 0); });
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(out, "dict [" + dir.file("ocrv3_cn.txt") + "] loaded\n");
    EXPECT_EQ(rec.label_list.size(), 5u);
    EXPECT_EQ(rec.session, nullptr);

    ModelDir empty;
    OCR::TextRec missing;
    const std::string out2 = captured([&] { ret = missing.initModel_cuda(empty.path(), 1, 0); });
    EXPECT_EQ(ret, -1);
    EXPECT_EQ(out2, "keys file not found: " + empty.file("ocrv3_cn.txt") + "\n");
}

TEST(TextRecInfer, ForwardPassGivesSequenceShape) {
    ModelDir dir = rec_dir();
    OCR::TextRec rec;
    int ret = 1;
    captured([&] { ret = rec.initModel_mnn(dir.path(), 0, 0); });
    ASSERT_EQ(ret, 0);
    std::vector<float> in(2 * 3 * 48 * 40, 1.0f);  // white: blank everywhere
    std::vector<int> in_shape = {2, 3, 48, 40};
    std::vector<int> out_shape = {9, 9};
    float* out = rec.mnn_infer(in.data(), in_shape, out_shape);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out_shape, (std::vector<int>{2, 10, 5, 1}));
    for (int i = 0; i < 2 * 10; ++i) EXPECT_GT(out[i * 5], 0.99f);
    delete[] out;

    // No GPU back end: no output, empty shape.
    out_shape = {1, 2, 3, 4};
    EXPECT_EQ(rec.cuda_infer(in.data(), in_shape, out_shape), nullptr);
    EXPECT_TRUE(out_shape.empty());

    // An object that loaded nothing runs nothing, and says so.
    OCR::TextRec unloaded;
    out_shape = {1};
    std::string log = captured([&] { EXPECT_EQ(unloaded.mnn_infer(in.data(), in_shape, out_shape), nullptr); });
    EXPECT_EQ(log, "inference failed: no model loaded\n");
    EXPECT_TRUE(out_shape.empty());
}

// ------------------------------------------------------------ CTC decoding

// One step per class index: a score of 0.9 at that class, 0.1 / (K - 1) at
// every other one, K = 9.
std::vector<float> one_hot_steps(const std::vector<int>& classes, int k = 9) {
    std::vector<float> s;
    for (int c : classes) {
        for (int j = 0; j < k; ++j) s.push_back(j == c ? 0.9f : 0.1f / static_cast<float>(k - 1));
    }
    return s;
}

const std::vector<std::string> kLabels = {"#", "a", "b", "c", "d", "e", "f", "g", "h"};

std::string decoded(const std::vector<int>& classes, float* score = nullptr) {
    const std::vector<float> s = one_hot_steps(classes);
    std::string text;
    const float sc = OCR::detail::ctc_decode(s.data(), static_cast<int>(classes.size()), 9, kLabels, text);
    if (score != nullptr) *score = sc;
    return text;
}

TEST(CtcDecode, BlanksSeparateAndRepeatsCollapse) {
    EXPECT_EQ(decoded({5, 5, 0, 5}), "ee");  // the blank between keeps both
    EXPECT_EQ(decoded({0, 5, 5}), "e");
    EXPECT_EQ(decoded({5, 7, 5}), "ege");
    EXPECT_EQ(decoded({1, 1, 1, 2, 2, 0, 0, 2}), "abb");
    float score = 0.f;
    EXPECT_EQ(decoded({0, 0, 0}, &score), "");
    EXPECT_TRUE(std::isnan(score));  // nothing kept: no score
}

TEST(CtcDecode, TiesGoToTheLowerClass) {
    std::vector<float> s(9, 0.0f);
    s[3] = 0.5f;
    s[8] = 0.5f;
    std::string text;
    EXPECT_FLOAT_EQ(OCR::detail::ctc_decode(s.data(), 1, 9, kLabels, text), 0.5f);
    EXPECT_EQ(text, "c");
    // A tie with the blank is a blank: the step is dropped.
    s.assign(9, 0.0f);
    s[0] = 0.5f;
    s[4] = 0.5f;
    text.clear();
    EXPECT_TRUE(std::isnan(OCR::detail::ctc_decode(s.data(), 1, 9, kLabels, text)));
    EXPECT_EQ(text, "");
}

TEST(CtcDecode, ScoreIsTheMeanOfTheKeptMaxima) {
    // Steps: class 2 at 0.9, blank, class 2 at 0.7, class 2 at 0.3 (a
    // repeat, not kept): (0.9 + 0.7) / 2.
    std::vector<float> s(4 * 9, 0.01f);
    s[0 * 9 + 2] = 0.9f;
    s[1 * 9 + 0] = 0.95f;
    s[2 * 9 + 2] = 0.7f;
    s[3 * 9 + 2] = 0.3f;
    std::string text;
    EXPECT_FLOAT_EQ(OCR::detail::ctc_decode(s.data(), 4, 9, kLabels, text), 0.8f);
    EXPECT_EQ(text, "bb");
}

TEST(CtcDecode, ClassesWithoutEntryOrScoresAreNeverRead) {
    // Class 5 has no entry in a three-entry dictionary: skipped, but it
    // still separates the two 1s.
    const std::vector<float> s = one_hot_steps({1, 5, 1});
    std::string text;
    EXPECT_FLOAT_EQ(OCR::detail::ctc_decode(s.data(), 3, 9, {"#", "a", "b"}, text), 0.9f);
    EXPECT_EQ(text, "aa");
    text.clear();
    EXPECT_TRUE(std::isnan(OCR::detail::ctc_decode(s.data(), 3, 0, kLabels, text)));
    EXPECT_TRUE(std::isnan(OCR::detail::ctc_decode(nullptr, 3, 9, kLabels, text)));
    EXPECT_EQ(text, "");
}

TEST(CtcPathLogprob, SumOfTheStepsBestLogProbabilities) {
    // Three steps of three classes: the best classes' probabilities are
    // 0.5, 0.8 and 1.0.
    const std::vector<float> s = {0.5f, 0.3f, 0.2f, 0.1f, 0.8f, 0.1f, 0.0f, 0.0f, 1.0f};
    EXPECT_NEAR(OCR::detail::ctc_path_logprob(s.data(), 3, 3), std::log(0.5) + std::log(0.8), 1e-5);
    EXPECT_FLOAT_EQ(OCR::detail::ctc_path_logprob(s.data(), 0, 3), 0.0f);
    // A step with no probability left counts as very unlikely, not as
    // minus infinity.
    const std::vector<float> dead = {0.0f, 0.0f, 0.9f, 0.1f};
    const float p = OCR::detail::ctc_path_logprob(dead.data(), 2, 2);
    EXPECT_TRUE(std::isfinite(p));
    EXPECT_LT(p, -60.0f);
}

// ------------------------------------------------------------ recognition

// A 48-row crop from a string of 4-column strips: 'd' dark, 'g' mid grey
// (127), 'w' white. 48 rows keep the strips as they are through resizing.
cv::Mat strips(const std::string& pattern) {
    cv::Mat img(48, static_cast<int>(pattern.size()) * 4, CV_8UC3, cv::Scalar::all(255));
    for (size_t i = 0; i < pattern.size(); ++i) {
        const int v = pattern[i] == 'd' ? 0 : pattern[i] == 'g' ? 127 : 255;
        img(cv::Rect(static_cast<int>(i) * 4, 0, 4, 48)).setTo(cv::Scalar::all(v));
    }
    return img;
}

// Pads a pattern with white strips to 120 strips (480 columns, ten times
// the height): as wide as the network input, so no grey padding is added.
std::string wide(std::string pattern) {
    pattern.resize(120, 'w');
    return pattern;
}

class Recognise : public testing::Test {
protected:
    void SetUp() override {
        dir_ = rec_dir();
        int ret = 1;
        captured([&] { ret = rec_.initModel_mnn(dir_.path(), 0, 0); });
        ASSERT_EQ(ret, 0);
    }
    // Runs Model_Infer with the pipeline's defaults ("" and 0.0) unless
    // other starting values are given; returns the captured output.
    std::string run(const std::vector<cv::Mat>& crops, const std::string& text0 = "", float score0 = 0.0f) {
        texts_.assign(crops.size(), text0);
        scores_.assign(crops.size(), score0);
        times_.assign(3, -5.0);
        int rc = -2;
        const std::string out = captured([&] { rc = rec_.Model_Infer(crops, texts_, scores_, times_); });
        EXPECT_EQ(rc, 0) << out;
        return out;
    }

    ModelDir dir_;
    OCR::TextRec rec_;
    std::vector<std::string> texts_;
    std::vector<float> scores_;
    std::vector<double> times_;
};

TEST_F(Recognise, RepeatsCollapseAndBlanksSeparate) {
    run({strips(wide("wddwwdww")), strips(wide("wwddddww")), strips(wide("ddggdd")), strips(wide("dwgwd"))});
    EXPECT_EQ(texts_[0], "AA");   // dark, blank, dark: two labels
    EXPECT_EQ(texts_[1], "A");    // one run of dark steps: one label
    EXPECT_EQ(texts_[2], "ABA");  // label changes count without a blank
    EXPECT_EQ(texts_[3], "ABA");
    for (float s : scores_) {
        EXPECT_GT(s, 0.99f);
        EXPECT_LE(s, 1.0f);
    }
}

TEST_F(Recognise, NarrowCropIsPaddedWithGrey) {
    // 160 columns, ratio 3.33: resized to 160 x 48 and padded with grey up
    // to 320 columns, which the network reads as "B".
    run({strips("wwddddwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwww")});
    EXPECT_EQ(texts_[0], "AB");
}

TEST_F(Recognise, BlankSequenceKeepsCallersEntries) {
    run({strips(wide("w")), strips(wide("wdw"))}, "keep", 7.0f);
    EXPECT_EQ(texts_[0], "keep");
    EXPECT_FLOAT_EQ(scores_[0], 7.0f);
    EXPECT_EQ(texts_[1], "A");
}

TEST_F(Recognise, ResultsLandAtTheCropsOwnPositions) {
    // Wide, narrow, medium: processed narrowest first, written in place.
    const cv::Mat wide_crop = strips(std::string(30, 'w') + "ddwwddwwddww" + std::string(138, 'w'));  // 720 cols
    const cv::Mat narrow_crop = strips("wddw" + std::string(20, 'w'));                               // 96 cols
    const cv::Mat medium_crop = strips("wddwwddw" + std::string(52, 'w'));                           // 240 cols
    run({wide_crop, narrow_crop, medium_crop});
    EXPECT_EQ(texts_[0], "AAA");
    EXPECT_EQ(texts_[1], "AB");
    EXPECT_EQ(texts_[2], "AAB");
}

TEST_F(Recognise, TimesAndTimingLine) {
    const std::string out = run({});
    EXPECT_EQ(times_, (std::vector<double>{0.0, 0.0, 0.0}));
    EXPECT_EQ(out, "rec: 0 = 0 + 0 + 0 (ms)\n");

    const std::string out2 = run({strips(wide("wdw"))});
    for (double t : times_) EXPECT_GE(t, 0.0);
    char line[128];
    snprintf(line, sizeof line, "rec: %.0f = %.0f + %.0f + %.0f (ms)\n", times_[0] + times_[1] + times_[2], times_[0],
             times_[1], times_[2]);
    EXPECT_EQ(out2, line);
}

TEST_F(Recognise, CropsWithoutPixelsAreSkipped) {
    run({cv::Mat(), strips(wide("wdw")), cv::Mat(0, 10, CV_8UC3)}, "x", 2.0f);
    EXPECT_EQ(texts_[0], "x");
    EXPECT_FLOAT_EQ(scores_[0], 2.0f);
    EXPECT_EQ(texts_[1], "A");
    EXPECT_EQ(texts_[2], "x");
}

TEST_F(Recognise, GreyAndFourChannelCropsAreRead) {
    cv::Mat grey;
    cv::cvtColor(strips(wide("wdwgw")), grey, cv::COLOR_BGR2GRAY);
    cv::Mat bgra;
    cv::cvtColor(strips(wide("wdwdw")), bgra, cv::COLOR_BGR2BGRA);
    run({grey, bgra});
    EXPECT_EQ(texts_[0], "AB");
    EXPECT_EQ(texts_[1], "AA");
}

TEST_F(Recognise, ClassesBeyondTheDictionaryAreNeverRead) {
    rec_.label_list = {"#", "A"};  // the grey class 2 has no entry now
    run({strips(wide("wdwgwd"))});
    EXPECT_EQ(texts_[0], "AA");
}

TEST_F(Recognise, GpuRoadGivesNoResult) {
    g_use_cuda = 1;
    run({strips(wide("wdw")), strips(wide("wdwdw"))}, "keep", 3.0f);
    g_use_cuda = 0;
    EXPECT_EQ(texts_, (std::vector<std::string>{"keep", "keep"}));
    EXPECT_EQ(scores_, (std::vector<float>{3.0f, 3.0f}));
}

// ------------------------------------------------------------ failed passes

TEST(TextRecInfer, APassTheNetworkCannotRunFailsTheWholeCall) {
    // A network that runs only for inputs of 3 x 48 x 320 values (the
    // loader's probe size and every crop up to 6.67 times wider than high)
    // and reports its 46080 values as 9216 steps of 5 classes.
    ModelDir dir = rec_dir(false, true);
    const std::string onnx = varnel_test::fixed_reshape_model({1, 9216, 5});
    ASSERT_TRUE(dir.add_model_bytes("ocrv4_cn.p", onnx));
    OCR::TextRec rec;
    int rc = 1;
    std::string log = captured([&] { rc = rec.initModel_mnn(dir.path(), 0, 0); });
    ASSERT_EQ(rc, 0) << log;

    struct Quiet {
        Quiet() { zel_set_log_dummy(1); }
        ~Quiet() { zel_set_log_dummy(0); }
    } quiet;  // level-1 lines only
    const cv::Mat narrow = strips(std::string(40, 'w'));  // 160 x 48: padded to 320
    const cv::Mat wider = strips(std::string(120, 'w'));  // 480 x 48
    std::vector<std::string> texts(2, "");
    std::vector<float> scores(2, 0.0f);
    std::vector<double> times(3, -5.0);
    log = captured([&] { rc = rec.Model_Infer({narrow}, texts, scores, times); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(log, "");

    log = captured([&] { rc = rec.Model_Infer({narrow, wider}, texts, scores, times); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(log,
              "inference failed: the network cannot run at this size (engine code 3) on an input of "
              "1 x 3 x 48 x 480 values\n"
              "recognition failed: no output for text line 1 (480 x 48)\n");
}

}  // namespace
