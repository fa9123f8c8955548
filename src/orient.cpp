// Orientation of pages and lines: page geometry, the recogniser's
// confidence in both readings of a line, and the per-image decision.
#include "orient.h"

#include <algorithm>
#include <cstddef>
#include <map>

#include <opencv2/core.hpp>

#include "rec.h"
#include "rec_internal.h"
#include "utility_internal.h"
#include "zel_log.h"

namespace OCR {
namespace detail {

namespace {

// Figures measured on rendered pages, receipts, forms and street photos
// read by the shipped networks, each line in both orientations.

// A cut-out votes on the page's direction when its long side is at least
// this many times its short side.
constexpr double kVoteElongation = 1.5;

constexpr size_t kClearMinLines = 3;
constexpr float kClearMedianScore = 0.93f;

// Lines whose cut-out is at least this many times wider than high are long
// enough to say something about their orientation.
constexpr double kMinCheckAspect = 1.5;
// At most this many long lines are read turned to decide a page.
constexpr size_t kMaxPageProbes = 6;
constexpr float kProbeMinScore = 0.8f;
constexpr double kSettledNats = 8.0;
constexpr double kTurnPageNats = 3.0;

// A line read below this score, whose path is also less likely than this
// per line height of its length (cut-out width / height), is read turned
// as well...
constexpr float kLowScore = 0.95f;
constexpr double kLowPathPerHeight = -0.3;
// ... within this share of the image's recognition work, unless one of
// those lines turns out to read better turned: then the page holds lines
// of both orientations, and all its low-scoring lines are checked.
constexpr double kCheckShare = 0.06;

constexpr double kLineMarginNats = 2.0;
constexpr float kLineMinScore = 0.9f;

double aspect(const cv::Mat& crop) { return crop.rows > 0 ? static_cast<double>(crop.cols) / crop.rows : 0.0; }

// The recogniser's work for one crop, in columns of its input: every crop
// is brought to a height of 48 and at least 320 columns.
double work(const cv::Mat& crop) { return std::max(320.0 / 48.0, aspect(crop)); }

// A line worth reading turned too: long enough to tell, and read with a
// middling score and an unlikely path for its length. Measured on upright
// and upside-down lines of rendered pages, receipts and forms, this takes
// 96 to 97 upside-down lines in 100 and 9 (rendered) to 44 (forms) upright
// ones.
bool doubtful_reading(const LineReading& r, double line_aspect) {
    return line_aspect >= kMinCheckAspect && r.score < kLowScore && r.path < kLowPathPerHeight * line_aspect;
}

// Reads the listed crops turned by 180 degrees into turned[i]; their
// stage times are added into `times`.
int read_turned(TextRec& rec, const std::vector<cv::Mat>& crops, const std::vector<size_t>& which,
                std::vector<LineReading>& turned, std::vector<double>& times) {
    if (which.empty()) return 0;
    std::vector<cv::Mat> flipped(which.size());
    for (size_t k = 0; k < which.size(); ++k) {
        if (!crops[which[k]].empty()) cv::rotate(crops[which[k]], flipped[k], cv::ROTATE_180);
    }
    std::vector<std::string> texts(which.size());
    std::vector<float> scores(which.size(), 0.0f);
    std::vector<float> paths(which.size(), NAN);
    std::vector<double> t(3, 0.0);
    if (recognise(rec, flipped, texts, scores, &paths, t) != 0) return -1;
    for (size_t k = 0; k < which.size(); ++k) {
        LineReading& r = turned[which[k]];
        r.text = texts[k];
        r.score = scores[k];
        r.path = paths[k];
    }
    if (times.size() < 3) times.resize(3, 0.0);
    for (size_t j = 0; j < 3; ++j) times[j] += t[j];
    return 0;
}

// The orientation of one image's lines (positions into the request's
// lists); use_turned[i] is set for the lines that keep their turned
// reading.
int orient_image(TextRec& rec, const std::vector<cv::Mat>& crops, const std::vector<size_t>& lines,
                 const std::vector<LineReading>& first, std::vector<LineReading>& turned,
                 std::vector<bool>& use_turned, std::vector<double>& t) {
    std::vector<float> scores;
    for (size_t i : lines) scores.push_back(first[i].score);

    // Lines long enough to vote, the longest first.
    std::vector<size_t> long_lines;
    for (size_t i : lines) {
        if (first[i].read() && aspect(crops[i]) >= kMinCheckAspect) long_lines.push_back(i);
    }
    std::stable_sort(long_lines.begin(), long_lines.end(),
                     [&](size_t a, size_t b) { return aspect(crops[a]) > aspect(crops[b]); });

    bool turn_page = false;
    if (!page_reads_clearly(scores)) {
        PageVote vote;
        for (size_t k = 0; k < long_lines.size() && k < kMaxPageProbes; ++k) {
            if (read_turned(rec, crops, {long_lines[k]}, turned, t) != 0) return -1;
            vote.add(first[long_lines[k]], turned[long_lines[k]]);
            if (vote.settled()) break;
        }
        turn_page = vote.turn();
        if (turn_page) zel_log(0, "orientation: page read turned by 180 degrees (%.1f nats more likely)", vote.evidence());
    }

    if (turn_page) {
        std::vector<size_t> rest;
        for (size_t i : lines) {
            if (!turned[i].read()) rest.push_back(i);
        }
        if (read_turned(rec, crops, rest, turned, t) != 0) return -1;
        // Every line is read both ways now: each keeps the page's
        // orientation unless its first reading is clearly the better one.
        for (size_t i : lines) use_turned[i] = turned[i].read() && !other_reading_wins(turned[i], first[i]);
        return 0;
    }

    // The page stays as it is. Lines read both ways while voting choose
    // freely; the doubtful others are read turned within a budget.
    bool mixed = false;
    for (size_t i : lines) {
        if (turned[i].read() && other_reading_wins(first[i], turned[i])) {
            use_turned[i] = true;
            mixed = true;
        }
    }
    std::vector<size_t> doubtful;
    double total_work = 0.0;
    for (size_t i : lines) {
        total_work += work(crops[i]);
        if (first[i].read() && !turned[i].read() && doubtful_reading(first[i], aspect(crops[i])))
            doubtful.push_back(i);
    }
    std::stable_sort(doubtful.begin(), doubtful.end(),
                     [&](size_t a, size_t b) { return first[a].score < first[b].score; });

    size_t budgeted = 0;
    if (mixed) {
        budgeted = doubtful.size();
    } else {
        double spent = 0.0;
        while (budgeted < doubtful.size()) {
            spent += work(crops[doubtful[budgeted]]);
            if (budgeted > 0 && spent > kCheckShare * total_work) break;
            ++budgeted;
        }
    }
    std::vector<size_t> batch(doubtful.begin(), doubtful.begin() + budgeted);
    for (int round = 0; round < 2 && !batch.empty(); ++round) {
        if (read_turned(rec, crops, batch, turned, t) != 0) return -1;
        for (size_t i : batch) {
            if (other_reading_wins(first[i], turned[i])) {
                use_turned[i] = true;
                mixed = true;
            }
        }
        // A line that reads better turned: the page holds lines of both
        // orientations, so the remaining doubtful lines are checked too.
        batch.clear();
        if (mixed) batch.assign(doubtful.begin() + budgeted, doubtful.end());
    }
    return 0;
}

}  // namespace

CutAxes cut_axes(const std::vector<std::vector<int>>& box) {
    CutAxes a;
    if (box.size() < 4 || box[0].size() < 2 || box[1].size() < 2 || box[3].size() < 2) return a;
    const cv::Point2f p0(static_cast<float>(box[0][0]), static_cast<float>(box[0][1]));
    a.u = cv::Point2f(static_cast<float>(box[1][0]), static_cast<float>(box[1][1])) - p0;
    a.v = cv::Point2f(static_cast<float>(box[3][0]), static_cast<float>(box[3][1])) - p0;
    return a;
}

namespace {

// The long side of a box, whether that is u, and how many times longer
// than the short side it is (0 for a box without extent).
struct Sides {
    cv::Point2f along;
    double ratio = 0.0;
    bool long_is_u = true;
};

Sides sides(const CutAxes& a) {
    Sides s;
    const double nu = cv::norm(a.u), nv = cv::norm(a.v);
    s.long_is_u = nu >= nv;
    s.along = s.long_is_u ? a.u : a.v;
    const double shorter = std::min(nu, nv);
    s.ratio = shorter > 0 ? std::max(nu, nv) / shorter : 0.0;
    return s;
}

bool runs_vertically(cv::Point2f d) { return std::abs(d.y) > std::abs(d.x); }

}  // namespace

bool page_on_its_side(const std::vector<CutAxes>& boxes) {
    size_t vertical = 0, horizontal = 0;
    for (const CutAxes& b : boxes) {
        const Sides s = sides(b);
        if (s.ratio < kVoteElongation) continue;
        (runs_vertically(s.along) ? vertical : horizontal) += 1;
    }
    return vertical > 2 * horizontal;
}

int side_page_turns(const CutAxes& box) {
    // The text's direction in the image after k counter-clockwise quarter
    // turns of the cut-out: its new rows run along u, v, -u, -v.
    const cv::Point2f dirs[4] = {box.u, box.v, -box.u, -box.v};
    const Sides s = sides(box);
    const bool across = s.ratio >= 3.0 && !runs_vertically(s.along);
    const cv::Point2f want = across ? cv::Point2f(1, 0) : cv::Point2f(0, 1);
    int best = 0;
    double best_dot = -1e300;
    for (int k = 0; k < 4; ++k) {
        // An elongated box reads along its long side only.
        if (s.ratio >= kVoteElongation && ((k % 2 == 0) != s.long_is_u)) continue;
        const double n = cv::norm(dirs[k]);
        const double dot = n > 0 ? dirs[k].dot(want) / n : -2.0;
        if (dot > best_dot) {
            best_dot = dot;
            best = k;
        }
    }
    return best;
}

bool page_reads_clearly(const std::vector<float>& scores) {
    if (scores.size() < kClearMinLines) return false;
    // The upper median reaches the score: at least half of the lines do
    // (more than half of an odd count).
    size_t confident = 0;
    for (float v : scores) confident += v >= kClearMedianScore ? 1 : 0;  // NaN counts as not
    return 2 * confident >= scores.size() + (scores.size() % 2);
}

void PageVote::add(const LineReading& first, const LineReading& turned) {
    if (!first.read() || !turned.read()) return;
    if (std::max(first.score, turned.score) < kProbeMinScore) return;
    evidence_ += static_cast<double>(turned.path) - static_cast<double>(first.path);
}

bool PageVote::settled() const { return std::abs(evidence_) >= kSettledNats; }

bool PageVote::turn() const { return evidence_ >= kTurnPageNats; }

bool other_reading_wins(const LineReading& kept, const LineReading& other) {
    if (!kept.read() || !other.read()) return false;
    return static_cast<double>(other.path) - static_cast<double>(kept.path) >= kLineMarginNats &&
           other.score >= kLineMinScore;
}

int orient_lines(TextRec& rec, const std::vector<cv::Mat>& crops, const std::vector<int>& image_of,
                 std::vector<LineReading>& readings, std::vector<double>& times) {
    const size_t n = crops.size();
    if (readings.size() != n || image_of.size() != n) return 0;

    std::map<int, std::vector<size_t>> images;
    for (size_t i = 0; i < n; ++i) images[image_of[i]].push_back(i);

    std::vector<LineReading> turned(n);
    std::vector<bool> use_turned(n, false);
    std::vector<double> t(3, 0.0);
    for (const auto& image : images) {
        if (orient_image(rec, crops, image.second, readings, turned, use_turned, t) != 0) return -1;
        size_t reread = 0, kept = 0;
        for (size_t i : image.second) {
            reread += turned[i].read() ? 1 : 0;
            kept += use_turned[i] ? 1 : 0;
        }
        zel_log(0, "orientation: image %d, %d of %d lines read turned, %d keep the turned reading", image.first,
                static_cast<int>(reread), static_cast<int>(image.second.size()), static_cast<int>(kept));
    }
    for (size_t i = 0; i < n; ++i) {
        if (use_turned[i]) readings[i] = turned[i];
    }
    if (times.size() < 3) times.resize(3, 0.0);
    for (size_t j = 0; j < 3; ++j) times[j] += t[j];
    return 0;
}

}  // namespace detail
}  // namespace OCR
