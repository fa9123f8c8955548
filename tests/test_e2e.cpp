// End to end on the shipped models (models/boxv3.p, models/ocrv4_cn.p,
// models/ocrv3_cn.txt): rendered images of known text through the host
// entry points. Every test fails, with the missing file named, when the
// models are not there.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/freetype.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "crnn.h"
#include "shipped_models.h"
#include "utility.h"
#include "zel_log.h"

namespace {

using varnel_test::captured;
using varnel_test::describe;

const char* const kFont = "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc";

// Corner tolerance in pixels between a record's corners and the rendered
// text's box.
constexpr int kCornerTolerance = 16;

// Texts compared without blanks: the spacing the recogniser puts between
// words is not what these tests are about.
std::string squeeze(const std::string& s) {
    std::string out;
    for (char c : s)
        if (c != ' ') out += c;
    return out;
}

struct Line {
    std::string text;
    cv::Rect box;  // the rendered text's ink box
};

// Renders lines of black text on a white page; returns each line's ink box.
cv::Mat render(int cols, int rows, const std::vector<std::pair<std::string, cv::Point>>& texts, int height,
               std::vector<Line>* lines = nullptr) {
    cv::Mat img(rows, cols, CV_8UC3, cv::Scalar::all(255));
    cv::Ptr<cv::freetype::FreeType2> ft2 = cv::freetype::createFreeType2();
    ft2->loadFontData(kFont, 0);
    for (const auto& t : texts) {
        // The renderer draws into three-channel images only: the ink box is
        // taken from a black page of its own, turned grey.
        cv::Mat one(rows, cols, CV_8UC3, cv::Scalar::all(0)), grey;
        ft2->putText(one, t.first, t.second, height, cv::Scalar::all(255), -1, cv::LINE_AA, true);
        ft2->putText(img, t.first, t.second, height, cv::Scalar::all(0), -1, cv::LINE_AA, true);
        cv::cvtColor(one, grey, cv::COLOR_BGR2GRAY);
        if (lines != nullptr) lines->push_back({t.first, cv::boundingRect(grey)});
    }
    return img;
}

bool near_box(const BOX_RESULT& r, const cv::Rect& ink, int tol) {
    if (r.points.size() != 4) return false;
    const cv::Point want[4] = {ink.tl(), cv::Point(ink.x + ink.width - 1, ink.y),
                               cv::Point(ink.x + ink.width - 1, ink.y + ink.height - 1),
                               cv::Point(ink.x, ink.y + ink.height - 1)};
    for (int i = 0; i < 4; ++i) {
        if (std::abs(r.points[i].x - want[i].x) > tol || std::abs(r.points[i].y - want[i].y) > tol) return false;
    }
    return true;
}

class EndToEnd : public varnel_test::ShippedModels {
public:
    void SetUp() override {
        ShippedModels::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(OCR::Utility::PathExists(kFont)) << kFont << " missing (fonts-wqy-zenhei)";
    }

