// Inference engine: loading, sessions, the tensor contract and forward
// passes over the two test networks (tests/data, made by
// tools/testmodels/make_test_models.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include <MNN/Interpreter.hpp>
#include <MNN/Tensor.hpp>

#include "model_dir.h"
#include "test_support.h"
#include "utils.h"

using MNN::Interpreter;
using MNN::Session;
using MNN::Tensor;
using varnel_test::data_path;

namespace {

struct InterpreterDeleter {
    void operator()(Interpreter* p) const { delete p; }
};
using InterpreterPtr = std::unique_ptr<Interpreter, InterpreterDeleter>;

std::vector<unsigned char> bytes_of(const std::string& name) {
    std::vector<unsigned char> b;
    EXPECT_TRUE(varnel_test::read_bytes(data_path(name), b)) << name;
    return b;
}

InterpreterPtr load(const std::string& name) {
    const std::vector<unsigned char> b = bytes_of(name);
    return InterpreterPtr(Interpreter::createFromBuffer(b.data(), b.size()));
}

Session* cpu_session(Interpreter* net, int threads = 2) {
    MNN::ScheduleConfig config;
    config.type = MNN_FORWARD_CPU;
    config.numThread = threads;
    MNN::BackendConfig backend;
    backend.precision = MNN::BackendConfig::Precision_High;
    config.backendConfig = &backend;
    return net->createSession(config);
}

struct Output {
    MNN::ErrorCode code = MNN::NO_ERROR;
    std::vector<int> shape;  // batch, channel, height, width as reported
    std::vector<float> values;
    float at(size_t i) const { return values.at(i); }
};

// One forward pass in the library's order: resize the session input, copy
// the values in through a CAFFE host tensor, run, copy the output out into
// a host tensor of the output's own dimension type, read the four extents.
Output infer(Interpreter* net, Session* s, const std::vector<float>& in, const std::vector<int>& shape) {
    Output r;
    Tensor* input = net->getSessionInput(s, nullptr);
    EXPECT_NE(input, nullptr);
    if (input == nullptr) return r;
    net->resizeTensor(input, shape[0], shape[1], shape[2], shape[3]);
    net->resizeSession(s);
    Tensor* host = Tensor::create<float>(input->shape(), nullptr, Tensor::CAFFE);
    EXPECT_EQ(static_cast<size_t>(host->elementSize()), in.size());
    for (size_t i = 0; i < in.size(); ++i) host->host<float>()[i] = in[i];
    EXPECT_TRUE(input->copyFromHostTensor(host));
    Tensor::destroy(host);
    r.code = net->runSession(s);
    Tensor* output = net->getSessionOutput(s, nullptr);
    EXPECT_NE(output, nullptr);
    if (output == nullptr) return r;
    auto* output_host = new Tensor(output, output->getDimensionType(), true);
    EXPECT_TRUE(output->copyToHostTensor(output_host));
    r.shape = {output->batch(), output->channel(), output->height(), output->width()};
    const size_t n = static_cast<size_t>(r.shape[0]) * r.shape[1] * r.shape[2] * r.shape[3];
    EXPECT_EQ(n, static_cast<size_t>(output_host->elementSize()));
    if (n > 0) r.values.assign(output_host->host<float>(), output_host->host<float>() + n);
    delete output_host;
    return r;
}

// Grey-level images (the same level in all three channels) turned into the
// detector's NCHW input: v = (p / 255 - mean_c) * scale_c.
template <class Pixel>
std::vector<float> det_input(int n, int h, int w, Pixel pixel) {
    const float mean[3] = {0.485f, 0.456f, 0.406f};
    const float scale[3] = {1.0f / 0.229f, 1.0f / 0.224f, 1.0f / 0.225f};
    std::vector<float> v(static_cast<size_t>(n) * 3 * h * w);
    size_t i = 0;
    for (int b = 0; b < n; ++b)
        for (int c = 0; c < 3; ++c)
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) v[i++] = (pixel(b, y, x) / 255.0f - mean[c]) * scale[c];
    return v;
}

// The recogniser's NCHW input: v = (p / 255 - 0.5) * 2.
template <class Pixel>
std::vector<float> rec_input(int n, int w, Pixel pixel) {
    std::vector<float> v(static_cast<size_t>(n) * 3 * 48 * w);
    size_t i = 0;
    for (int b = 0; b < n; ++b)
        for (int c = 0; c < 3; ++c)
            for (int y = 0; y < 48; ++y)
                for (int x = 0; x < w; ++x) v[i++] = (pixel(b, y, x) / 255.0f - 0.5f) * 2.0f;
    return v;
}

