// Resident memory of the library's requests.
//
//   bench_memory [requests]      (default 1000)
//
// Consecutive requests on the same page: nothing a request allocates may
// stay behind. Prints the resident set size (from /proc/self/statm) after
// request 10 and after the last one, and the growth; the bar is growth
// < 2 MB. Exit status 1 when the bar is missed. Page: examples/sample.png,
// else white with black bars.
//
//   bench_memory --peak
//
// Peak resident memory of one request on a 3840 x 3840 page with printed
// lines, the largest input the detector takes (3840 x 3840 after padding
// and scaling). The peak of the request is the high-water mark of the
// resident set (VmHWM of /proc/self/status), reset right before the call;
// ru_maxrss, the peak of the whole process, is printed beside it. Exit
// status 2 when the request fails.
//
// Models: $VARNEL_BENCH_MODELS, else models/ of the source tree (skipped
// with a message when missing).
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

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

// A field of /proc/self/status in MB ("VmHWM", "VmRSS"); -1 when missing.
double status_mb(const char* field) {
    FILE* f = fopen("/proc/self/status", "r");
    if (f == nullptr) return -1.0;
    char line[256];
    double mb = -1.0;
    const size_t n = strlen(field);
    while (fgets(line, sizeof line, f) != nullptr) {
        long kb = 0;
        if (strncmp(line, field, n) == 0 && line[n] == ':' && sscanf(line + n + 1, "%ld", &kb) == 1) {
            mb = static_cast<double>(kb) / 1024.0;
            break;
        }
    }
    fclose(f);
    return mb;
}

// Sets the resident high-water mark back to the current resident size.
bool reset_peak() {
    FILE* f = fopen("/proc/self/clear_refs", "w");
    if (f == nullptr) return false;
    const bool ok = fputs("5", f) >= 0;
    return fclose(f) == 0 && ok;
}

double max_rss_mb() {
    struct rusage ru;
    if (getrusage(RUSAGE_SELF, &ru) != 0) return -1.0;
    return static_cast<double>(ru.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

// A 3840 x 3840 photo-like page (grey shading, Gaussian noise) with eight
// lines of dark printed text spread over it.
cv::Mat large_page() {
    const int side = 3840;
    cv::Mat shade(side, side, CV_16SC3);
    for (int y = 0; y < side; ++y) {
        short* row = shade.ptr<short>(y);
        for (int x = 0; x < side; ++x) {
            const short v = static_cast<short>(150 + 45.0 * (x + y) / side);
            row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = v;
        }
    }
    cv::Mat noise(side, side, CV_16SC3);
    cv::RNG rng(7);
    rng.fill(noise, cv::RNG::NORMAL, 0, 10);
    shade += noise;
    cv::Mat page;
    shade.convertTo(page, CV_8UC3);
    const char* const lines[] = {"2024-05-17", "INVOICE 88213", "TOTAL 4096.50", "Order 7781",
                                 "2024-06-11", "Customer 20931", "Paid 3150.00", "Phone 021-5555-0199"};
    for (int i = 0; i < 8; ++i) {
        cv::putText(page, lines[i], cv::Point(200 + (i % 2) * 1800, 400 + 430 * i), cv::FONT_HERSHEY_SIMPLEX, 2.0,
                    cv::Scalar::all(20), 4, cv::LINE_AA);
    }
    return page;
}

int peak_of_one_request(const std::string& dir) {
    cv::Mat page = large_page();
    zel_set_log_dummy(1);
    std::string model_dir = dir;
    if (init_crnn(model_dir, "cpu", 0) != 0) {
        fprintf(stderr, "bench_memory: init_crnn failed\n");
        return 2;
    }
    char pattern[] = "[0-9]";
    std::vector<BOX_RESULT> results;
    const double before = status_mb("VmRSS");
    const double process_peak_before = max_rss_mb();
    const bool reset = reset_peak();
    const auto t0 = std::chrono::steady_clock::now();
    const int ret = crnn_ocr(page, 0, 0, 0, 0, 0, 0.f, nullptr, pattern, results);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    const double peak = status_mb("VmHWM");
    const double after = status_mb("VmRSS");
    const double process_peak = max_rss_mb();
    uninit_crnn();
    if (ret < 0) {
        fprintf(stderr, "bench_memory: the request failed (%d)\n", ret);
        return 2;
    }
    printf("one request on a %d x %d page: result %d, %zu lines, %.0f ms\n", page.cols, page.rows, ret,
           results.size(), ms);
    printf("rss before the request: %.1f MB, after: %.1f MB\n", before, after);
    if (reset) {
        printf("peak rss during the request (VmHWM): %.1f MB (%.1f MB above the rss before it)\n", peak,
               peak - before);
    } else {
        printf("peak rss during the request: not measured (/proc/self/clear_refs not writable)\n");
    }
    printf("peak rss of the process (ru_maxrss): %.1f MB (%.1f MB before the request)\n", process_peak,
           process_peak_before);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool peak = argc > 1 && strcmp(argv[1], "--peak") == 0;
    const int requests = !peak && argc > 1 ? atoi(argv[1]) : 1000;
    if (argc > 2 || (!peak && requests < 10)) {
        fprintf(stderr, "usage: %s [requests >= 10 | --peak]\n", argv[0]);
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
    if (peak) return peak_of_one_request(dir);

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