    int run(cv::Mat& img, const char* pattern, std::vector<BOX_RESULT>& results, int min_h = 0, int max_h = 0,
            int min_w = 0, int max_w = 0) {
        std::string pat(pattern);
        int ret = 0;
        captured([&] { ret = crnn_ocr(img, 0, min_h, max_h, min_w, max_w, 0.f, nullptr, &pat[0], results); });
        return ret;
    }
};

TEST_F(EndToEnd, LatinLine) {
    std::vector<Line> lines;
    // No capital I or lower-case l: in this sans-serif font the two are
    // the same glyph.
    cv::Mat img = render(960, 200, {{"Order number 48213", cv::Point(60, 120)}}, 40, &lines);
    std::vector<BOX_RESULT> results;
    EXPECT_EQ(run(img, "48213", results), 1);
    ASSERT_EQ(results.size(), 1u) << describe(results);
    EXPECT_EQ(squeeze(results[0].text), "Ordernumber48213") << describe(results);
    EXPECT_EQ(results[0].imgid, 0);
    EXPECT_EQ(results[0].matched, 1);
    EXPECT_TRUE(near_box(results[0], lines[0].box, kCornerTolerance)) << describe(results);
}

TEST_F(EndToEnd, ChineseLine) {
    std::vector<Line> lines;
    cv::Mat img = render(960, 200, {{"上海港务贸易有限公司", cv::Point(60, 120)}}, 44, &lines);
    std::vector<BOX_RESULT> results;
    EXPECT_EQ(run(img, "贸易", results), 1);
    ASSERT_EQ(results.size(), 1u) << describe(results);
    EXPECT_EQ(results[0].text, "上海港务贸易有限公司") << describe(results);
    EXPECT_TRUE(near_box(results[0], lines[0].box, kCornerTolerance)) << describe(results);
}

TEST_F(EndToEnd, DateAndAmount) {
    std::vector<Line> lines;
    cv::Mat img = render(960, 320, {{"2024-06-11", cv::Point(80, 110)}, {"12,480.50", cv::Point(80, 230)}}, 40, &lines);
    std::vector<BOX_RESULT> results;
    EXPECT_EQ(run(img, "^[0-9]{4}-[0-9]{2}-[0-9]{2}$", results), 1);
    ASSERT_EQ(results.size(), 2u) << describe(results);
    const BOX_RESULT& date = results[0].points[0].y < results[1].points[0].y ? results[0] : results[1];
    const BOX_RESULT& amount = &date == &results[0] ? results[1] : results[0];
    EXPECT_EQ(squeeze(date.text), "2024-06-11");
    EXPECT_EQ(date.matched, 1);
    EXPECT_EQ(squeeze(amount.text), "12,480.50");
    EXPECT_EQ(amount.matched, 0);
    EXPECT_TRUE(near_box(date, lines[0].box, kCornerTolerance)) << describe(results);
    EXPECT_TRUE(near_box(amount, lines[1].box, kCornerTolerance)) << describe(results);
    EXPECT_EQ(run(img, "[0-9]", results), 2);  // a search: both lines hold digits
}

TEST_F(EndToEnd, RotatedLine) {
    cv::Mat flat = render(1000, 600, {{"Harbour Trading 2024", cv::Point(260, 320)}}, 40);
    const cv::Point2f centre(500, 300);
    const cv::Mat rot = cv::getRotationMatrix2D(centre, 12.0, 1.0);
    cv::Mat img;
    cv::warpAffine(flat, img, rot, flat.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(255));
    std::vector<BOX_RESULT> results;
    EXPECT_EQ(run(img, "Harbour", results), 1);
    ASSERT_EQ(results.size(), 1u) << describe(results);
    EXPECT_EQ(squeeze(results[0].text), "HarbourTrading2024") << describe(results);
    // The box follows the slope: the top edge rises to the right by about
    // tan(12 degrees) of its length.
    const cv::Point d = results[0].points[1] - results[0].points[0];
    const double angle = std::atan2(-d.y, d.x) * 180.0 / CV_PI;
    EXPECT_NEAR(angle, 12.0, 3.0) << describe(results);
}

TEST_F(EndToEnd, TallLineIsTurned) {
    cv::Mat flat = render(800, 120, {{"Phone 021-5555-0199", cv::Point(40, 80)}}, 40);
    cv::Mat img;
    cv::rotate(flat, img, cv::ROTATE_90_CLOCKWISE);  // the line now runs top to bottom
    std::vector<BOX_RESULT> results;
    EXPECT_EQ(run(img, "0199", results), 1);
    ASSERT_EQ(results.size(), 1u) << describe(results);
    EXPECT_EQ(squeeze(results[0].text), "Phone021-5555-0199") << describe(results);
}

// ------------------------------------------------------ pages upside down

cv::Mat read_page(const std::string& path) {
    cv::Mat img = cv::imread(path, cv::IMREAD_COLOR);
    EXPECT_FALSE(img.empty()) << path << " cannot be read";
    return img;
}

cv::Point centre(const BOX_RESULT& r) {
    cv::Point c(0, 0);
    for (const cv::Point& p : r.points) c += p;
    return r.points.empty() ? c : c / static_cast<int>(r.points.size());
}

// The record of `results` whose box centre lies nearest `at`, when one lies
// within `tol` pixels; null otherwise.
const BOX_RESULT* record_at(const std::vector<BOX_RESULT>& results, cv::Point at, int tol) {
    const BOX_RESULT* best = nullptr;
    double best_d = tol;
    for (const BOX_RESULT& r : results) {
        const double d = cv::norm(centre(r) - at);
        if (d <= best_d) {
            best = &r;
            best_d = d;
        }
    }
    return best;
}

// Corners top-left, top-right, bottom-right, bottom-left on screen.
bool corners_in_order(const BOX_RESULT& r) {
    if (r.points.size() != 4) return false;
    const cv::Point *p = r.points.data();
    return p[0].x < p[1].x && p[3].x < p[2].x && p[0].y < p[3].y && p[1].y < p[2].y;
}

// Two pages of the kind people photograph: a receipt with its prices apart
// from the items, and a Chinese delivery note.
std::vector<cv::Mat> rendered_pages() {
    std::vector<std::pair<std::string, cv::Point>> receipt = {
        {"HARBOUR MART SDN BHD", cv::Point(120, 70)}, {"No. 12 Jalan Ampang", cv::Point(120, 130)},
        {"Tel: 03-2162 5566", cv::Point(120, 190)},   {"Receipt 0042817", cv::Point(60, 270)},
        {"Date 11/06/2024 14:32", cv::Point(60, 330)}, {"Fresh Milk 1L", cv::Point(60, 410)},
        {"5.90", cv::Point(640, 410)},                {"Wholemeal Bread", cv::Point(60, 470)},
        {"4.35", cv::Point(640, 470)},                {"Eggs Grade A 10pcs", cv::Point(60, 530)},
        {"7.20", cv::Point(640, 530)},                {"TOTAL", cv::Point(60, 610)},
        {"17.45", cv::Point(628, 610)},               {"Thank you, please come again", cv::Point(60, 690)}};
    std::vector<std::pair<std::string, cv::Point>> note = {
        {"上海港务贸易有限公司", cv::Point(60, 80)},  {"送货单 编号 DN-2024-0611", cv::Point(60, 160)},
        {"日期：2024年6月11日", cv::Point(60, 240)}, {"收货人：王先生", cv::Point(60, 320)},
        {"电话：021-5555-0199", cv::Point(60, 400)},  {"品名：钢材 数量：12吨", cv::Point(60, 480)},
        {"金额：人民币壹万贰仟元", cv::Point(60, 560)}, {"备注：货到付款", cv::Point(60, 640)}};
    return {render(760, 740, receipt, 34), render(760, 700, note, 36)};
}

// Edit distance between the code points of two UTF-8 texts.
size_t edit_distance(const std::string& a, const std::string& b) {
    auto points = [](const std::string& s) {
        std::vector<std::string> out;
        for (size_t i = 0; i < s.size();) {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            const size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : 4;
            out.push_back(s.substr(i, n));
            i += n;
        }
        return out;
    };
    const std::vector<std::string> x = points(a), y = points(b);
    std::vector<size_t> row(y.size() + 1);
    for (size_t j = 0; j <= y.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= x.size(); ++i) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= y.size(); ++j) {
            const size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (x[i - 1] == y[j - 1] ? 0 : 1)});
            diag = up;
        }
    }
    return row[y.size()];
}