bool inside(int y, int x, int y0, int x0, int y1, int x1) { return y >= y0 && y < y1 && x >= x0 && x < x1; }

class RestoreThreads : public ::testing::Test {
protected:
    void SetUp() override { saved_ = cv::getNumThreads(); }
    void TearDown() override { cv::setNumThreads(saved_); }
    int saved_ = 0;
};

// ------------------------------------------------------------------ loading

TEST(EngineLoad, AcceptsTheTestNetworksFromBufferAndFile) {
    EXPECT_NE(load("det_dark.onnx"), nullptr);
    EXPECT_NE(load("rec_bars.onnx"), nullptr);
    InterpreterPtr f(Interpreter::createFromFile(data_path("rec_bars.onnx").c_str()));
    EXPECT_NE(f, nullptr);
}

TEST(EngineLoad, RefusesPayloadsThatAreNotModels) {
    const std::vector<unsigned char> model = bytes_of("det_dark.onnx");
    const std::vector<unsigned char> garbage = bytes_of("garbage.bin");
    ASSERT_FALSE(garbage.empty());
    const std::string text = "this is a text file, not a network";
    const unsigned char png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    // A well-formed protobuf message (field 1 = 7) that holds no graph.
    const unsigned char no_graph[] = {0x08, 0x07};
    const std::vector<unsigned char> zeros(4096, 0);

    EXPECT_EQ(Interpreter::createFromBuffer(nullptr, 100), nullptr);
    EXPECT_EQ(Interpreter::createFromBuffer(model.data(), 0), nullptr);
    EXPECT_EQ(Interpreter::createFromBuffer(garbage.data(), garbage.size()), nullptr);
    EXPECT_EQ(Interpreter::createFromBuffer(text.data(), text.size()), nullptr);
    EXPECT_EQ(Interpreter::createFromBuffer(png, sizeof png), nullptr);
    EXPECT_EQ(Interpreter::createFromBuffer(no_graph, sizeof no_graph), nullptr);
    EXPECT_EQ(Interpreter::createFromBuffer(zeros.data(), zeros.size()), nullptr);
    EXPECT_EQ(Interpreter::createFromBuffer(model.data(), model.size() / 2), nullptr);

    EXPECT_EQ(Interpreter::createFromFile(nullptr), nullptr);
    EXPECT_EQ(Interpreter::createFromFile("/nonexistent/dir/model.onnx"), nullptr);
    EXPECT_EQ(Interpreter::createFromFile(data_path("garbage.bin").c_str()), nullptr);
    varnel_test::ModelDir dir;
    ASSERT_TRUE(dir.add_text("empty.onnx", ""));
    EXPECT_EQ(Interpreter::createFromFile(dir.file("empty.onnx").c_str()), nullptr);
}

// Well-formed protobuf that OpenCV's importer reads out of bounds (a tensor
// shorter than its dimensions), dereferences as null (a node input that
// nothing defines) or indexes wrongly (a Transpose perm that is no
// permutation); tools/testmodels/make_test_models.py writes them.
TEST(EngineLoad, RefusesModelsTheImporterWouldMisread) {
    for (const char* name : {"broken_short_tensor.onnx", "broken_dangling_input.onnx", "broken_transpose_perm.onnx"}) {
        const std::vector<unsigned char> model = bytes_of(name);
        ASSERT_FALSE(model.empty()) << name;
        EXPECT_EQ(Interpreter::createFromBuffer(model.data(), model.size()), nullptr) << name;
    }
}

TEST(EngineLoad, RefusesEveryTruncationOfAModel) {
    for (const char* name : {"det_dark.onnx", "rec_bars.onnx"}) {
        const std::vector<unsigned char> model = bytes_of(name);
        int loaded = 0;
        for (size_t n = 1; n < model.size(); ++n) {
            InterpreterPtr p(Interpreter::createFromBuffer(model.data(), n));
            loaded += p != nullptr;
        }
        EXPECT_EQ(loaded, 0) << name;
    }
}

TEST(EngineLoad, KeepsWorkingAfterTheCallerFreesItsBuffer) {
    const std::vector<unsigned char> model = bytes_of("det_dark.onnx");
    auto* buf = static_cast<unsigned char*>(std::malloc(model.size()));
    ASSERT_NE(buf, nullptr);
    std::memcpy(buf, model.data(), model.size());
    InterpreterPtr net(Interpreter::createFromBuffer(buf, model.size()));
    std::memset(buf, 0xAB, model.size());
    std::free(buf);
    ASSERT_NE(net, nullptr);
    Session* s = cpu_session(net.get());
    ASSERT_NE(s, nullptr);
    const Output r = infer(net.get(), s, det_input(1, 8, 8, [](int, int, int) { return 0; }), {1, 3, 8, 8});
    EXPECT_EQ(r.code, MNN::NO_ERROR);
    EXPECT_GT(r.at(0), 0.98f);
}

