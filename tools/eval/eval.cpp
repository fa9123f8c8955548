// End-to-end accuracy of the library over a rendered evaluation set.
//
//   eval <model_dir> <data_dir> [--max-cer R] [--min-f F] [--limit N] [--errors]
//
// <data_dir> holds the page images and "gt.tsv": one text line per row,
// "image<TAB>x0,y0,x1,y1,x2,y2,x3,y3<TAB>text". Every page goes through the
// host entry point crnn_ocr. Predicted lines are matched to ground-truth
// lines by polygon IoU >= 0.5 (greedy, best pairs first); detection precision,
// recall and F follow from the matches. The character error rate is the edit
// distance over Unicode code points between each ground-truth text and the
// text of its matched prediction (an unmatched ground-truth line counts as all
// deleted), summed and divided by the ground-truth length; it is reported for
// all lines, Latin-only lines and lines holding Chinese characters. Lines
// made only of digits and dashes are also counted as read exactly or not.
// With --errors every line read wrongly is printed as
// "page<TAB>edits<TAB>truth<TAB>reading". The exit status is 1 when a threshold given on the command line is missed.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "crnn.h"
#include "zel_log.h"

namespace {

struct GtLine {
    std::vector<cv::Point2f> quad;
    std::string text;
};

std::vector<char32_t> to_code_points(const std::string& s) {
    std::vector<char32_t> out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        int n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
        char32_t cp = n == 1 ? c : c & (0xFF >> (n + 1));
        for (int k = 1; k < n && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        out.push_back(cp);
        i += n;
    }
    return out;
}

size_t edit_distance(const std::vector<char32_t>& a, const std::vector<char32_t>& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diag = up;
        }
    }
    return row[b.size()];
}

double quad_iou(const std::vector<cv::Point2f>& a, const std::vector<cv::Point2f>& b) {
    std::vector<cv::Point2f> ha, hb, inter;
    cv::convexHull(a, ha);
    cv::convexHull(b, hb);
    double area_a = cv::contourArea(ha), area_b = cv::contourArea(hb);
    if (area_a <= 0 || area_b <= 0) return 0.0;
    double area_i = cv::intersectConvexConvex(ha, hb, inter, true);
    double uni = area_a + area_b - area_i;
    return uni > 0 ? area_i / uni : 0.0;
}

bool has_chinese(const std::vector<char32_t>& cps) {
    for (char32_t c : cps)
        if (c >= 0x4E00 && c <= 0x9FFF) return true;
    return false;
}

bool is_ascii(const std::vector<char32_t>& cps) {
    for (char32_t c : cps)
        if (c >= 0x80) return false;
    return true;
}

bool is_digits_dashes(const std::string& s) {
    if (s.empty()) return false;
    bool digit = false;
    for (char c : s) {
        if (c >= '0' && c <= '9')
            digit = true;
        else if (c != '-')
            return false;
    }
    return digit;
}

struct Tally {
    size_t edits = 0;
    size_t chars = 0;
    double cer() const { return chars ? static_cast<double>(edits) / chars : 0.0; }
};