// Two readings of one line from boxes that may differ by a pixel, which
// can change a look-alike character ('0' and 'O', 'C' and 'c', ':' and its
// full-width form): alike when they differ by at most one character in ten
// (at least one). A line read upside down or sideways differs in most of
// its characters.
bool read_alike(const std::string& a, const std::string& b) {
    return edit_distance(a, b) <= std::max<size_t>(1, edit_distance(a, "") / 10);
}

// Where the point c of an image of the given size lands when the image is
// turned by cv::rotate with `code`.
cv::Point turned_point(cv::Point c, cv::Size size, int code) {
    switch (code) {
        case cv::ROTATE_90_CLOCKWISE:
            return cv::Point(size.height - 1 - c.y, c.x);
        case cv::ROTATE_180:
            return cv::Point(size.width - 1 - c.x, size.height - 1 - c.y);
        default:  // cv::ROTATE_90_COUNTERCLOCKWISE
            return cv::Point(c.y, size.width - 1 - c.x);
    }
}

// Rendered pages, the sample page and held-out pages, each read upright
// and turned (cv::rotate with `code`); a line of the upright page is found
// on the turned one by its box centre, turned along. At least 95% of the
// lines must read alike.
void expect_turned_pages_read_alike(EndToEnd& t, int code, const char* name) {
    std::vector<cv::Mat> pages = rendered_pages();
    const std::string src = VARNEL_SOURCE_DIR;
    for (const char* p : {"/examples/sample.png", "/tests/heldout/page_0001.jpg", "/tests/heldout/page_0004.jpg",
                          "/tests/heldout/page_0007.jpg", "/tests/heldout/page_0010.jpg"})
        pages.push_back(read_page(src + p));
    size_t lines = 0, same = 0, exact = 0;
    std::string report;
    for (size_t k = 0; k < pages.size(); ++k) {
        cv::Mat& page = pages[k];
        if (page.empty()) continue;
        cv::Mat turned;
        cv::rotate(page, turned, code);
        std::vector<BOX_RESULT> up, down;
        t.run(page, "", up);
        t.run(turned, "", down);
        for (const BOX_RESULT& u : up) {
            const BOX_RESULT* d = record_at(down, turned_point(centre(u), page.size(), code), 6);
            ++lines;
            if (d == nullptr) {
                report += "page " + std::to_string(k) + ": '" + u.text + "' not found turned\n";
                continue;
            }
            EXPECT_TRUE(corners_in_order(*d)) << describe({*d});
            const std::string a = squeeze(u.text), b = squeeze(d->text);
            exact += a == b ? 1 : 0;
            if (read_alike(a, b)) {
                ++same;
            } else {
                report += "page " + std::to_string(k) + ": '" + u.text + "' read turned as '" + d->text + "'\n";
            }
        }
    }
    EXPECT_GE(lines, 70u);
    EXPECT_GE(same * 100, lines * 95) << same << " of " << lines << " (" << exact << " exactly)\n" << report;
    std::printf("%s: %zu of %zu lines read alike, %zu exactly\n", name, same, lines, exact);
}