// A 3 x 3 convolution of 3 input channels into `out_channels`, of type
// `op` (Conv or ConvTranspose), with the attribute `group` set to `group`.
std::string conv_with_group(const std::string& op, int64_t group, int64_t out_channels) {
    using varnel_test::Pb;
    Pb kernel;
    kernel.str(1, "kernel_shape").i64(8, 3).i64(8, 3).i64(20, 7);  // INTS
    Pb groups;
    groups.str(1, "group").i64(3, group).i64(20, 2);  // INT
    Pb node;
    node.str(1, "x").str(1, "w").str(2, "y").str(3, "conv").str(4, op).msg(5, kernel).msg(5, groups);
    // Conv weights are out x in / group x k x k, ConvTranspose weights
    // in x out / group x k x k; with 3 in and 3 out channels and group 1
    // both read 3 x 3 x 3 x 3.
    Pb g;
    g.msg(1, node).str(2, "conv_group");
    g.msg(5, varnel_test::onnx_tensor_f("w", {3, out_channels, 3, 3}, std::vector<float>(27 * out_channels, 0.1f)));
    g.msg(11, varnel_test::onnx_value_info("x", 3));
    g.msg(12, varnel_test::onnx_value_info_any("y"));
    return varnel_test::onnx_model(g);
}

// The importer divides channel counts by a convolution's group count: a
// count of 0 (one flipped bit in a model file: 1 becomes 0) would end the
// process with a division fault, a negative one is no group count at all.
TEST(EngineLoad, RefusesConvolutionsWithoutAPositiveGroupCount) {
    for (const char* op : {"Conv", "ConvTranspose"}) {
        SCOPED_TRACE(op);
        const std::string good = conv_with_group(op, 1, 3);
        InterpreterPtr net(Interpreter::createFromBuffer(good.data(), good.size()));
        ASSERT_NE(net, nullptr);
        Session* s = cpu_session(net.get());
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(infer(net.get(), s, std::vector<float>(3 * 8 * 8, 0.5f), {1, 3, 8, 8}).code, MNN::NO_ERROR);
        for (int64_t group : {int64_t(0), int64_t(-1), int64_t(-3), int64_t(1) << 32}) {
            const std::string bad = conv_with_group(op, group, 3);
            EXPECT_EQ(Interpreter::createFromBuffer(bad.data(), bad.size()), nullptr) << group;
        }
    }

    // The shipped detector with the group count of its first convolution
    // zeroed: refused, while the model as shipped loads.
    long len = 0;
    unsigned char* buf = nullptr;
    varnel_test::captured(
        [&] { buf = read_model_from_file(std::string(VARNEL_SOURCE_DIR) + "/models/boxv3.p", len, 1); });
    ASSERT_NE(buf, nullptr);
    std::vector<unsigned char> model(buf, buf + len);
    std::free(buf);
    InterpreterPtr shipped(Interpreter::createFromBuffer(model.data(), model.size()));
    EXPECT_NE(shipped, nullptr);
    const std::string key = std::string("group") + char(0x18) + char(0x01);  // name, then field 3 (int) = 1
    const auto at = std::search(model.begin(), model.end(), key.begin(), key.end());
    ASSERT_NE(at, model.end());
    *(at + 6) = 0x00;
    EXPECT_EQ(Interpreter::createFromBuffer(model.data(), model.size()), nullptr);
}

// ------------------------------------------------------------- detection

TEST(DetDark, DarkSquareGivesHighProbabilityAndTheShapeFollowsTheInput) {
    InterpreterPtr net = load("det_dark.onnx");
    ASSERT_NE(net, nullptr);
    Session* s = cpu_session(net.get());
    ASSERT_NE(s, nullptr);

    const int h = 40, w = 64;
    // White page, black square rows 10..25 x cols 20..40, one grey-127 row.
    auto page = [](int, int y, int x) { return inside(y, x, 10, 20, 26, 41) ? 0 : (y == 35 ? 127 : 255); };
    const Output r = infer(net.get(), s, det_input(1, h, w, page), {1, 3, h, w});
    ASSERT_EQ(r.code, MNN::NO_ERROR);
    ASSERT_EQ(r.shape, (std::vector<int>{1, 1, h, w}));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const float p = r.at(static_cast<size_t>(y) * w + x);
            if (inside(y, x, 10, 20, 26, 41))
                ASSERT_GT(p, 0.98f) << y << "," << x;
            else if (y == 35)
                ASSERT_LT(p, 0.1f) << y << "," << x;
            else
                ASSERT_LT(p, 0.001f) << y << "," << x;
        }
    }

    // The same session, other sizes one after another, then the first again.
    const std::vector<std::vector<int>> sizes = {{17, 33}, {64, 40}, {h, w}, {1, 1}, {128, 96}};
    for (const auto& hw : sizes) {
        auto dot = [&](int, int y, int x) { return y == hw[0] - 1 && x == hw[1] - 1 ? 0 : 255; };
        const Output o = infer(net.get(), s, det_input(1, hw[0], hw[1], dot), {1, 3, hw[0], hw[1]});
        ASSERT_EQ(o.code, MNN::NO_ERROR);
        ASSERT_EQ(o.shape, (std::vector<int>{1, 1, hw[0], hw[1]}));
        EXPECT_GT(o.values.back(), 0.98f) << hw[0] << "x" << hw[1];
        if (o.values.size() > 1) {
            EXPECT_LT(o.values.front(), 0.001f);
        }
    }
}

