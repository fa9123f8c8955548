// The shipped networks (models/boxv3.p, models/ocrv4_cn.p) at the extremes
// the detector's preprocessing allows: network inputs of 3840 x 3840,
// 3840 x 32 and 32 x 3840, a 4000 x 3000 photo, an A4 page at 300 dpi, a
// 3840 x 64 page, and the widest recogniser input a 3840-pixel line gives.
// Every page carries printed dates; a request must succeed (result >= 0)
// and read at least one of them where it was printed (in the thin strips,
// the start of it). Each network input size is computed with the detector's
// own resize operator, so that a change of the limit or of the rounding
// shows here instead of silently testing smaller inputs.
#include <algorithm>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "crnn.h"
#include "det.h"
#include "preprocess_op.h"
#include "rec.h"
#include "shipped_models.h"
#include "utility.h"

namespace {

using varnel_test::captured;
using varnel_test::describe;
using varnel_test::shipped_model_dir;

// The text printed on every page, and the pattern that finds it: one or
// two stray characters (a blank, a dash read as another sign) between the
// numbers do not count against the reading.
const char* const kDate = "2024-05-17";
const char* const kDatePattern = "2024.{0,2}05.{0,2}17";

int date_count(const std::string& text) {
    const std::regex re(kDatePattern);
    return static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

// The detector network's input for `img`: the padded and resized image the
// detector's resize operator makes under the detector's side limit.
cv::Size detector_input(const cv::Mat& img) {
    const OCR::TextDetect det;  // constructs only: the limit, no model
    OCR::ResizeImgType0 op;
    cv::Mat resized;
    float ratio_h = 0.f, ratio_w = 0.f;
    int padding = 0;
    op.Run(img, resized, det.max_side_len, ratio_h, ratio_w, padding);
    return resized.size();
}

// A photo-like background: light grey shading from top left to bottom
// right with Gaussian noise (sigma 10).
cv::Mat photo(int cols, int rows, uint64_t seed) {
    cv::Mat shade(rows, cols, CV_16SC3);
    for (int y = 0; y < rows; ++y) {
        short* row = shade.ptr<short>(y);
        for (int x = 0; x < cols; ++x) {
            const short v = static_cast<short>(150 + 90.0 * (0.5 * x / cols + 0.5 * y / rows));
            row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = v;
        }
    }
    cv::Mat noise(rows, cols, CV_16SC3);
    cv::RNG rng(seed);
    rng.fill(noise, cv::RNG::NORMAL, 0, 10);
    shade += noise;
    cv::Mat img;
    shade.convertTo(img, CV_8UC3);  // saturating
    return img;
}

// Prints `text` in dark grey, FONT_HERSHEY_SIMPLEX, with its baseline at
// `org`; returns the box the glyphs occupy.
cv::Rect print(cv::Mat& img, const std::string& text, cv::Point org, double scale, int thickness) {
    int baseline = 0;
    const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, scale, thickness, &baseline);
    cv::putText(img, text, org, cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar::all(20), thickness, cv::LINE_AA);
    return cv::Rect(org.x, org.y - size.height - thickness, size.width, size.height + baseline + 2 * thickness);
}

cv::Point centre(const BOX_RESULT& r) {
    cv::Point c(0, 0);
    for (const cv::Point& p : r.points) c += p;
    return r.points.empty() ? c : c / static_cast<int>(r.points.size());
}

// Lines whose pattern matched and whose box centre lies in one of `where`.
int matched_in(const std::vector<BOX_RESULT>& results, const std::vector<cv::Rect>& where) {
    int n = 0;
    for (const BOX_RESULT& r : results) {
        if (r.matched != 1 || r.points.size() != 4) continue;
        const cv::Point c = centre(r);
        if (std::any_of(where.begin(), where.end(), [&](const cv::Rect& w) { return w.contains(c); })) ++n;
    }
    return n;
}

// Every record has four corners inside the image.
bool boxes_inside(const std::vector<BOX_RESULT>& results, const cv::Mat& img) {
    const cv::Rect frame(0, 0, img.cols, img.rows);
    for (const BOX_RESULT& r : results) {
        if (r.points.size() != 4) return false;
        for (const cv::Point& p : r.points)
            if (!frame.contains(p)) return false;
    }
    return true;
}

class LargeInputs : public varnel_test::ShippedModels {
protected:
    // One request with the date pattern; the result code.
    static int run(cv::Mat& img, std::vector<BOX_RESULT>& results, const char* pattern = kDatePattern) {
        std::string pat(pattern);
        int ret = -2;
        captured([&] { ret = crnn_ocr(img, 0, 0, 0, 0, 0, 0.f, nullptr, &pat[0], results); });
        return ret;
    }

