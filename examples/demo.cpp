// Demo host: recognises the text lines of one image, or of a batch of
// equally sized images, and prints one line per record.
//
//   demo [--out PATH] [--verbose] <model_dir> <pattern> <image> [<image> ...]
//
// Per record: image index, the four corners (top-left, top-right,
// bottom-right, bottom-left), whether the text matched the pattern (an
// ECMAScript regular expression searched anywhere in the text), the text.
// Then a line with the number of matches. The records of the first image
// are drawn into <first image stem>_vis.png in the current directory (or
// PATH). Exit status 0 on success, non-zero with a message otherwise.
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "crnn.h"
#include "utility.h"
#include "zel_log.h"

namespace {

void usage(const char* prog) {
    fprintf(stderr,
            "usage: %s [--out PATH] [--verbose] <model_dir> <pattern> <image> [<image> ...]\n"
            "  several images must have the same size; they are recognised as one batch\n"
            "  --out PATH   where to write the result image (default: <first image stem>_vis.png)\n"
            "  --verbose    also print the library's timing and per-line log\n",
            prog);
}

std::string stem(const std::string& path) {
    std::string name = OCR::Utility::basename(path);
    const size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name;
}

}  // namespace

int main(int argc, char** argv) {
    std::string out_path;
    bool verbose = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--out") == 0) {
            if (i + 1 >= argc) {
                usage(argv[0]);
                return 1;
            }
            out_path = argv[++i];
        } else if (strcmp(argv[i], "--verbose") == 0) {
            verbose = true;
        } else if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            usage(argv[0]);
            return 0;
        } else {
            args.push_back(argv[i]);
        }
    }
    if (args.size() < 3) {
        usage(argv[0]);
        return 1;
    }
    std::string model_dir = args[0];
    std::string pattern = args[1];
    const std::vector<std::string> paths(args.begin() + 2, args.end());

    std::vector<cv::Mat> images;
    for (const std::string& p : paths) {
        cv::Mat img = cv::imread(p, cv::IMREAD_COLOR);
        if (img.empty()) {
            fprintf(stderr, "error: cannot read image %s\n", p.c_str());
            return 3;
        }
        images.push_back(img);
    }
    if (out_path.empty()) out_path = stem(paths[0]) + "_vis.png";

    zel_set_log_dummy(verbose ? 0 : 1);
    const int init = init_crnn(model_dir, "cpu", 0);
    if (init != 0) {
        fprintf(stderr, "error: initialisation from %s failed (code %d)\n", model_dir.c_str(), init);
        uninit_crnn();
        return 2;
    }

    std::vector<BOX_RESULT> results;
    int found = -1;
    try {
        if (images.size() == 1) {
            found = crnn_ocr(images[0], 0, 0, 0, 0, 0, 0.f, nullptr, &pattern[0], results);
        } else {
            found = crnn_ocr_batch(images, 0, 0, 0, 0, 0, 0.f, nullptr, &pattern[0], results);
        }
    } catch (const std::exception& e) {
        fprintf(stderr, "error: %s\n", e.what());
        uninit_crnn();
        return 4;
    }
    if (found < 0) {
        fprintf(stderr, "error: the request was refused (see the message above)\n");
        uninit_crnn();
        return 4;
    }

    std::vector<OCR::OCRPredictResult> first;
    for (const BOX_RESULT& r : results) {
        printf("%d\t(%d,%d) (%d,%d) (%d,%d) (%d,%d)\t%d\t%s\n", r.imgid, r.points[0].x, r.points[0].y, r.points[1].x,
               r.points[1].y, r.points[2].x, r.points[2].y, r.points[3].x, r.points[3].y, r.matched, r.text.c_str());
        if (r.imgid != 0) continue;
        OCR::OCRPredictResult p{};
        p.imgid = r.imgid;
        for (const cv::Point& pt : r.points) p.box.push_back({pt.x, pt.y});
        p.text = r.text;
        p.score = 0.f;
        p.cls_label = -1;
        first.push_back(p);
    }
    printf("matched: %d of %zu\n", found, results.size());
    fflush(stdout);

    int status = 0;
    try {
        const time_t before = time(nullptr);
        OCR::Utility::VisualizeBboxes(images[0], first, out_path);
        struct stat st;
        if (stat(out_path.c_str(), &st) != 0 || st.st_mtime + 1 < before) {
            fprintf(stderr, "error: cannot write %s\n", out_path.c_str());
            status = 5;
        }
    } catch (const std::exception& e) {
        fprintf(stderr, "error: drawing the result image failed: %s\n", e.what());
        status = 5;
    }
    uninit_crnn();
    return status;
}