TEST(DetDark, BatchOfTwoGivesOnePlanePerImage) {
    InterpreterPtr net = load("det_dark.onnx");
    ASSERT_NE(net, nullptr);
    Session* s = cpu_session(net.get());
    ASSERT_NE(s, nullptr);
    const int h = 24, w = 30;
    // Image 0: dark top-left block; image 1: dark bottom-right block.
    auto img = [](int b, int y, int x) {
        return (b == 0 ? inside(y, x, 0, 0, 8, 10) : inside(y, x, 16, 20, 24, 30)) ? 0 : 255;
    };
    const Output r = infer(net.get(), s, det_input(2, h, w, img), {2, 3, h, w});
    ASSERT_EQ(r.code, MNN::NO_ERROR);
    ASSERT_EQ(r.shape, (std::vector<int>{2, 1, h, w}));
    for (int b = 0; b < 2; ++b)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const bool dark = img(b, y, x) == 0;
                const float p = r.at((static_cast<size_t>(b) * h + y) * w + x);
                ASSERT_EQ(p > 0.5f, dark) << b << ":" << y << "," << x << " p=" << p;
            }
}

// ------------------------------------------------------------ recognition

// Per-strip grey level for image b, step t: 0, 127 or 255, irregular enough
// that a transposed or shifted read changes classes.
int strip_level(int b, int t) {
    static const int levels[3] = {0, 127, 255};
    return levels[(t * t + 3 * t + 5 * b + t / 7) % 3];
}
int strip_class(int level) { return level == 0 ? 1 : (level == 127 ? 2 : 0); }

TEST(RecBars, ReportsBatchStepsClassesAndTheClassOfEveryStrip) {
    InterpreterPtr net = load("rec_bars.onnx");
    ASSERT_NE(net, nullptr);
    Session* s = cpu_session(net.get());
    ASSERT_NE(s, nullptr);
    const int K = 5;  // three dictionary lines + 2
    for (const auto& nw : std::vector<std::vector<int>>{{1, 320}, {1, 1200}, {2, 320}, {2, 1200}, {1, 320}}) {
        const int n = nw[0], w = nw[1], T = w / 4;
        auto img = [](int b, int, int x) { return strip_level(b, x / 4); };
        const Output r = infer(net.get(), s, rec_input(n, w, img), {n, 3, 48, w});
        ASSERT_EQ(r.code, MNN::NO_ERROR);
        ASSERT_EQ(r.shape, (std::vector<int>{n, T, K, 1})) << n << "x" << w;
        for (int b = 0; b < n; ++b) {
            for (int t = 0; t < T; ++t) {
                const float* row = &r.values[(static_cast<size_t>(b) * T + t) * K];
                int best = 0;
                float sum = 0;
                for (int c = 0; c < K; ++c) {
                    sum += row[c];
                    if (row[c] > row[best]) best = c;
                }
                ASSERT_EQ(best, strip_class(strip_level(b, t))) << "image " << b << " step " << t << " width " << w;
                ASSERT_GT(row[best], 0.99f);
                ASSERT_NEAR(sum, 1.0f, 1e-4f);
            }
        }
    }
}

// ---------------------------------------------------------------- sessions