int usage() {
    std::fprintf(stderr, "usage: eval <model_dir> <data_dir> [--max-cer R] [--min-f F] [--limit N] [--errors]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    std::string model_dir = argv[1];
    std::string data_dir = argv[2];
    double max_cer = -1.0, min_f = -1.0;
    long limit = -1;
    bool show_errors = false;
    for (int i = 3; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--errors") {
            show_errors = true;
            continue;
        }
        if (i + 1 >= argc) return usage();
        if (a == "--max-cer")
            max_cer = std::atof(argv[++i]);
        else if (a == "--min-f")
            min_f = std::atof(argv[++i]);
        else if (a == "--limit")
            limit = std::atol(argv[++i]);
        else
            return usage();
    }

    std::ifstream gt_file(data_dir + "/gt.tsv");
    if (!gt_file) {
        std::fprintf(stderr, "eval: cannot open %s/gt.tsv\n", data_dir.c_str());
        return 2;
    }
    std::vector<std::string> order;
    std::map<std::string, std::vector<GtLine>> pages;
    std::string row;
    while (std::getline(gt_file, row)) {
        if (row.empty()) continue;
        size_t t1 = row.find('\t'), t2 = t1 == std::string::npos ? t1 : row.find('\t', t1 + 1);
        if (t2 == std::string::npos) {
            std::fprintf(stderr, "eval: malformed row: %s\n", row.c_str());
            return 2;
        }
        std::string name = row.substr(0, t1);
        std::stringstream coords(row.substr(t1 + 1, t2 - t1 - 1));
        GtLine line;
        std::string v;
        std::vector<float> xy;
        while (std::getline(coords, v, ',')) xy.push_back(std::stof(v));
        if (xy.size() != 8) {
            std::fprintf(stderr, "eval: a line needs 8 coordinates: %s\n", row.c_str());
            return 2;
        }
        for (int k = 0; k < 4; ++k) line.quad.emplace_back(xy[2 * k], xy[2 * k + 1]);
        line.text = row.substr(t2 + 1);
        if (!pages.count(name)) order.push_back(name);
        pages[name].push_back(line);
    }
    if (limit >= 0 && static_cast<long>(order.size()) > limit) order.resize(limit);

    zel_set_log_dummy(1);
    if (init_crnn(model_dir, "cpu", 0) != 0) {
        std::fprintf(stderr, "eval: cannot load the models from %s\n", model_dir.c_str());
        return 2;
    }

    size_t n_pred = 0, n_gt = 0, n_match = 0;
    size_t dd_lines = 0, dd_exact = 0;
    Tally all, latin, chinese;
    char empty_pattern[] = "";
    for (const std::string& name : order) {
        cv::Mat img = cv::imread(data_dir + "/" + name, cv::IMREAD_COLOR);
        if (img.empty()) {
            std::fprintf(stderr, "eval: cannot read %s/%s\n", data_dir.c_str(), name.c_str());
            uninit_crnn();
            return 2;
        }
        std::vector<BOX_RESULT> results;
        crnn_ocr(img, 0, 0, 0, 0, 0, 0.0f, nullptr, empty_pattern, results);
        const std::vector<GtLine>& gt = pages[name];
        n_pred += results.size();
        n_gt += gt.size();

        // Greedy one-to-one matching, highest IoU first.
        std::vector<std::tuple<double, size_t, size_t>> pairs;
        for (size_t g = 0; g < gt.size(); ++g) {
            for (size_t p = 0; p < results.size(); ++p) {
                std::vector<cv::Point2f> q;
                for (const cv::Point& pt : results[p].points) q.emplace_back(pt);
                double iou = quad_iou(gt[g].quad, q);
                if (iou >= 0.5) pairs.emplace_back(iou, g, p);
            }
        }
        std::sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return std::get<0>(a) > std::get<0>(b); });
        std::vector<int> gt_to_pred(gt.size(), -1);
        std::vector<bool> pred_used(results.size(), false);
        for (const auto& [iou, g, p] : pairs) {
            if (gt_to_pred[g] >= 0 || pred_used[p]) continue;
            gt_to_pred[g] = static_cast<int>(p);
            pred_used[p] = true;
            ++n_match;
        }

        for (size_t g = 0; g < gt.size(); ++g) {
            std::string pred = gt_to_pred[g] >= 0 ? results[gt_to_pred[g]].text : std::string();
            std::vector<char32_t> ref = to_code_points(gt[g].text), hyp = to_code_points(pred);
            size_t d = edit_distance(ref, hyp);
            if (show_errors && d > 0)
                std::printf("%s\t%zu\t%s\t%s\n", name.c_str(), d, gt[g].text.c_str(), pred.c_str());
            all.edits += d;
            all.chars += ref.size();
            Tally& group = has_chinese(ref) ? chinese : latin;
            if (has_chinese(ref) || is_ascii(ref)) {
                group.edits += d;
                group.chars += ref.size();
            }
            if (is_digits_dashes(gt[g].text)) {
                ++dd_lines;
                if (pred == gt[g].text) ++dd_exact;
            }
        }
    }
    uninit_crnn();

    double precision = n_pred ? static_cast<double>(n_match) / n_pred : 0.0;
    double recall = n_gt ? static_cast<double>(n_match) / n_gt : 0.0;
    double f = precision + recall > 0 ? 2 * precision * recall / (precision + recall) : 0.0;
    std::printf("pages %zu, lines %zu, predicted %zu, matched %zu\n", order.size(), n_gt, n_pred, n_match);
    std::printf("detection precision %.4f recall %.4f F %.4f\n", precision, recall, f);
    std::printf("CER all %.4f (%zu chars), latin %.4f (%zu chars), chinese %.4f (%zu chars)\n", all.cer(), all.chars,
                latin.cer(), latin.chars, chinese.cer(), chinese.chars);
    std::printf("digits-and-dashes lines read exactly: %zu of %zu (%.4f)\n", dd_exact, dd_lines,
                dd_lines ? static_cast<double>(dd_exact) / dd_lines : 0.0);

    int status = 0;
    if (max_cer >= 0 && all.cer() > max_cer) {
        std::printf("FAIL: character error rate %.4f is above %.4f\n", all.cer(), max_cer);
        status = 1;
    }
    if (min_f >= 0 && f < min_f) {
        std::printf("FAIL: detection F %.4f is below %.4f\n", f, min_f);
        status = 1;
    }
    return status;
}
