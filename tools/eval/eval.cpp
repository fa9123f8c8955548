// End-to-end accuracy of the library over an annotated evaluation set.
//
//   eval <model_dir> <data_dir> [--det-only | --crops] [--receipt-fields]
//        [--fold-case] [--turn K] [--max-cer R] [--min-f F] [--min-exact E] [--limit N]
//        [--errors]
//
// <data_dir> holds "gt.tsv": one text line per row,
// "image<TAB>x0,y0,x1,y1,x2,y2,x3,y3<TAB>text[<TAB>flag]". The image path is
// relative to <data_dir> or absolute. The optional flag is "ignore" for a
// don't-care region (illegible or unannotated text) or "notext" for a region
// without a transcript; a row with an empty coordinate field only lists a
// page without text lines. tools/eval/real_sets.py writes such lists for the
// real annotated sets.
//
// Default mode: every page goes through the host entry point crnn_ocr.
// Predicted lines that cover a don't-care region (IoU >= 0.5 with it, or
// more than half of their own area inside it) are dropped first: they count
// neither as found nor as false. The other predictions are matched to the
// other ground-truth lines by polygon IoU >= 0.5 (greedy, best pairs first);
// detection precision, recall and F follow from the matches, and the median
// IoU of the matched pairs is reported. The character error rate is the edit
// distance over Unicode code points between each transcribed ground-truth
// text and the text of its matched prediction (an unmatched ground-truth line
// counts as all deleted), summed and divided by the ground-truth length; it
// is reported for all lines, Latin-only lines and lines holding Chinese
// characters. Lines made only of digits and dashes are also counted as read
// exactly or not. Word scores compare, page by page, the multiset of
// whitespace-separated words of all recognised lines with that of the
// transcribed ground-truth lines, both ASCII-lower-cased (pages holding a
// "notext" region are left out of them).
//
// --det-only: detection only (the pipeline without its recognition stage);
// reports precision, recall, F and the median IoU.
// --crops: recognition only. Every transcribed ground-truth region is cut
// from its page the way the library cuts a detected line, from its quad grown
// by 7% of its height on every side (a close detector box), and recognised;
// reports the CER, the share of lines read exactly and the word scores.
// --fold-case: truth and reading are ASCII-lower-cased before the character
// error rate and the exact-line count, for sets whose transcripts do not keep
// the printed case (SROIE's are upper-cased throughout).
// --receipt-fields: also reports how often a receipt's date and total, as
// found in its ground truth (see find_date and find_total), appear in the
// recognised lines.
// --turn K (0 to 3, default 0): every page is turned K quarter turns
// clockwise as soon as it is read, and its ground-truth quads with it (each
// corner mapped in place, so a quad keeps its corner order), in every mode;
// --crops cuts its crops from the turned page along the turned quads. It
// measures how pages scanned sideways or upside down are read. The receipt
// fields are still found in the ground truth as annotated, upright.
//
// With --errors every line read wrongly is printed as
// "page<TAB>edits<TAB>truth<TAB>reading", and every receipt field not read as
// "receipt<TAB>page<TAB>date|total<TAB>value". Thresholds: --max-cer (default
// and --crops), --min-f (detection F, default and --det-only), --min-exact
// (--crops). The exit status is 1 when a threshold given on the command line
// is missed, 2 on a usage or input error.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "crnn.h"
#include "ocr.h"
#include "ocr_internal.h"
#include "rec.h"
#include "utility.h"
#include "zel_log.h"