TEST_F(RestoreThreads, RunRestoresOpenCVThreadCountOnSuccessAndError) {
    InterpreterPtr net = load("det_dark.onnx");
    ASSERT_NE(net, nullptr);
    Session* s = cpu_session(net.get(), 2);
    ASSERT_NE(s, nullptr);
    cv::setNumThreads(3);
    ASSERT_EQ(cv::getNumThreads(), 3);
    EXPECT_EQ(net->runSession(s), MNN::INPUT_DATA_ERROR);  // no input yet
    EXPECT_EQ(cv::getNumThreads(), 3);
    const Output r = infer(net.get(), s, det_input(1, 16, 16, [](int, int, int) { return 0; }), {1, 3, 16, 16});
    EXPECT_EQ(r.code, MNN::NO_ERROR);
    EXPECT_EQ(cv::getNumThreads(), 3);
    // Four channels where the network takes three: the forward pass fails.
    const Output bad = infer(net.get(), s, std::vector<float>(4 * 16 * 16, 0.0f), {1, 4, 16, 16});
    EXPECT_NE(bad.code, MNN::NO_ERROR);
    EXPECT_EQ(cv::getNumThreads(), 3);
}

TEST(EngineSession, FailedRunsLeaveNoStaleOutputAndTheSessionRecovers) {
    InterpreterPtr net = load("det_dark.onnx");
    ASSERT_NE(net, nullptr);
    Session* s = cpu_session(net.get());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(net->runSession(nullptr), MNN::INVALID_VALUE);
    EXPECT_EQ(net->runSession(s), MNN::INPUT_DATA_ERROR);

    const Output good = infer(net.get(), s, det_input(1, 8, 8, [](int, int, int) { return 0; }), {1, 3, 8, 8});
    ASSERT_EQ(good.code, MNN::NO_ERROR);
    const Output bad = infer(net.get(), s, std::vector<float>(4 * 8 * 8, 0.0f), {1, 4, 8, 8});
    EXPECT_NE(bad.code, MNN::NO_ERROR);
    EXPECT_EQ(bad.shape[0], 0);
    EXPECT_TRUE(bad.values.empty());
    EXPECT_EQ(net->getSessionOutput(s, nullptr)->elementSize(), 0);

    const Output again = infer(net.get(), s, det_input(1, 8, 8, [](int, int, int) { return 0; }), {1, 3, 8, 8});
    EXPECT_EQ(again.code, MNN::NO_ERROR);
    EXPECT_EQ(again.values, good.values);

    // A negative extent leaves the input without shape.
    Tensor* in = net->getSessionInput(s, nullptr);
    net->resizeTensor(in, {1, 3, -8, 8});
    EXPECT_EQ(in->dimensions(), 0);
    EXPECT_EQ(net->runSession(s), MNN::INPUT_DATA_ERROR);
}

TEST(EngineSession, InputShapesOpenCVCannotRunAreRefused) {
    InterpreterPtr net = load("det_dark.onnx");
    ASSERT_NE(net, nullptr);
    Session* s = cpu_session(net.get());
    ASSERT_NE(s, nullptr);
    Tensor* in = net->getSessionInput(s, nullptr);
    ASSERT_NE(in, nullptr);
    const std::vector<std::vector<int>> refused = {
        {},                                  // no dimension
        {1, 3, 0, 8},                        // an empty extent
        {0, 3, 8, 8},
        {1, 3, -1, 8},                       // a negative one
        {2, 3, 16384, 5462},                 // 536,936,448 values: past the 2^31-byte cap
        {1, 3, 65536, 65536},                // past 2^31 values as well
        std::vector<int>(33, 1),             // more dimensions than an OpenCV matrix has
    };
    for (const auto& shape : refused) {
        // A good shape first, so that a refusal must undo it.
        net->resizeTensor(in, {1, 3, 4, 4});
        ASSERT_EQ(in->elementSize(), 48);
        net->resizeTensor(in, shape);
        EXPECT_EQ(in->dimensions(), 0) << shape.size();
        EXPECT_EQ(in->elementSize(), 0) << shape.size();
        EXPECT_EQ(net->runSession(s), MNN::INPUT_DATA_ERROR) << shape.size();
        EXPECT_EQ(net->getSessionOutput(s, nullptr)->elementSize(), 0);
    }
    // The four-int form refuses the same way.
    net->resizeTensor(in, 82, 3, 1120, 1952);
    EXPECT_EQ(in->dimensions(), 0);
    // Largest accepted rank, and the session still runs afterwards.
    net->resizeTensor(in, std::vector<int>(32, 1));
    EXPECT_EQ(in->dimensions(), 32);
    const Output r = infer(net.get(), s, det_input(1, 4, 4, [](int, int, int) { return 0; }), {1, 3, 4, 4});
    EXPECT_EQ(r.code, MNN::NO_ERROR);
    EXPECT_EQ(r.shape, (std::vector<int>{1, 1, 4, 4}));
}

