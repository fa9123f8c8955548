// Resident memory over consecutive requests on the same page: nothing a
// request allocates may stay behind.
//
//   bench_memory [requests]      (default 1000)
//
// Prints the resident set size (from /proc/self/statm) after request 10 and
// after the last one, and the growth; the bar is growth < 2 MB. Exit status
// 1 when the bar is missed. Models: $VARNEL_BENCH_MODELS, else models/ of the
// source tree (skipped with a message when missing). Page:
// examples/sample.png, else white with black bars.
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "crnn.h"
#include "utility.h"
#include "zel_log.h"

namespace {

double rss_mb() {
    FILE* f = fopen("/proc/self/statm", "r");
    if (f == nullptr) return -1.0;
    long size = 0, resident = 0;
    const int n = fscanf(f, "%ld %ld", &size, &resident);
    fclose(f);
    if (n != 2) return -1.0;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    const int requests = argc > 1 ? atoi(argv[1]) : 1000;
    if (requests < 10) {
        fprintf(stderr, "usage: %s [requests >= 10]\n", argv[0]);
        return 2;
    }
    const char* env = getenv("VARNEL_BENCH_MODELS");
    std::string dir = env != nullptr && env[0] != '\0' ? env : std::string(VARNEL_SOURCE_DIR) + "/models";
    for (const char* f : {"boxv3.p", "ocrv4_cn.p", "ocrv3_cn.txt"}) {
        if (!OCR::Utility::PathExists(dir + "/" + f)) {
            printf("bench_memory: %s/%s not found: skipping\n", dir.c_str(), f);
            return 0;
        }
    }
    cv::Mat page = cv::imread(std::string(VARNEL_SOURCE_DIR) + "/examples/sample.png", cv::IMREAD_COLOR);
    if (page.empty()) {
        page = cv::Mat(960, 1280, CV_8UC3, cv::Scalar::all(255));
        for (int i = 0; i < 12; ++i) page(cv::Rect(80, 60 + 72 * i, 300 + 40 * i, 28)).setTo(cv::Scalar::all(0));
    }

    zel_set_log_dummy(1);
    if (init_crnn(dir, "cpu", 0) != 0) {
        fprintf(stderr, "bench_memory: init_crnn failed\n");
        return 2;
    }
    char pattern[] = "[0-9]";
    std::vector<BOX_RESULT> results;
    double after10 = 0.0, after10_trimmed = 0.0;
    size_t in_use10 = 0;
    size_t lines = 0;
    for (int i = 1; i <= requests; ++i) {
        if (crnn_ocr(page, 0, 0, 0, 0, 0, 0.f, nullptr, pattern, results) < 0) {
            fprintf(stderr, "bench_memory: request %d failed\n", i);
            return 2;
        }
        lines = results.size();
        if (i == 10) {
            after10 = rss_mb();
            in_use10 = mallinfo2().uordblks;
            malloc_trim(0);
            after10_trimmed = rss_mb();
        }
    }
    const double after_all = rss_mb();
    const size_t in_use_all = mallinfo2().uordblks;
    malloc_trim(0);
    const double after_all_trimmed = rss_mb();
    uninit_crnn();
    const double growth = after_all - after10;
    const double growth_trimmed = after_all_trimmed - after10_trimmed;
    const double heap_growth = (static_cast<double>(in_use_all) - static_cast<double>(in_use10)) / (1024.0 * 1024.0);
    printf("requests: %d, lines per request: %zu\n", requests, lines);
    printf("rss after request 10: %.2f MB\n", after10);
    printf("rss after request %d: %.2f MB\n", requests, after_all);
    printf("growth: %.2f MB (bar: < 2 MB): %s\n", growth, growth < 2.0 ? "PASS" : "FAIL");
    // Free memory the allocator keeps in its per-thread arenas counts as
    // resident too; handed back (malloc_trim) it shows what requests retain.
    printf("rss after malloc_trim: %.2f MB -> %.2f MB, growth %.2f MB\n", after10_trimmed, after_all_trimmed,
           growth_trimmed);
    printf("heap in use: growth %.3f MB\n", heap_growth);
    return growth < 2.0 ? 0 : 1;
}