    // A page with dates printed at `origins`: the request succeeds, reads at
    // least one of them where it was printed, and nothing it reports as a
    // match lies elsewhere. `slack` widens the printed boxes for the
    // comparison.
    static void expect_dates_read(cv::Mat& img, const std::vector<cv::Rect>& printed, int slack) {
        std::vector<cv::Rect> where;
        for (const cv::Rect& r : printed) where.push_back(r + cv::Point(-slack, -slack) + cv::Size(2 * slack, 2 * slack));
        std::vector<BOX_RESULT> results;
        const int ret = run(img, results);
        ASSERT_GE(ret, 1) << img.cols << " x " << img.rows << "\n" << describe(results);
        int matched = 0;
        for (const BOX_RESULT& r : results) matched += r.matched == 1;
        EXPECT_EQ(ret, matched);
        EXPECT_GE(matched_in(results, where), 1) << describe(results);
        EXPECT_EQ(matched_in(results, where), matched) << "a match away from the printed dates\n" << describe(results);
        EXPECT_TRUE(boxes_inside(results, img)) << describe(results);
    }

    // A page whose only line is the date printed at `printed`: the request
    // succeeds, finds one line there, inside the image, and reads at least
    // the date's year and month from it.
    static void expect_date_line_found(cv::Mat& img, const cv::Rect& printed, int slack) {
        const cv::Rect where = printed + cv::Point(-slack, -slack) + cv::Size(2 * slack, 2 * slack);
        std::vector<BOX_RESULT> results;
        const int ret = run(img, results, "^2024.{0,2}05");
        ASSERT_GE(ret, 1) << img.cols << " x " << img.rows << "\n" << describe(results);
        EXPECT_EQ(matched_in(results, {where}), ret) << describe(results);
        EXPECT_TRUE(boxes_inside(results, img)) << describe(results);
    }
};

TEST_F(LargeInputs, SquarePageAtTheSideLimit) {
    // 3840 x 3840 is padded to 3880 x 3880 and scaled back to the limit.
    cv::Mat img = photo(3840, 3840, 1);
    ASSERT_EQ(detector_input(img), cv::Size(3840, 3840));
    const std::vector<cv::Rect> dates = {print(img, kDate, {200, 400}, 2.0, 4), print(img, kDate, {1700, 1900}, 2.0, 4),
                                         print(img, kDate, {3200, 3700}, 2.0, 4)};
    print(img, "INVOICE 88213", {200, 1200}, 2.0, 4);
    print(img, "TOTAL 4096.50", {2000, 3000}, 2.0, 4);
    expect_dates_read(img, dates, 24);
}

TEST_F(LargeInputs, PhotoPage4000x3000) {
    // The longer side is scaled to the limit: 3840 x 2880.
    cv::Mat img = photo(4000, 3000, 2);
    ASSERT_EQ(detector_input(img), cv::Size(3840, 2880));
    const std::vector<cv::Rect> dates = {print(img, kDate, {400, 600}, 2.5, 5)};
    print(img, "INVOICE 88213", {400, 1200}, 2.5, 5);
    print(img, "TOTAL 4096.50", {400, 1800}, 2.5, 5);
    expect_dates_read(img, dates, 24);
}

TEST_F(LargeInputs, A4PageAt300Dpi) {
    // Below the limit: only padded and rounded, to 2528 x 3552.
    cv::Mat img = photo(2480, 3508, 3);
    ASSERT_EQ(detector_input(img), cv::Size(2528, 3552));
    const std::vector<cv::Rect> dates = {print(img, kDate, {200, 400}, 2.0, 4), print(img, kDate, {1400, 3300}, 2.0, 4)};
    print(img, "INVOICE 88213", {200, 800}, 2.0, 4);
    expect_dates_read(img, dates, 24);
}

TEST_F(LargeInputs, LongThinStrips) {
    // A strip 12000 x 110 is scaled by 3840 / 12040: its 150 padded rows
    // become 47, rounded to the floor of one 32-row band; turned upright
    // it gives the transposed input.
    cv::Mat wide(110, 12000, CV_8UC3, cv::Scalar::all(235));
    ASSERT_EQ(detector_input(wide), cv::Size(3840, 32));
    // Squashed into one band, this stroke font's thin, widely spaced "-17"
    // is at the limit of what the detector sees as text: the line is asked
    // for where it was printed, and its start to be read.
    const cv::Rect printed = print(wide, kDate, {300, 85}, 2.5, 5);
    expect_date_line_found(wide, printed, 24);

    cv::Mat tall;
    cv::rotate(wide, tall, cv::ROTATE_90_CLOCKWISE);
    ASSERT_EQ(detector_input(tall), cv::Size(32, 3840));
    // Turned clockwise, (x, y) of the strip lands at (rows - 1 - y, x).
    const cv::Rect turned(wide.rows - printed.y - printed.height, printed.x, printed.height, printed.width);
    expect_date_line_found(tall, turned, 24);

    // The same inputs without any scaling: strips of 3800 x 7 and 7 x 3800
    // are padded to 3840 x 47 and 47 x 3840 and rounded down to one band.
    // They hold no line of text; a bar across them must not fail the
    // request.
    for (const cv::Size size : {cv::Size(3800, 7), cv::Size(7, 3800)}) {
        cv::Mat thin(size, CV_8UC3, cv::Scalar::all(255));
        thin(size.width > size.height ? cv::Rect(100, 1, 2000, 5) : cv::Rect(1, 100, 5, 2000)).setTo(cv::Scalar::all(0));
        ASSERT_EQ(detector_input(thin), size.width > size.height ? cv::Size(3840, 32) : cv::Size(32, 3840));
        std::vector<BOX_RESULT> results;
        EXPECT_GE(run(thin, results), 0) << size;
        EXPECT_TRUE(boxes_inside(results, thin)) << describe(results);
    }
}

TEST_F(LargeInputs, LineAcrossA3840x64Page) {
    // 3840 x 64 becomes 3840 x 96; the dates fill the whole width as one
    // line, so the recogniser gets crops close to 3840 pixels wide.
    cv::Mat img(64, 3840, CV_8UC3, cv::Scalar::all(245));
    ASSERT_EQ(detector_input(img), cv::Size(3840, 96));
    std::string line;
    for (int i = 0; i < 14; ++i) line += std::string(kDate) + " ";
    const cv::Rect printed = print(img, line, {10, 45}, 1.2, 3);
    ASSERT_GT(printed.width, 3600);
    std::vector<BOX_RESULT> results;
    ASSERT_GE(run(img, results), 1) << describe(results);
    EXPECT_TRUE(boxes_inside(results, img)) << describe(results);
    int dates = 0;
    for (const BOX_RESULT& r : results) dates += date_count(r.text);
    EXPECT_GE(dates, 1) << describe(results);
}

// The recogniser on a crop as wide as a 3840-pixel line: at the height the
// crop floors of a 3840-wide image still pass (26 rows) the network input
// is 7089 x 48; at 5 rows, the least a detected box gives (edges of more
// than 4 pixels; in a narrow image the floors are 0, and a steep line's
// crop can still be 3840 long), it is 36864 x 48.
TEST(LargeRecogniserInput, LineOf3840Columns) {
    const std::string dir = shipped_model_dir();
    for (const char* f : {"ocrv4_cn.p", "ocrv3_cn.txt"})
        ASSERT_TRUE(OCR::Utility::PathExists(dir + "/" + f)) << dir << "/" << f << " missing";
    OCR::TextRec rec;
    int loaded = -1;
    captured([&] { loaded = rec.initModel_mnn(dir, 0, 0); });
    ASSERT_EQ(loaded, 0);

    struct Case {
        int rows;
        int network_width;
        bool text;
    };
    for (const Case c : {Case{26, 7089, true}, Case{5, 36864, false}}) {
        SCOPED_TRACE("3840 x " + std::to_string(c.rows));
        cv::Mat crop(c.rows, 3840, CV_8UC3, cv::Scalar::all(245));
        if (c.text) {
            std::string line;
            for (int i = 0; i < 30; ++i) line += std::string(kDate) + " ";
            print(crop, line, {2, 20}, 0.6, 2);
        }
        // The network width the recogniser resizes this crop to.
        cv::Mat resized;
        rec.resize_op.Run(crop, resized, std::max(320.f / 48.f, static_cast<float>(crop.cols) / crop.rows),
                          rec.rec_image_shape);
        ASSERT_EQ(resized.size(), cv::Size(c.network_width, 48));

        std::vector<std::string> texts(1, "unset");
        std::vector<float> scores(1, -5.f);
        std::vector<double> times(3, -1.0);
        int ret = -1;
        EXPECT_NO_THROW(captured([&] { ret = rec.Model_Infer({crop}, texts, scores, times); }));
        EXPECT_EQ(ret, 0);
        for (double t : times) EXPECT_GE(t, 0.0);
        if (c.text) {
            EXPECT_GE(date_count(texts[0]), 1) << texts[0];
            EXPECT_GT(scores[0], 0.f);
        }
    }
}

}  // namespace