namespace {

struct GtLine {
    std::vector<cv::Point2f> quad;
    std::string text;
    bool ignore = false;  // don't care: not scored at all
    bool notext = false;  // no transcript: scored for detection only
    bool transcribed() const { return !ignore && !notext; }
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

// Areas of the convex hulls of a and b and of their intersection.
void hull_areas(const std::vector<cv::Point2f>& a, const std::vector<cv::Point2f>& b, double& area_a, double& area_b,
                double& area_i) {
    std::vector<cv::Point2f> ha, hb, inter;
    cv::convexHull(a, ha);
    cv::convexHull(b, hb);
    area_a = cv::contourArea(ha);
    area_b = cv::contourArea(hb);
    area_i = area_a > 0 && area_b > 0 ? cv::intersectConvexConvex(ha, hb, inter, true) : 0.0;
}

double quad_iou(const std::vector<cv::Point2f>& a, const std::vector<cv::Point2f>& b) {
    double area_a, area_b, area_i;
    hull_areas(a, b, area_a, area_b, area_i);
    if (area_a <= 0 || area_b <= 0) return 0.0;
    double uni = area_a + area_b - area_i;
    return uni > 0 ? area_i / uni : 0.0;
}

// A prediction on a don't-care region: IoU >= 0.5 with it, or more than
// half of the prediction's area inside it.
bool on_dont_care(const std::vector<cv::Point2f>& pred, const std::vector<GtLine>& gt) {
    for (const GtLine& g : gt) {
        if (!g.ignore) continue;
        double area_p, area_g, area_i;
        hull_areas(pred, g.quad, area_p, area_g, area_i);
        if (area_p <= 0 || area_g <= 0) continue;
        if (area_i / (area_p + area_g - area_i) >= 0.5 || area_i > 0.5 * area_p) return true;
    }
    return false;
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

std::string fold(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

struct Tally {
    size_t edits = 0;
    size_t chars = 0;
    double cer() const { return chars ? static_cast<double>(edits) / chars : 0.0; }
};

void print_cer(const Tally& all, const Tally& latin, const Tally& chinese) {
    std::printf("CER all %.4f (%zu chars), latin %.4f (%zu chars), chinese %.4f (%zu chars)\n", all.cer(), all.chars,
                latin.cer(), latin.chars, chinese.cer(), chinese.chars);
}

// True (with a FAIL line) when a --max-cer threshold was given and missed.
bool cer_missed(const Tally& all, double max_cer) {
    if (max_cer < 0 || all.cer() <= max_cer) return false;
    std::printf("FAIL: character error rate %.4f is above %.4f\n", all.cer(), max_cer);
    return true;
}

double f_score(double p, double r) { return p + r > 0 ? 2 * p * r / (p + r) : 0.0; }

// Case-folded word multisets of the recognised lines against those of the
// ground truth, intersected page by page.
struct WordTally {
    size_t gt = 0, pred = 0, match = 0;

    static std::map<std::string, size_t> bag(const std::vector<std::string>& lines, size_t& count) {
        std::map<std::string, size_t> out;
        for (const std::string& line : lines) {
            std::istringstream words(fold(line));
            std::string w;
            while (words >> w) {
                ++out[w];
                ++count;
            }
        }
        return out;
    }

    void add(const std::vector<std::string>& truth, const std::vector<std::string>& read) {
        std::map<std::string, size_t> t = bag(truth, gt), r = bag(read, pred);
        for (const auto& [w, n] : t) {
            auto it = r.find(w);
            if (it != r.end()) match += std::min(n, it->second);
        }
    }

    void print() const {
        double p = pred ? static_cast<double>(match) / pred : 0.0;
        double r = gt ? static_cast<double>(match) / gt : 0.0;
        std::printf("words (case-folded) precision %.4f recall %.4f F %.4f (%zu true words, %zu read, %zu matched)\n", p,
                    r, f_score(p, r), gt, pred, match);
    }
};

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

// ---------------------------------------------------------------- receipts
//
// Our own approximation of a receipt's key fields, taken from its ground-truth
// lines (in file order) because the sets carry no field annotation:
// - date: the first date-like token of the first line that has one:
//   d/m/y or m/d/y with "/", "-" or "." (day <= 31, month <= 12, two- or
//   four-digit year), y-m-d with a four-digit year, "12 MAR 2018",
//   "12-MAR-18", "02/JAN/2017" or "MAR 12, 2018";
// - total: among the lines containing "TOTAL" (any case), skipping subtotals,
//   counts (QTY, ITEMS, POINTS), savings, discounts, tax-only, excluding-tax
//   and "... INCLUDED IN TOTAL" lines, the best one by rank: 3 for final sums
//   (ROUNDED, GRAND, NET(T), FINAL, PAYABLE, DUE, AMOUNT/AMT, AFTER ADJ),
//   2 for a bare "TOTAL" (optionally with RM/MYR and punctuation) or a total
//   including tax (INC...), 1 for any other; ties go to the lower line on
//   the receipt. The amount is the last "123.45"-like number of the row
//   formed by the line and the lines to its right that overlap it vertically
//   by at least half the smaller height (receipts often put the label and
//   the amount in separate boxes); lines with no amount in their row are not
//   candidates.
// A field counts as read when its string appears in some recognised line
// (case-folded, not directly next to another digit).

const std::string kMonth =
    "(?:JAN(?:UARY)?|FEB(?:RUARY)?|MAR(?:CH)?|APR(?:IL)?|MAY|JUNE?|JULY?|AUG(?:UST)?|SEP(?:T(?:EMBER)?)?|"
    "OCT(?:OBER)?|NOV(?:EMBER)?|DEC(?:EMBER)?)";

bool in_range(const std::string& s, int lo, int hi) {
    int v = std::atoi(s.c_str());
    return v >= lo && v <= hi;
}

bool year_ok(const std::string& y) { return y.size() == 2 || in_range(y, 1900, 2099); }

std::string find_date(const std::vector<GtLine>& gt) {
    static const auto flags = std::regex::ECMAScript | std::regex::icase;
    static const std::regex dmy(R"(\b(\d{1,2})([/.-])(\d{1,2})\2(\d{4}|\d{2})\b)", flags);
    static const std::regex ymd(R"(\b(\d{4})([/.-])(\d{1,2})\2(\d{1,2})\b)", flags);
    static const std::regex d_mon_y("\\b(\\d{1,2})[ /.-]?" + kMonth + "[ /.,-]*(\\d{4}|\\d{2})\\b", flags);
    static const std::regex mon_d_y("\\b" + kMonth + "[ .]*(\\d{1,2})(?:ST|ND|RD|TH)?,? *(\\d{4})\\b", flags);
    for (const GtLine& g : gt) {
        if (!g.transcribed()) continue;
        const std::string& s = g.text;
        long best_pos = -1;
        std::string best;
        auto consider = [&](const std::regex& re, auto valid) {
            for (auto it = std::sregex_iterator(s.begin(), s.end(), re); it != std::sregex_iterator(); ++it) {
                if (!valid(*it)) continue;
                if (best_pos < 0 || it->position(0) < best_pos) {
                    best_pos = it->position(0);
                    best = it->str(0);
                }
                break;
            }
        };
        consider(dmy, [](const std::smatch& m) {
            bool dm = in_range(m[1], 1, 31) && in_range(m[3], 1, 12);
            bool md = in_range(m[1], 1, 12) && in_range(m[3], 1, 31);
            return (dm || md) && year_ok(m[4]);
        });
        consider(ymd, [](const std::smatch& m) {
            return in_range(m[1], 1900, 2099) && in_range(m[3], 1, 12) && in_range(m[4], 1, 31);
        });
        consider(d_mon_y, [](const std::smatch& m) { return in_range(m[1], 1, 31) && year_ok(m[2]); });
        consider(mon_d_y, [](const std::smatch& m) { return in_range(m[1], 1, 31) && year_ok(m[2]); });
        if (best_pos >= 0) return best;
    }
    return "";
}

std::string last_amount(const std::string& s) {
    static const std::regex amount(R"((?:^|[^\d.,])(\d{1,3}(?:,\d{3})+\.\d{2}|\d+\.\d{2})(?!\d))");
    std::string last;
    for (auto it = std::sregex_iterator(s.begin(), s.end(), amount); it != std::sregex_iterator(); ++it)
        last = it->str(1);
    return last;
}

int total_rank(const std::string& text) {
    static const auto flags = std::regex::ECMAScript | std::regex::icase;
    static const std::regex skip(
        R"(SUB[ -]?TOTAL|QTY|QUANTITY|\bITEMS?\b|ITEM *\(|POINT|SAVING|DISCOUNT|\bTAX\b|EXCL|INCLUDED IN|INCLUDES|\b0% SUPPLIES|ROUNDING)",
        flags);
    static const std::regex gst(R"(\bGST\b)", flags), inc(R"(\bINC)", flags);
    static const std::regex final_sum(R"(ROUND|GRAND|\bNETT?\b|FINAL|PAYABLE|\bDUE\b|AMOUNT|\bAMT\b|AFTER ADJ)", flags);
    static const std::regex bare(R"(^[^A-Z]*TOTAL[^A-Z]*(?:(?:RM|MYR)[^A-Z]*)?$)", flags);
    if (fold(text).find("total") == std::string::npos) return 0;
    if (std::regex_search(text, skip)) return 0;
    if (std::regex_search(text, gst) && !std::regex_search(text, inc)) return 0;
    if (std::regex_search(text, final_sum)) return 3;
    if (std::regex_match(text, bare) || std::regex_search(text, inc)) return 2;
    return 1;
}

std::string find_total(const std::vector<GtLine>& gt) {
    int best_rank = 0;
    std::string best;
    for (size_t i = 0; i < gt.size(); ++i) {
        if (!gt[i].transcribed()) continue;
        int rank = total_rank(gt[i].text);
        if (rank == 0 || rank < best_rank) continue;
        cv::Rect box = cv::boundingRect(gt[i].quad);
        std::vector<std::pair<int, const std::string*>> row;
        for (const GtLine& g : gt) {
            if (!g.transcribed()) continue;
            cv::Rect b = cv::boundingRect(g.quad);
            int overlap = std::min(box.y + box.height, b.y + b.height) - std::max(box.y, b.y);
            if (&g == &gt[i] || (b.x >= box.x && 2 * overlap >= std::min(box.height, b.height)))
                row.emplace_back(b.x, &g.text);
        }
        std::stable_sort(row.begin(), row.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        std::string joined;
        for (const auto& part : row) joined += *part.second + " ";
        std::string amount = last_amount(joined);
        if (amount.empty()) continue;
        best_rank = rank;
        best = amount;
    }
    return best;
}

bool read_in(const std::string& value, const std::vector<std::string>& lines) {
    const std::string v = fold(value);
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    for (const std::string& line : lines) {
        const std::string l = fold(line);
        for (size_t at = l.find(v); at != std::string::npos; at = l.find(v, at + 1)) {
            bool before = at > 0 && digit(l[at - 1]) && digit(v.front());
            bool after = at + v.size() < l.size() && digit(l[at + v.size()]) && digit(v.back());
            if (!before && !after) return true;
        }
    }
    return false;
}

struct ReceiptTally {
    size_t dates = 0, dates_read = 0, totals = 0, totals_read = 0;

    void add(const std::string& page, const std::vector<GtLine>& gt, const std::vector<std::string>& read,
             bool show_errors) {
        const std::string date = find_date(gt), total = find_total(gt);
        if (!date.empty()) {
            ++dates;
            if (read_in(date, read))
                ++dates_read;
            else if (show_errors)
                std::printf("receipt\t%s\tdate\t%s\n", page.c_str(), date.c_str());
        }
        if (!total.empty()) {
            ++totals;
            if (read_in(total, read))
                ++totals_read;
            else if (show_errors)
                std::printf("receipt\t%s\ttotal\t%s\n", page.c_str(), total.c_str());
        }
    }

    void print() const {
        std::printf("receipts: date read on %zu of %zu (%.4f), total read on %zu of %zu (%.4f)\n", dates_read, dates,
                    dates ? static_cast<double>(dates_read) / dates : 0.0, totals_read, totals,
                    totals ? static_cast<double>(totals_read) / totals : 0.0);
    }
};

// ---------------------------------------------------------------- turns

// Where the point p of an image of the given size lands when the image is
// turned k quarter turns clockwise (cv::rotate): every turn takes (x, y) of
// an image of height h to (h - 1 - y, x), and swaps the image's sides.
cv::Point2f turn_point(cv::Point2f p, cv::Size size, int k) {
    for (int t = 0; t < k; ++t) {
        p = cv::Point2f(static_cast<float>(size.height - 1) - p.y, p.x);
        std::swap(size.width, size.height);
    }
    return p;
}

cv::Mat turn_image(const cv::Mat& img, int k) {
    static const cv::RotateFlags codes[] = {cv::ROTATE_90_CLOCKWISE, cv::ROTATE_180, cv::ROTATE_90_COUNTERCLOCKWISE};
    if (k == 0) return img;
    cv::Mat out;
    cv::rotate(img, out, codes[k - 1]);
    return out;
}

// ---------------------------------------------------------------- crops

// Moves every edge of a convex quad outwards by d, keeping edge directions;
// the quad unchanged when it is degenerate.
std::vector<cv::Point2f> offset_quad(const std::vector<cv::Point2f>& q, double d) {
    double area2 = 0.0;
    for (int i = 0; i < 4; ++i) area2 += q[i].x * q[(i + 1) % 4].y - q[(i + 1) % 4].x * q[i].y;
    if (std::abs(area2) < 1e-6) return q;
    // Outward normal of an edge e: (e.y, -e.x) / |e| for a clockwise-on-screen
    // quad (positive shoelace sum with y pointing down).
    const double sign = area2 > 0 ? 1.0 : -1.0;
    std::array<cv::Point2d, 4> base, dir;
    for (int i = 0; i < 4; ++i) {
        cv::Point2d p = q[i], e = cv::Point2d(q[(i + 1) % 4]) - p;
        double n = std::hypot(e.x, e.y);
        if (n < 1e-6) return q;
        base[i] = p + cv::Point2d(e.y, -e.x) * (sign * d / n);
        dir[i] = e;
    }
    std::vector<cv::Point2f> out(4);
    for (int i = 0; i < 4; ++i) {
        const cv::Point2d &p1 = base[(i + 3) % 4], &e1 = dir[(i + 3) % 4], &p2 = base[i], &e2 = dir[i];
        double den = e1.x * e2.y - e1.y * e2.x;
        if (std::abs(den) < 1e-9) return q;
        double t = ((p2.x - p1.x) * e2.y - (p2.y - p1.y) * e2.x) / den;
        out[i] = cv::Point2f(p1 + e1 * t);
    }
    return out;
}

// The box the library would cut for a region found closely: its quad grown
// by 7% of its height on every side, in whole pixels inside the image.
std::vector<std::vector<int>> crop_box(const std::vector<cv::Point2f>& q, const cv::Mat& img) {
    double h = 0.5 * (cv::norm(q[3] - q[0]) + cv::norm(q[2] - q[1]));
    std::vector<std::vector<int>> box;
    for (const cv::Point2f& p : offset_quad(q, 0.07 * h)) {
        int x = std::clamp(static_cast<int>(std::lround(p.x)), 0, img.cols - 1);
        int y = std::clamp(static_cast<int>(std::lround(p.y)), 0, img.rows - 1);
        box.push_back({x, y});
    }
    return box;
}

int usage() {
    std::fprintf(stderr,
                 "usage: eval <model_dir> <data_dir> [--det-only | --crops] [--receipt-fields] [--fold-case] [--turn K] "
                 "[--max-cer R] [--min-f F] [--min-exact E] [--limit N] [--errors]\n");
    return 2;
}

int usage(const char* why) {
    std::fprintf(stderr, "eval: %s\n", why);
    return usage();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    std::string model_dir = argv[1];
    std::string data_dir = argv[2];
    double max_cer = -1.0, min_f = -1.0, min_exact = -1.0;
    long limit = -1;
    int turn = 0;
    bool show_errors = false, det_only = false, crops = false, receipts = false, fold_case = false;
    for (int i = 3; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--errors") {
            show_errors = true;
            continue;
        }
        if (a == "--det-only") {
            det_only = true;
            continue;
        }
        if (a == "--crops") {
            crops = true;
            continue;
        }
        if (a == "--receipt-fields") {
            receipts = true;
            continue;
        }
        if (a == "--fold-case") {
            fold_case = true;
            continue;
        }
        if (i + 1 >= argc) return usage();
        if (a == "--max-cer")
            max_cer = std::atof(argv[++i]);
        else if (a == "--min-f")
            min_f = std::atof(argv[++i]);
        else if (a == "--min-exact")
            min_exact = std::atof(argv[++i]);
        else if (a == "--limit")
            limit = std::atol(argv[++i]);
        else if (a == "--turn") {
            const std::string k = argv[++i];
            if (k.size() != 1 || k[0] < '0' || k[0] > '3') return usage("--turn takes 0, 1, 2 or 3");
            turn = k[0] - '0';
        } else
            return usage();
    }
    // A threshold the chosen mode cannot measure would pass silently.
    if (det_only && crops) return usage("--det-only and --crops exclude each other");
    if (det_only && (max_cer >= 0 || receipts)) return usage("--det-only reads no text (--max-cer, --receipt-fields)");
    if (crops && min_f >= 0) return usage("--crops runs no detection (--min-f)");
    if (!crops && min_exact >= 0) return usage("--min-exact needs --crops");

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
        std::string coord_field = row.substr(t1 + 1, t2 - t1 - 1);
        std::string rest = row.substr(t2 + 1);
        if (!pages.count(name)) order.push_back(name);
        std::vector<GtLine>& page = pages[name];
        if (coord_field.empty() && rest.empty()) continue;  // a page without text lines
        std::stringstream coords(coord_field);
        GtLine line;
        std::string v;
        std::vector<float> xy;
        try {
            while (std::getline(coords, v, ',')) xy.push_back(std::stof(v));
        } catch (const std::logic_error&) {  // not a number, or out of float range
            std::fprintf(stderr, "eval: bad coordinate \"%s\": %s\n", v.c_str(), row.c_str());
            return 2;
        }
        if (xy.size() != 8) {
            std::fprintf(stderr, "eval: a line needs 8 coordinates: %s\n", row.c_str());
            return 2;
        }
        for (int k = 0; k < 4; ++k) line.quad.emplace_back(xy[2 * k], xy[2 * k + 1]);
        size_t t3 = rest.find('\t');
        line.text = rest.substr(0, t3);
        if (t3 != std::string::npos) {
            std::string flag = rest.substr(t3 + 1);
            line.ignore = flag == "ignore";
            line.notext = flag == "notext";
            if (!line.ignore && !line.notext) {
                std::fprintf(stderr, "eval: unknown flag \"%s\" (ignore or notext): %s\n", flag.c_str(), row.c_str());
                return 2;
            }
        }
        page.push_back(line);
    }
    if (limit >= 0 && static_cast<long>(order.size()) > limit) order.resize(limit);

    zel_set_log_dummy(1);
    std::unique_ptr<OCR::TextRec> recognizer;
    if (crops) recognizer = std::make_unique<OCR::TextRec>();
    if (crops ? recognizer->initModel_mnn(model_dir, 0, 0) != 0 : init_crnn(model_dir, "cpu", 0) != 0) {
        std::fprintf(stderr, "eval: cannot load the models from %s\n", model_dir.c_str());
        if (!crops) uninit_crnn();
        return 2;
    }
    auto fail = [&](const char* what, const std::string& path) {
        std::fprintf(stderr, "eval: %s %s\n", what, path.c_str());
        if (!crops) uninit_crnn();
        return 2;
    };

    size_t n_pred = 0, n_gt = 0, n_match = 0, n_dont_care = 0, n_dropped = 0;
    size_t dd_lines = 0, dd_exact = 0, n_crops = 0, n_exact = 0;
    std::vector<double> matched_iou;
    Tally all, latin, chinese;
    WordTally words;
    ReceiptTally fields;
    char empty_pattern[] = "";

    // Adds one ground-truth text and its reading to the error tallies.
    auto score_text = [&](const std::string& page, const std::string& truth_text, const std::string& pred_text) {
        const std::string truth = fold_case ? fold(truth_text) : truth_text;
        const std::string pred = fold_case ? fold(pred_text) : pred_text;
        std::vector<char32_t> ref = to_code_points(truth), hyp = to_code_points(pred);
        size_t d = edit_distance(ref, hyp);
        if (show_errors && d > 0) std::printf("%s\t%zu\t%s\t%s\n", page.c_str(), d, truth.c_str(), pred.c_str());
        all.edits += d;
        all.chars += ref.size();
        Tally& group = has_chinese(ref) ? chinese : latin;
        if (has_chinese(ref) || is_ascii(ref)) {
            group.edits += d;
            group.chars += ref.size();
        }
        if (is_digits_dashes(truth)) {
            ++dd_lines;
            if (pred == truth) ++dd_exact;
        }
    };

    for (const std::string& name : order) {
        const std::string path = !name.empty() && name[0] == '/' ? name : data_dir + "/" + name;
        cv::Mat img = cv::imread(path, cv::IMREAD_COLOR);
        if (img.empty()) return fail("cannot read", path);
        // The page as annotated, and as scored: turned with its image.
        const std::vector<GtLine>& upright_gt = pages[name];
        std::vector<GtLine> gt = upright_gt;
        if (turn) {
            for (GtLine& g : gt)
                for (cv::Point2f& p : g.quad) p = turn_point(p, img.size(), turn);
            img = turn_image(img, turn);
        }
        bool page_transcribed = true;
        std::vector<std::string> truth_texts;
        for (const GtLine& g : gt) {
            if (g.ignore) ++n_dont_care;
            if (g.notext) page_transcribed = false;
            if (g.transcribed()) truth_texts.push_back(g.text);
        }

        if (crops) {
            std::vector<cv::Mat> crop_list;
            std::vector<const GtLine*> regions;
            for (const GtLine& g : gt) {
                if (!g.transcribed() || g.text.empty()) continue;
                crop_list.push_back(OCR::Utility::GetRotateCropImage(img, crop_box(g.quad, img)));
                regions.push_back(&g);
            }
            std::vector<std::string> texts(crop_list.size());
            std::vector<float> scores(crop_list.size(), 0.0f);
            std::vector<double> times;
            if (!crop_list.empty() && recognizer->Model_Infer(crop_list, texts, scores, times) != 0)
                return fail("recognition failed on", path);
            for (size_t k = 0; k < regions.size(); ++k) {
                score_text(name, regions[k]->text, texts[k]);
                ++n_crops;
                if (fold_case ? fold(texts[k]) == fold(regions[k]->text) : texts[k] == regions[k]->text) ++n_exact;
            }
            if (page_transcribed) words.add(truth_texts, texts);
            if (receipts) fields.add(name, upright_gt, texts, show_errors);
            continue;
        }

        std::vector<std::vector<cv::Point2f>> pred_quads;
        std::vector<std::string> pred_texts;
        if (det_only) {
            // The pipeline without its recognition stage: the same boxes and
            // crop filters as crnn_ocr.
            g_ocr->set_filter(0, 0, 0, 0, 0);
            std::vector<cv::Mat> imgs{img};
            std::vector<std::vector<double>> time_info(3, std::vector<double>(3, 0.0));
            std::vector<OCR::OCRPredictResult> lines;
            if (OCR::detail::run_batch(*g_ocr, imgs, false, time_info, lines) != 0)
                return fail("detection failed on", path);
            for (const OCR::OCRPredictResult& r : lines) {
                std::vector<cv::Point2f> q;
                for (const std::vector<int>& pt : r.box) q.emplace_back(pt.at(0), pt.at(1));
                pred_quads.push_back(q);
                pred_texts.emplace_back();
            }
        } else {
            std::vector<BOX_RESULT> results;
            if (crnn_ocr(img, 0, 0, 0, 0, 0, 0.0f, nullptr, empty_pattern, results) < 0)
                return fail("the library failed on", path);
            for (const BOX_RESULT& r : results) {
                std::vector<cv::Point2f> q;
                for (const cv::Point& pt : r.points) q.emplace_back(pt);
                pred_quads.push_back(q);
                pred_texts.push_back(r.text);
            }
        }

        // Predictions on don't-care regions are dropped before anything else.
        std::vector<size_t> kept;
        for (size_t p = 0; p < pred_quads.size(); ++p) {
            if (n_dont_care && on_dont_care(pred_quads[p], gt))
                ++n_dropped;
            else
                kept.push_back(p);
        }
        n_pred += kept.size();
        for (const GtLine& g : gt) n_gt += g.ignore ? 0 : 1;

        // Greedy one-to-one matching, highest IoU first.
        std::vector<std::tuple<double, size_t, size_t>> pairs;
        for (size_t g = 0; g < gt.size(); ++g) {
            if (gt[g].ignore) continue;
            for (size_t p : kept) {
                double iou = quad_iou(gt[g].quad, pred_quads[p]);
                if (iou >= 0.5) pairs.emplace_back(iou, g, p);
            }
        }
        std::sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return std::get<0>(a) > std::get<0>(b); });
        std::vector<int> gt_to_pred(gt.size(), -1);
        std::vector<bool> pred_used(pred_quads.size(), false);
        for (const auto& [iou, g, p] : pairs) {
            if (gt_to_pred[g] >= 0 || pred_used[p]) continue;
            gt_to_pred[g] = static_cast<int>(p);
            pred_used[p] = true;
            ++n_match;
            matched_iou.push_back(iou);
        }
        if (det_only) continue;

        for (size_t g = 0; g < gt.size(); ++g) {
            if (gt[g].transcribed()) score_text(name, gt[g].text, gt_to_pred[g] >= 0 ? pred_texts[gt_to_pred[g]] : "");
        }
        std::vector<std::string> read;
        for (size_t p : kept) read.push_back(pred_texts[p]);
        if (page_transcribed) words.add(truth_texts, read);
        if (receipts) fields.add(name, upright_gt, read, show_errors);
    }
    if (!crops) uninit_crnn();

