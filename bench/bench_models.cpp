// Speed of the shipped networks through the library's engine sessions
// (2 threads each, as the loaders configure them).
//
//   BM_DetectorPass: one forward pass of models/boxv3.p on the input a
//     1280 x 960 page becomes (padded by 20 on every side, sides rounded to
//     multiples of 32: 1 x 3 x 992 x 1312).
//   BM_RecogniserPass: one forward pass of models/ocrv4_cn.p on one
//     1 x 3 x 48 x 320 line.
//
//   build/bench/bench_models --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "det.h"
#include "rec.h"
#include "zel_log.h"

namespace {

const std::string kModels = std::string(VARNEL_SOURCE_DIR) + "/models";

template <class Net>
void run_pass(benchmark::State& state, Net& net, std::vector<int> shape) {
    std::vector<float> input(static_cast<size_t>(shape[0]) * shape[1] * shape[2] * shape[3]);
    for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<float>((i * 7919) % 255) / 127.5f - 1.0f;
    std::vector<int> out_shape;
    for (auto _ : state) {
        float* out = net.mnn_infer(input.data(), shape, out_shape);
        if (out == nullptr) {
            state.SkipWithError("the network gave no output");
            break;
        }
        benchmark::DoNotOptimize(out[0]);
        delete[] out;
    }
    state.counters["out_c"] = out_shape.size() == 4 ? out_shape[1] : 0;
    state.counters["out_h"] = out_shape.size() == 4 ? out_shape[2] : 0;
}

void BM_DetectorPass(benchmark::State& state) {
    zel_set_log_dummy(1);
    OCR::TextDetect det;
    if (det.initModel_mnn(kModels, 0, 0) != 0) {
        state.SkipWithError("models/boxv3.p did not load");
        return;
    }
    run_pass(state, det, {1, 3, 992, 1312});
}

void BM_RecogniserPass(benchmark::State& state) {
    zel_set_log_dummy(1);
    OCR::TextRec rec;
    if (rec.initModel_mnn(kModels, 0, 0) != 0) {
        state.SkipWithError("models/ocrv4_cn.p did not load");
        return;
    }
    run_pass(state, rec, {1, 3, 48, 320});
}

}  // namespace

BENCHMARK(BM_DetectorPass)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_RecogniserPass)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK_MAIN();
