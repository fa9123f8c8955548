// Detection benchmarks.
//
//   BM_DetectPage/<model>/<page>: Model_Infer_batch on one 1920 x 1080
//     document-like page (white, ~20 dark lines: page 0 = solid line bars,
//     page 1 = rendered text). Counters: the three stage times the call
//     reports (pre_ms, infer_ms, post_ms, per call) and post_pct = post /
//     inference in percent. <model> is "test" (tests/data/det_dark.onnx) and,
//     when models/boxv3.p exists, "trained".
//   BM_PlaneLoop/threads:<n>: the batch post-processing loop over the four
//     probability planes of a batch of four pages, run with n OpenMP threads
//     (the same loop and per-plane function that Model_Infer_batch runs).
//
//   build-det/bench/bench_detection --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true   (one command line)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <omp.h>
#include <opencv2/imgproc.hpp>

#include "../tests/model_dir.h"
#include "det.h"
#include "det_internal.h"
#include "utils.h"
#include "zel_log.h"

namespace {

// A white 1920 x 1080 page with 20 dark lines of varying length in two
// columns, drawn as bars (style 0) or as rendered text (style 1).
cv::Mat document_page(int style, int seed) {
    cv::Mat page(1080, 1920, CV_8UC3, cv::Scalar(255, 255, 255));
    cv::RNG rng(static_cast<uint64_t>(seed) + 1);
    const char* words = "The quick brown fox jumps over the lazy dog 0123456789";
    for (int i = 0; i < 20; i++) {
        const int col = i % 2;
        const int row = i / 2;
        const int x = 80 + col * 920;
        const int y = 90 + row * 95;
        const int len = rng.uniform(350, 800);
        if (style == 0) {
            cv::rectangle(page, cv::Rect(x, y, len, 34), cv::Scalar(20, 20, 20), cv::FILLED);
        } else {
            std::string text(words);
            text = text.substr(0, static_cast<size_t>(rng.uniform(20, static_cast<int>(text.size()))));
            cv::putText(page, text, cv::Point(x, y + 34), cv::FONT_HERSHEY_SIMPLEX, 1.3, cv::Scalar(0, 0, 0), 3,
                        cv::LINE_AA);
        }
    }
    return page;
}

struct Loaded {
    std::unique_ptr<varnel_test::ModelDir> dir;  // keeps the test model file while loading
    std::unique_ptr<OCR::TextDetect> det;
};

// One detector per model for the whole run (loaded on first use).
OCR::TextDetect* detector(const std::string& model) {
    static std::map<std::string, Loaded> cache;
    auto it = cache.find(model);
    if (it != cache.end()) return it->second.det.get();
    Loaded l;
    l.det.reset(new OCR::TextDetect());
    std::string dir_path;
    if (model == "test") {
        l.dir.reset(new varnel_test::ModelDir());
        if (!l.dir->add_model("boxv3.p", varnel_test::data_path("det_dark.onnx"))) l.det.reset();
        dir_path = l.dir->path();
    } else {
        dir_path = std::string(VARNEL_SOURCE_DIR) + "/models";
    }
    if (l.det && l.det->initModel_mnn(dir_path, 0, 0) != 0) l.det.reset();
    return cache.emplace(model, std::move(l)).first->second.det.get();
}

void BM_DetectPage(benchmark::State& state, const std::string& model, int style) {
    OCR::TextDetect* det = detector(model);
    if (det == nullptr) {
        state.SkipWithError("model did not load");
        return;
    }
    std::vector<cv::Mat> imgs = {document_page(style, 0)};
    std::vector<OCR::DetResult> res;
    std::vector<double> times(3, 0.0);
    double pre = 0, inf = 0, post = 0;
    size_t boxes = 0;
    for (auto _ : state) {
        det->Model_Infer_batch(imgs, res, times);
        pre += times[0];
        inf += times[1];
        post += times[2];
        boxes = res[0].boxes.size();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["pre_ms"] = pre / n;
    state.counters["infer_ms"] = inf / n;
    state.counters["post_ms"] = post / n;
    state.counters["post_pct"] = inf > 0 ? 100.0 * post / inf : 0.0;
    state.counters["boxes"] = static_cast<double>(boxes);
}

// The network's probability planes for four pages, as the batch loop sees
// them, with the mapping values of their preprocessing.
struct Planes {
    std::unique_ptr<float[]> out;
    int h = 0, w = 0, padding = 0;
    float ratio_h = 0, ratio_w = 0;
    bool ok = false;
};

Planes four_planes(OCR::TextDetect& det, int style) {
    Planes p;
    std::vector<cv::Mat> list;
    for (int i = 0; i < 4; i++) {
        cv::Mat img;
        det.resize_op.Run(document_page(style, i), img, det.max_side_len, p.ratio_h, p.ratio_w, p.padding);
        det.normalize_op.Run(img, det.mean, det.scale, true);
        list.push_back(img);
    }
    std::vector<float> input(4 * 3 * static_cast<size_t>(list[0].rows) * list[0].cols);
    det.permute_batch_op.Run(list, input.data());
    std::vector<int> in_shape = {4, 3, list[0].rows, list[0].cols}, out_shape;
    p.out.reset(det.mnn_infer(input.data(), in_shape, out_shape));
    p.ok = p.out && out_shape.size() == 4 && out_shape[0] == 4;
    if (p.ok) {
        p.h = out_shape[2];
        p.w = out_shape[3];
    }
    return p;
}

void BM_PlaneLoop(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    const int style = static_cast<int>(state.range(1));
    OCR::TextDetect* det = detector("test");
    if (det == nullptr) {
        state.SkipWithError("model did not load");
        return;
    }
    Planes p = four_planes(*det, style);
    if (!p.ok) {
        state.SkipWithError("no output planes");
        return;
    }
    const size_t plane = static_cast<size_t>(p.h) * p.w;
    std::vector<OCR::DetResult> res(4);
    size_t boxes = 0;
    for (auto _ : state) {
        omp_set_num_threads(threads);
        std::exception_ptr e = OCR::detail::run_plane_loop(4, [&](int i) {
            res[i].boxes = OCR::detail::post_process_plane(*det, p.out.get() + i * plane, p.h, p.w, p.ratio_h,
                                                           p.ratio_w, p.padding, 1080, 1920);
            res[i].imgid = i;
        });
        if (e) {
            state.SkipWithError("post-processing threw");
            return;
        }
        boxes = res[0].boxes.size() + res[1].boxes.size() + res[2].boxes.size() + res[3].boxes.size();
    }
    state.counters["boxes"] = static_cast<double>(boxes);
}

}  // namespace

int main(int argc, char** argv) {
    zel_set_log_dummy(1);  // no per-call timing lines
    benchmark::Initialize(&argc, argv);
    std::vector<std::string> models = {"test"};
    if (isFileExists(std::string(VARNEL_SOURCE_DIR) + "/models/boxv3.p")) models.push_back("trained");
    for (const auto& m : models) {
        for (int style : {0, 1}) {
            const std::string name = "BM_DetectPage/" + m + "/" + (style == 0 ? "bars" : "text");
            benchmark::RegisterBenchmark(name.c_str(), BM_DetectPage, m, style)->Unit(benchmark::kMillisecond);
        }
    }
    benchmark::RegisterBenchmark("BM_PlaneLoop", BM_PlaneLoop)
        ->ArgNames({"threads", "page"})
        ->Args({1, 0})
        ->Args({4, 0})
        ->Args({1, 1})
        ->Args({4, 1})
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