TEST_F(EndToEnd, UpsideDownPagesReadLikeUprightOnes) {
    expect_turned_pages_read_alike(*this, cv::ROTATE_180, "upside-down pages");
}

TEST_F(EndToEnd, PageWithARegionUpsideDown) {
    // The lower part of the sample page (four lines, Chinese and Latin)
    // turned in place: its lines are read as on the upright page, and the
    // others still are.
    cv::Mat page = read_page(std::string(VARNEL_SOURCE_DIR) + "/examples/sample.png");
    ASSERT_FALSE(page.empty());
    const cv::Rect region(40, 600, 680, 280);
    cv::Mat mixed = page.clone();
    cv::rotate(page(region), mixed(region), cv::ROTATE_180);
    std::vector<BOX_RESULT> up, got;
    run(page, "", up);
    run(mixed, "", got);
    ASSERT_GE(up.size(), 12u) << describe(up);
    size_t inside = 0;
    for (const BOX_RESULT& u : up) {
        cv::Point c = centre(u);
        if (region.contains(c)) {
            ++inside;
            c = cv::Point(2 * region.x + region.width - 1 - c.x, 2 * region.y + region.height - 1 - c.y);
        }
        const BOX_RESULT* d = record_at(got, c, 6);
        ASSERT_NE(d, nullptr) << u.text << "\n" << describe(got);
        EXPECT_TRUE(read_alike(squeeze(u.text), squeeze(d->text))) << u.text << "\n" << describe(got);
    }
    EXPECT_EQ(inside, 4u) << describe(up);
}