TEST(EngineSession, TensorsByNameAndSessionRelease) {
    InterpreterPtr net = load("rec_bars.onnx");
    ASSERT_NE(net, nullptr);
    Session* a = cpu_session(net.get(), 2);
    Session* b = cpu_session(net.get(), 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(a, b);

    EXPECT_EQ(net->getSessionInput(a, "x"), net->getSessionInput(a, nullptr));
    EXPECT_EQ(net->getSessionOutput(a, "y"), net->getSessionOutput(a, nullptr));
    EXPECT_EQ(net->getSessionInput(a, "y"), nullptr);
    EXPECT_EQ(net->getSessionOutput(a, "x"), nullptr);
    EXPECT_EQ(net->getSessionInput(a, "nope"), nullptr);
    EXPECT_EQ(net->getSessionOutput(a, ""), nullptr);
    EXPECT_NE(net->getSessionInput(a, nullptr), net->getSessionInput(b, nullptr));
    EXPECT_EQ(net->getSessionInput(nullptr, nullptr), nullptr);

    // Each session keeps its own shapes and results.
    auto white = [](int, int, int) { return 255; };
    auto black = [](int, int, int) { return 0; };
    const Output ra = infer(net.get(), a, rec_input(1, 320, white), {1, 3, 48, 320});
    const Output rb = infer(net.get(), b, rec_input(2, 64, black), {2, 3, 48, 64});
    ASSERT_EQ(ra.code, MNN::NO_ERROR);
    ASSERT_EQ(rb.code, MNN::NO_ERROR);
    EXPECT_EQ(net->getSessionOutput(a, nullptr)->shape(), (std::vector<int>{1, 80, 5}));
    EXPECT_EQ(net->getSessionOutput(b, nullptr)->shape(), (std::vector<int>{2, 16, 5}));
    EXPECT_GT(net->getSessionOutput(a, nullptr)->host<float>()[0], 0.99f);  // blank
    EXPECT_GT(net->getSessionOutput(b, nullptr)->host<float>()[1], 0.99f);  // class 1

    EXPECT_TRUE(net->releaseSession(a));
    EXPECT_FALSE(net->releaseSession(a));
    EXPECT_FALSE(net->releaseSession(nullptr));
    EXPECT_EQ(net->getSessionInput(a, nullptr), nullptr);
    EXPECT_EQ(net->runSession(a), MNN::INVALID_VALUE);
    InterpreterPtr other = load("rec_bars.onnx");
    ASSERT_NE(other, nullptr);
    EXPECT_FALSE(other->releaseSession(b));  // not one of its sessions
    EXPECT_EQ(other->getSessionInput(b, nullptr), nullptr);

    // After releaseModel the session left still runs; no new sessions.
    net->releaseModel();
    EXPECT_EQ(cpu_session(net.get()), nullptr);
    const Output after = infer(net.get(), b, rec_input(1, 40, black), {1, 3, 48, 40});
    EXPECT_EQ(after.code, MNN::NO_ERROR);
    EXPECT_EQ(after.shape, (std::vector<int>{1, 10, 5, 1}));
    // `b` is left for the interpreter's destructor to free.
}

TEST(EngineSession, LibraryTeardownOrder) {
    InterpreterPtr net = load("det_dark.onnx");
    ASSERT_NE(net, nullptr);
    Session* s = cpu_session(net.get());
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(infer(net.get(), s, det_input(1, 4, 4, [](int, int, int) { return 0; }), {1, 3, 4, 4}).code,
              MNN::NO_ERROR);
    EXPECT_TRUE(net->releaseSession(s));
    net->releaseModel();
    net->releaseModel();
    net.reset();
}

// Resident set size in bytes.
long rss_bytes() {
    long pages = 0, resident = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return -1;
    const int got = std::fscanf(f, "%ld %ld", &pages, &resident);
    std::fclose(f);
    return got == 2 ? resident * 4096L : -1;
}

TEST(EngineSession, RepeatedRunsWithChangingSizesDoNotGrowMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer holds freed memory in quarantine; LeakSanitizer covers leaks here";
#endif
    InterpreterPtr net = load("det_dark.onnx");
    ASSERT_NE(net, nullptr);
    Session* s = cpu_session(net.get());
    ASSERT_NE(s, nullptr);
    const std::vector<std::vector<int>> sizes = {{1, 3, 256, 320}, {2, 3, 96, 64}, {1, 3, 320, 256}, {1, 3, 8, 8}};
    std::vector<std::vector<float>> inputs;
    for (const auto& sh : sizes) inputs.emplace_back(static_cast<size_t>(sh[0]) * 3 * sh[2] * sh[3], 0.5f);
    auto cycle = [&] {
        for (size_t i = 0; i < sizes.size(); ++i) ASSERT_EQ(infer(net.get(), s, inputs[i], sizes[i]).code, MNN::NO_ERROR);
    };
    for (int i = 0; i < 5; ++i) cycle();
    const long before = rss_bytes();
    ASSERT_GT(before, 0);
    for (int i = 0; i < 100; ++i) cycle();
    const long after = rss_bytes();
    // One cycle moves about 4 MB of tensors; 100 cycles that leaked would
    // add hundreds of MB.
    EXPECT_LT(after - before, 8L << 20) << "before " << before << " after " << after;
}

// ------------------------------------------------------------------ tensors

TEST(EngineTensor, DimensionAccessorsFollowTheStorageOrder) {
    struct Case {
        std::vector<int> shape;
        Tensor::DimensionType type;
        int b, c, h, w;
    };
    const Case cases[] = {
        {{2, 3, 4, 5}, Tensor::CAFFE, 2, 3, 4, 5},
        {{2, 3, 4, 5}, Tensor::CAFFE_C4, 2, 3, 4, 5},
        {{2, 80, 5}, Tensor::CAFFE, 2, 80, 5, 1},
        {{7, 9}, Tensor::CAFFE, 7, 9, 1, 1},
        {{2, 4, 5, 3}, Tensor::TENSORFLOW, 2, 3, 4, 5},
        {{2, 5, 80}, Tensor::TENSORFLOW, 2, 80, 5, 1},
        {{6}, Tensor::TENSORFLOW, 6, 1, 1, 1},
    };
    for (const Case& k : cases) {
        Tensor* t = Tensor::create<float>(k.shape, nullptr, k.type);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->shape(), k.shape);
        EXPECT_EQ(t->getDimensionType(), k.type);
        EXPECT_EQ(t->dimensions(), static_cast<int>(k.shape.size()));
        EXPECT_EQ((std::vector<int>{t->batch(), t->channel(), t->height(), t->width()}),
                  (std::vector<int>{k.b, k.c, k.h, k.w}));
        EXPECT_EQ(t->elementSize(), k.b * k.c * k.h * k.w);
        EXPECT_EQ(t->size(), 4 * t->elementSize());
        Tensor::destroy(t);
    }
    Tensor* shapeless = Tensor::create<float>({}, nullptr, Tensor::CAFFE);
    ASSERT_NE(shapeless, nullptr);
    EXPECT_EQ(shapeless->batch() * shapeless->channel() * shapeless->height() * shapeless->width(), 0);
    EXPECT_EQ(shapeless->elementSize(), 0);
    Tensor::destroy(shapeless);
    EXPECT_EQ(Tensor::create<float>({1, -3, 4}, nullptr, Tensor::CAFFE), nullptr);
    EXPECT_EQ(Tensor::create<float>({1 << 16, 1 << 16}, nullptr, Tensor::CAFFE), nullptr);
}

