// End-to-end cost of one crnn_ocr request, with the stage times of the
// pipeline as counters, on two upright pages: a 1280 x 960 document page of
// about a dozen lines, and a photographed receipt of about forty lines.
// Each page runs twice, with the pipeline's orientation step on ("orient")
// and off ("plain"), so that one run shows what the step costs:
//
//   bench_pipeline --benchmark_repetitions=15
//       --benchmark_enable_random_interleaving=true
//       --benchmark_report_aggregates_only=true
//
// gives the medians of both forms of each page, measured interleaved.
//
// Models: $VARNEL_BENCH_MODELS, else models/ of the source tree; the
// benchmark is skipped with a message when boxv3.p, ocrv4_cn.p or
// ocrv3_cn.txt is missing there. With --base-models=DIR every benchmark
// runs with that model directory as well ("base/..." beside "models/..."),
// so that new networks and the shipped ones are timed in one run:
//
//   VARNEL_BENCH_MODELS=NEW bench_pipeline --base-models=models ... Document page: examples/sample.png, else
// one drawn here with a CJK font. Receipt: a validation image of the real
// receipt set beside the source tree (../shared/data/real/sroie_train);
// its two benchmarks are left out with a message when it is missing.
//
// Counters (milliseconds per request): e2e (the crnn_ocr call: pipeline,
// pattern matching, records); then, from one pipeline run timed on its own:
// det_pre, det_infer, det_post, rec_pre, rec_infer, rec_post, pipeline (its
// wall time), rest (pipeline minus the six stages: packing, cropping, size
// filters) and non_infer_share = (pipeline - det_infer - rec_infer) /
// pipeline. The bar is non_infer_share <= 0.30.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/freetype.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "crnn.h"
#include "ocr.h"
#include "ocr_internal.h"
#include "utility.h"
#include "zel_log.h"