TEST_F(EndToEnd, FourChannelImageCarriesTheInkInAlpha) {
    std::vector<Line> lines;
    cv::Mat ink = render(960, 200, {{"Amount 12480", cv::Point(60, 120)}}, 40, &lines);
    cv::Mat grey;
    cv::cvtColor(ink, grey, cv::COLOR_BGR2GRAY);
    // Transparent background, opaque glyphs; the colour channels are noise
    // the library drops.
    cv::Mat bgra(ink.rows, ink.cols, CV_8UC4);
    cv::RNG rng(5);
    rng.fill(bgra, cv::RNG::UNIFORM, 0, 256);
    cv::Mat alpha = 255 - grey;
    cv::insertChannel(alpha, bgra, 3);
    std::vector<BOX_RESULT> results;
    EXPECT_EQ(run(bgra, "12480", results), 1);
    ASSERT_EQ(results.size(), 1u) << describe(results);
    EXPECT_EQ(squeeze(results[0].text), "Amount12480");
    EXPECT_TRUE(near_box(results[0], lines[0].box, kCornerTolerance)) << describe(results);
    EXPECT_EQ(bgra.type(), CV_8UC4);
}

TEST_F(EndToEnd, OpaqueFourChannelPageReadsLikeItsColourCopy) {
    // A page read with its alpha channel: alpha 255 everywhere, the ink in
    // the colour planes.
    cv::Mat bgr = render(960, 240, {{"Invoice 20931", cv::Point(60, 90)}, {"Paid 3,150.00", cv::Point(60, 190)}}, 40);
    cv::Mat bgra;
    cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    std::vector<BOX_RESULT> from_bgr, from_bgra;
    const int n = run(bgr, "[0-9]", from_bgr);
    EXPECT_EQ(n, 2) << describe(from_bgr);
    EXPECT_EQ(run(bgra, "[0-9]", from_bgra), n);
    ASSERT_EQ(from_bgra.size(), from_bgr.size()) << describe(from_bgra) << describe(from_bgr);
    for (size_t i = 0; i < from_bgr.size(); ++i) {
        EXPECT_EQ(from_bgra[i].text, from_bgr[i].text);
        EXPECT_EQ(from_bgra[i].points, from_bgr[i].points);
        EXPECT_EQ(from_bgra[i].matched, from_bgr[i].matched);
    }
    EXPECT_EQ(bgra.type(), CV_8UC4);
}

TEST_F(EndToEnd, ImageWithoutText) {
    // Graphics but no writing: a shaded page, a frame and a filled disc.
    cv::Mat img(480, 640, CV_8UC3);
    for (int y = 0; y < img.rows; ++y) img.row(y).setTo(cv::Scalar::all(150 + y / 6));
    cv::rectangle(img, cv::Point(40, 40), cv::Point(600, 440), cv::Scalar::all(0), 2);
    cv::circle(img, cv::Point(320, 240), 60, cv::Scalar(40, 120, 200), -1);
    std::vector<BOX_RESULT> results(1);
    EXPECT_EQ(run(img, "", results), 0);
    EXPECT_TRUE(results.empty()) << describe(results);
}

