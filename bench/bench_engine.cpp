// Per-run overhead of the engine over plain cv::dnn for a fixed input shape.
//   raw:      cv::dnn setInput + forward, OpenCV thread count left alone
//   same:     runSession, session thread count == OpenCV's current count
//   switch:   runSession with 2 threads (count set for the run, then restored)
//   pass:     the library's whole mnn_infer sequence (host tensors, copies)
#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include <opencv2/dnn.hpp>

#include <MNN/Interpreter.hpp>

#ifndef VARNEL_SOURCE_DIR
#define VARNEL_SOURCE_DIR "/work/main"
#endif

namespace {

std::vector<char> model(const char* name) {
    std::ifstream f(std::string(VARNEL_SOURCE_DIR) + "/tests/data/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::vector<int> shape_of(const benchmark::State& st) {
    return {1, 3, static_cast<int>(st.range(0)), static_cast<int>(st.range(1))};
}
const char* model_of(const benchmark::State& st) { return st.range(0) == 48 ? "rec_bars.onnx" : "det_dark.onnx"; }

void BM_raw(benchmark::State& st) {
    const std::vector<char> b = model(model_of(st));
    cv::dnn::Net net = cv::dnn::readNetFromONNX(b.data(), b.size());
    const std::vector<int> sh = shape_of(st);
    cv::Mat blob(4, sh.data(), CV_32F, cv::Scalar(0.5));
    for (auto _ : st) {
        net.setInput(blob);
        cv::Mat o = net.forward();
        benchmark::DoNotOptimize(o.data);
    }
}

void run_session(benchmark::State& st, int threads) {
    const std::vector<char> b = model(model_of(st));
    std::unique_ptr<MNN::Interpreter> net(MNN::Interpreter::createFromBuffer(b.data(), b.size()));
    MNN::ScheduleConfig c;
    c.numThread = threads;
    MNN::Session* s = net->createSession(c);
    net->resizeTensor(net->getSessionInput(s, nullptr), shape_of(st));
    for (auto _ : st) benchmark::DoNotOptimize(net->runSession(s));
}
void BM_same(benchmark::State& st) { run_session(st, cv::getNumThreads()); }
void BM_switch(benchmark::State& st) { run_session(st, 2); }

void BM_pass(benchmark::State& st) {
    const std::vector<char> b = model(model_of(st));
    std::unique_ptr<MNN::Interpreter> net(MNN::Interpreter::createFromBuffer(b.data(), b.size()));
    MNN::ScheduleConfig c;
    c.numThread = 2;
    MNN::Session* s = net->createSession(c);
    const std::vector<int> sh = shape_of(st);
    std::vector<float> data(static_cast<size_t>(sh[1]) * sh[2] * sh[3], 0.5f);
    for (auto _ : st) {
        MNN::Tensor* in = net->getSessionInput(s, nullptr);
        net->resizeTensor(in, sh[0], sh[1], sh[2], sh[3]);
        net->resizeSession(s);
        MNN::Tensor* h = MNN::Tensor::create<float>(in->shape(), nullptr, MNN::Tensor::CAFFE);
        for (size_t i = 0; i < data.size(); ++i) h->host<float>()[i] = data[i];
        in->copyFromHostTensor(h);
        MNN::Tensor::destroy(h);
        net->runSession(s);
        MNN::Tensor* o = net->getSessionOutput(s, nullptr);
        auto* oh = new MNN::Tensor(o, o->getDimensionType(), true);
        o->copyToHostTensor(oh);
        const int n = o->batch() * o->channel() * o->height() * o->width();
        float* r = new float[n];
        std::copy(oh->host<float>(), oh->host<float>() + n, r);
        delete oh;
        benchmark::DoNotOptimize(r);
        delete[] r;
    }
}

void sizes(benchmark::internal::Benchmark* b) {
    b->Args({16, 16})->Args({64, 64})->Args({48, 320})->Args({640, 640})->Unit(benchmark::kMicrosecond);
}

}  // namespace

BENCHMARK(BM_raw)->Apply(sizes);
BENCHMARK(BM_same)->Apply(sizes);
BENCHMARK(BM_switch)->Apply(sizes);
BENCHMARK(BM_pass)->Apply(sizes);
BENCHMARK_MAIN();