namespace {

std::string model_dir() {
    const char* env = getenv("VARNEL_BENCH_MODELS");
    if (env != nullptr && env[0] != '\0') return env;
    return std::string(VARNEL_SOURCE_DIR) + "/models";
}

bool models_present(const std::string& dir) {
    for (const char* f : {"boxv3.p", "ocrv4_cn.p", "ocrv3_cn.txt"}) {
        if (!OCR::Utility::PathExists(dir + "/" + f)) {
            fprintf(stderr, "bench_pipeline: %s/%s not found: skipping the benchmark\n", dir.c_str(), f);
            return false;
        }
    }
    return true;
}

cv::Mat document_page() {
    cv::Mat page = cv::imread(std::string(VARNEL_SOURCE_DIR) + "/examples/sample.png", cv::IMREAD_COLOR);
    if (!page.empty() && page.cols == 1280 && page.rows == 960) return page;
    page = cv::Mat(960, 1280, CV_8UC3, cv::Scalar::all(255));
    cv::Ptr<cv::freetype::FreeType2> ft2 = cv::freetype::createFreeType2();
    ft2->loadFontData("/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc", 0);
    const char* lines[] = {"Delivery Note",        "送货单 编号 DN-2024-0611", "Date: 2024-06-11",
                           "日期：2024年6月11日",  "Customer: Harbour Trading", "收货人：上海港务贸易有限公司",
                           "Item code: XK-4471-B", "Amount: 12,480.50 CNY",     "金额：壹万贰仟肆佰捌拾元",
                           "Phone: +86 21 5555 0199", "电话：021-5555-0199",    "Thank you for your business"};
    int y = 60;
    for (const char* l : lines) {
        ft2->putText(page, l, cv::Point(80, y), 32, cv::Scalar::all(0), -1, cv::LINE_AA, true);
        y += 72;
    }
    return page;
}

// A receipt of the real set's validation part (one image in ten, chosen by
// a hash of the file name: tools/train/realdata.py).
const char* const kReceipt = "/../shared/data/real/sroie_train/053.jpg";

cv::Mat receipt_page() { return cv::imread(std::string(VARNEL_SOURCE_DIR) + kReceipt, cv::IMREAD_COLOR); }

void BM_CrnnOcrPage(benchmark::State& state, std::string dir, cv::Mat page, bool orient) {
    zel_set_log_dummy(1);
    if (init_crnn(dir, "cpu", 0) != 0) {
        uninit_crnn();  // a failed initialisation keeps its pipeline
        zel_set_log_dummy(0);
        state.SkipWithError("init_crnn failed");
        return;
    }
    OCR::detail::PipelineSwitches::set_orientation(*g_ocr, orient);
    char pattern[] = "20[0-9]{2}";
    std::vector<BOX_RESULT> results;
    std::vector<std::vector<double>> stages(3, std::vector<double>(3, 0.0));
    double e2e_ms = 0.0, pipeline_ms = 0.0;
    size_t lines = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        const int found = crnn_ocr(page, 0, 0, 0, 0, 0, 0.f, nullptr, pattern, results);
        auto t1 = std::chrono::steady_clock::now();
        if (found < 0) {
            state.SkipWithError("crnn_ocr refused the request");
            break;
        }
        const double ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
        e2e_ms += ms;
        state.SetIterationTime(ms / 1000.0);
        lines = results.size();
        // The stage times and the wall time of one and the same pipeline
        // run, so that the shares below compare like with like.
        state.PauseTiming();
        std::vector<cv::Mat> imgs = {page};
        auto p0 = std::chrono::steady_clock::now();
        g_ocr->run_batch(imgs, true, true, stages);
        auto p1 = std::chrono::steady_clock::now();
        pipeline_ms += std::chrono::duration<double, std::milli>(p1 - p0).count();
        state.ResumeTiming();
    }
    const double n = static_cast<double>(state.iterations());
    const double det_pre = stages[0][0] / n, det_inf = stages[0][1] / n, det_post = stages[0][2] / n;
    const double rec_pre = stages[1][0] / n, rec_inf = stages[1][1] / n, rec_post = stages[1][2] / n;
    const double pipe = pipeline_ms / n;
    state.counters["det_pre"] = det_pre;
    state.counters["det_infer"] = det_inf;
    state.counters["det_post"] = det_post;
    state.counters["rec_pre"] = rec_pre;
    state.counters["rec_infer"] = rec_inf;
    state.counters["rec_post"] = rec_post;
    state.counters["rest"] = pipe - (det_pre + det_inf + det_post + rec_pre + rec_inf + rec_post);
    state.counters["pipeline"] = pipe;
    state.counters["e2e"] = e2e_ms / n;
    state.counters["non_infer_share"] = pipe > 0 ? (pipe - det_inf - rec_inf) / pipe : 0.0;
    state.counters["lines"] = static_cast<double>(lines);
    uninit_crnn();
    zel_set_log_dummy(0);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::vector<std::pair<std::string, std::string>> sets = {{"models", model_dir()}};
    const std::string base_flag = "--base-models=";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.compare(0, base_flag.size(), base_flag) == 0) {
            sets.emplace_back("base", a.substr(base_flag.size()));
        } else {
            fprintf(stderr, "bench_pipeline: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    for (const auto& set : sets)
        if (!models_present(set.second)) return 0;
    std::vector<std::pair<std::string, cv::Mat>> pages = {{"sample", document_page()}};
    cv::Mat receipt = receipt_page();
    if (receipt.empty()) {
        fprintf(stderr, "bench_pipeline: %s%s not found: no receipt benchmarks\n", VARNEL_SOURCE_DIR, kReceipt);
    } else {
        pages.emplace_back("receipt", receipt);
    }
    for (const auto& set : sets) {
        for (const auto& page : pages) {
            for (bool orient : {true, false}) {
                const std::string name = "BM_CrnnOcrPage/" + (sets.size() > 1 ? set.first + "/" : std::string()) +
                                         page.first + (orient ? "/orient" : "/plain");
                benchmark::RegisterBenchmark(name.c_str(), BM_CrnnOcrPage, set.second, page.second, orient)
                    ->UseManualTime()
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