TEST_F(EndToEnd, BlankUniformAndNoiseImagesGiveNoLine) {
    std::vector<std::pair<std::string, cv::Mat>> images;
    images.emplace_back("white 32 x 32", cv::Mat(32, 32, CV_8UC3, cv::Scalar::all(255)));
    images.emplace_back("black 32 x 32", cv::Mat(32, 32, CV_8UC3, cv::Scalar::all(0)));
    images.emplace_back("grey 640 x 480", cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(128)));
    images.emplace_back("blue 1280 x 720", cv::Mat(720, 1280, CV_8UC3, cv::Scalar(200, 90, 20)));
    cv::Mat noise(720, 960, CV_8UC3);
    cv::RNG rng(11);
    rng.fill(noise, cv::RNG::NORMAL, cv::Scalar::all(128), cv::Scalar::all(40));
    images.emplace_back("noise 960 x 720", noise);
    cv::Mat fine(480, 640, CV_8UC3);
    rng.fill(fine, cv::RNG::UNIFORM, 0, 256);
    images.emplace_back("uniform noise 640 x 480", fine);
    for (auto& named : images) {
        std::vector<BOX_RESULT> results(1);
        EXPECT_EQ(run(named.second, "", results), 0) << named.first;
        EXPECT_TRUE(results.empty()) << named.first << "\n" << describe(results);
    }
}

TEST_F(EndToEnd, BatchGivesTheRecordsOfSingleCalls) {
    std::vector<cv::Mat> imgs = {render(800, 240, {{"Customer 7781", cv::Point(50, 100)}}, 40),
                                 render(800, 240, {{"收货人 王先生", cv::Point(50, 80)}, {"Total 96.00", cv::Point(50, 180)}}, 40)};
    std::vector<BOX_RESULT> batch;
    std::string pat = "[0-9]";
    int n = 0;
    captured([&] { n = crnn_ocr_batch(imgs, 0, 0, 0, 0, 0, 0.f, nullptr, &pat[0], batch); });
    std::vector<BOX_RESULT> singles;
    int m = 0;
    for (int i = 0; i < 2; ++i) {
        std::vector<BOX_RESULT> one;
        m += run(imgs[i], "[0-9]", one);
        for (BOX_RESULT& r : one) {
            r.imgid = i;
            singles.push_back(r);
        }
    }
    EXPECT_EQ(n, m);
    EXPECT_EQ(n, 2);
    ASSERT_EQ(batch.size(), singles.size()) << describe(batch) << describe(singles);
    ASSERT_EQ(batch.size(), 3u) << describe(batch);
    for (size_t i = 0; i < batch.size(); ++i) {
        EXPECT_EQ(batch[i].imgid, singles[i].imgid);
        EXPECT_EQ(batch[i].text, singles[i].text);
        EXPECT_EQ(batch[i].points, singles[i].points);
        EXPECT_EQ(batch[i].matched, singles[i].matched);
    }
}

TEST_F(EndToEnd, CropLimitsDropLines) {
    // Two lines of very different heights (24 and 72 pixels).
    cv::Mat img(360, 960, CV_8UC3, cv::Scalar::all(255));
    cv::Ptr<cv::freetype::FreeType2> ft2 = cv::freetype::createFreeType2();
    ft2->loadFontData(kFont, 0);
    ft2->putText(img, "SMALL 11", cv::Point(60, 100), 24, cv::Scalar::all(0), -1, cv::LINE_AA, true);
    ft2->putText(img, "LARGE 22", cv::Point(60, 280), 72, cv::Scalar::all(0), -1, cv::LINE_AA, true);
    std::vector<BOX_RESULT> all;
    EXPECT_EQ(run(img, "", all), 2) << describe(all);
    // A maximum height between the two line heights keeps the small line,
    // a minimum there keeps the large one.
    std::vector<BOX_RESULT> small, large;
    run(img, "", small, 0, 60, 0, 0);
    run(img, "", large, 60, 0, 0, 0);
    ASSERT_EQ(small.size(), 1u) << describe(small);
    ASSERT_EQ(large.size(), 1u) << describe(large);
    EXPECT_EQ(squeeze(small[0].text), "SMALL11");
    EXPECT_EQ(squeeze(large[0].text), "LARGE22");
}

}  // namespace