    int status = 0;
    if (crops) {
        double exact = n_crops ? static_cast<double>(n_exact) / n_crops : 0.0;
        std::printf("pages %zu, crops %zu\n", order.size(), n_crops);
        print_cer(all, latin, chinese);
        std::printf("lines read exactly: %zu of %zu (%.4f)\n", n_exact, n_crops, exact);
        words.print();
        if (receipts) fields.print();
        if (cer_missed(all, max_cer)) status = 1;
        if (min_exact >= 0 && exact < min_exact) {
            std::printf("FAIL: exact-line rate %.4f is below %.4f\n", exact, min_exact);
            status = 1;
        }
        return status;
    }

    double precision = n_pred ? static_cast<double>(n_match) / n_pred : 0.0;
    double recall = n_gt ? static_cast<double>(n_match) / n_gt : 0.0;
    double f = f_score(precision, recall);
    std::printf("pages %zu, lines %zu, predicted %zu, matched %zu\n", order.size(), n_gt, n_pred, n_match);
    if (n_dont_care)
        std::printf("don't-care regions %zu, predictions dropped on them %zu\n", n_dont_care, n_dropped);
    std::printf("detection precision %.4f recall %.4f F %.4f\n", precision, recall, f);
    if (!det_only) {
        print_cer(all, latin, chinese);
        std::printf("digits-and-dashes lines read exactly: %zu of %zu (%.4f)\n", dd_exact, dd_lines,
                    dd_lines ? static_cast<double>(dd_exact) / dd_lines : 0.0);
    }
    std::printf("median IoU of matched lines %.4f\n", median(matched_iou));
    if (!det_only) {
        words.print();
        if (receipts) fields.print();
    }

    if (cer_missed(all, max_cer)) status = 1;
    if (min_f >= 0 && f < min_f) {
        std::printf("FAIL: detection F %.4f is below %.4f\n", f, min_f);
        status = 1;
    }
    return status;
}