TEST(EngineTensor, CreateCopiesOrZeroesAndCopiesCheckElementCounts) {
    std::vector<float> src = {1, 2, 3, 4, 5, 6};
    Tensor* a = Tensor::create<float>({1, 2, 3}, src.data(), Tensor::CAFFE);
    Tensor* z = Tensor::create<float>({1, 2, 3}, nullptr, Tensor::CAFFE);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(z, nullptr);
    src[0] = 99;  // the tensor holds its own copy
    EXPECT_EQ(std::vector<float>(a->host<float>(), a->host<float>() + 6), (std::vector<float>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(std::vector<float>(z->host<float>(), z->host<float>() + 6), std::vector<float>(6, 0.0f));

    // Same element count, other shape, same order: a plain copy.
    Tensor* flat = Tensor::create<float>({6}, nullptr, Tensor::CAFFE);
    EXPECT_TRUE(flat->copyFromHostTensor(a));
    EXPECT_EQ(std::vector<float>(flat->host<float>(), flat->host<float>() + 6), (std::vector<float>{1, 2, 3, 4, 5, 6}));

    // Other element count: refused, destination untouched.
    Tensor* small = Tensor::create<float>({1, 5}, nullptr, Tensor::CAFFE);
    small->host<float>()[0] = 42;
    EXPECT_FALSE(small->copyFromHostTensor(a));
    EXPECT_FALSE(a->copyToHostTensor(small));
    EXPECT_EQ(small->host<float>()[0], 42);
    EXPECT_FALSE(a->copyFromHostTensor(nullptr));
    EXPECT_FALSE(a->copyToHostTensor(nullptr));

    // A tensor made without memory has no storage to copy into.
    Tensor shell(a, Tensor::CAFFE, false);
    EXPECT_EQ(shell.shape(), a->shape());
    EXPECT_EQ(shell.host<float>(), nullptr);
    EXPECT_FALSE(a->copyToHostTensor(&shell));

    for (Tensor* t : {a, z, flat, small}) Tensor::destroy(t);
}

TEST(EngineTensor, ChannelLastHostTensorTransposesOnCopy) {
    for (const std::vector<int>& nchw : std::vector<std::vector<int>>{{2, 3, 4, 5}, {2, 7, 5}}) {
        const bool four = nchw.size() == 4;
        const int N = nchw[0], C = nchw[1], H = nchw[2], W = four ? nchw[3] : 1;
        Tensor* src = Tensor::create<float>(nchw, nullptr, Tensor::CAFFE);
        for (int i = 0; i < src->elementSize(); ++i) src->host<float>()[i] = static_cast<float>(i);

        Tensor nhwc(src, Tensor::TENSORFLOW, true);
        EXPECT_EQ(nhwc.shape(), four ? (std::vector<int>{N, H, W, C}) : (std::vector<int>{N, H, C}));
        EXPECT_EQ((std::vector<int>{nhwc.batch(), nhwc.channel(), nhwc.height(), nhwc.width()}),
                  (std::vector<int>{src->batch(), src->channel(), src->height(), src->width()}));
        ASSERT_TRUE(src->copyToHostTensor(&nhwc));
        for (int n = 0; n < N; ++n)
            for (int c = 0; c < C; ++c)
                for (int h = 0; h < H; ++h)
                    for (int w = 0; w < W; ++w) {
                        const float want = src->host<float>()[((n * C + c) * H + h) * W + w];
                        ASSERT_EQ(nhwc.host<float>()[((n * H + h) * W + w) * C + c], want);
                    }

        // Back into a channel-first tensor: the original values.
        Tensor back(src, Tensor::CAFFE, true);
        ASSERT_TRUE(back.copyFromHostTensor(&nhwc));
        EXPECT_EQ(std::vector<float>(back.host<float>(), back.host<float>() + back.elementSize()),
                  std::vector<float>(src->host<float>(), src->host<float>() + src->elementSize()));

        // A channel-last tensor of the same count but another shape is refused.
        std::vector<int> wrong = nhwc.shape();
        std::swap(wrong.front(), wrong.back());
        Tensor* odd = Tensor::create<float>(wrong, nullptr, Tensor::TENSORFLOW);
        EXPECT_FALSE(src->copyToHostTensor(odd));
        Tensor::destroy(odd);
        Tensor::destroy(src);
    }
}

// -------------------------------------------------------------- model file

TEST(ModelFileHelper, WrappedPayloadIsScrambledAndTheReaderRestoresIt) {
    varnel_test::ModelDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string root = dir.path();
    ASSERT_TRUE(std::filesystem::is_directory(root));
    ASSERT_TRUE(dir.add_model("boxv3.p", data_path("det_dark.onnx")));

    const std::vector<unsigned char> payload = bytes_of("det_dark.onnx");
    std::vector<unsigned char> file;
    ASSERT_TRUE(varnel_test::read_bytes(dir.file("boxv3.p"), file));
    ASSERT_EQ(file.size(), payload.size() + 29);
    EXPECT_EQ(file[0], 0x11);
    EXPECT_EQ(file[28], 0x11);
    EXPECT_EQ(file[5], 3);
    EXPECT_EQ(file[23], 0xFF);
    EXPECT_EQ(file[24], 0xFF);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[1]), 4), "0001");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[6])), "test");
    EXPECT_NE(std::vector<unsigned char>(file.begin() + 29, file.end()), payload);

    long len = 0;
    unsigned char* buf = read_model_from_file(dir.file("boxv3.p"), len, 1);
    ASSERT_NE(buf, nullptr);
    ASSERT_EQ(len, static_cast<long>(payload.size()));
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + len), payload);
    InterpreterPtr net(Interpreter::createFromBuffer(buf, static_cast<size_t>(len)));
    std::free(buf);
    EXPECT_NE(net, nullptr);

    bool ok = false;
    std::string full_root;
    {
        varnel_test::ModelDir full = varnel_test::make_test_model_dir(&ok);
        ASSERT_TRUE(ok);
        full_root = full.path();
        for (const char* name : {"boxv3.p", "ocrv4_cn.p", "ocrv3_cn.txt"})
            EXPECT_TRUE(std::filesystem::exists(full.file(name))) << name;
        varnel_test::ModelDir moved(std::move(full));
        EXPECT_FALSE(full.ok());
        EXPECT_TRUE(std::filesystem::exists(moved.file("ocrv3_cn.txt")));
    }
    EXPECT_FALSE(std::filesystem::exists(full_root));
    dir = varnel_test::ModelDir();
    EXPECT_FALSE(std::filesystem::exists(root));
}

}  // namespace
