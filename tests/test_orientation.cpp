// The orientation step: its rules on their own, and on the shipped models
// (models/) the lines of pages turned by 90, 180 and 270 degrees cut out
// from given boxes, so that the detector takes no part.
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/freetype.hpp>
#include <opencv2/imgproc.hpp>

#include "ocr.h"
#include "ocr_internal.h"
#include "orient.h"
#include "shipped_models.h"

namespace {

using OCR::detail::LineReading;
using Box = std::vector<std::vector<int>>;

LineReading reading(float score, float path) {
    LineReading r;
    r.score = score;
    r.path = path;
    return r;
}

// Axes of a box w wide (along u) and h high (along v), u turned by `deg`
// degrees clockwise on screen from pointing right.
OCR::detail::CutAxes axes(double w, double h, double deg) {
    const double a = deg * CV_PI / 180.0;
    const cv::Point2f u(static_cast<float>(w * std::cos(a)), static_cast<float>(w * std::sin(a)));
    const cv::Point2f v(static_cast<float>(-h * std::sin(a)), static_cast<float>(h * std::cos(a)));
    return {u, v};
}

TEST(OrientationRules, PageOnItsSideWhenTwoThirdsOfTheVotingLinesRunDown) {
    using OCR::detail::page_on_its_side;
    const auto wide = axes(300, 40, 0), tall = axes(40, 300, 0), square = axes(50, 60, 0);
    EXPECT_FALSE(page_on_its_side({}));
    EXPECT_FALSE(page_on_its_side({wide, wide, tall}));
    EXPECT_TRUE(page_on_its_side({tall}));
    EXPECT_TRUE(page_on_its_side({tall, tall, tall, wide}));
    EXPECT_FALSE(page_on_its_side({tall, tall, wide}));  // a column beside a line: not two thirds
    // A line running down the image may be cut out wide, its first corner
    // at the bottom (boxes turned past 45 degrees): it votes by its
    // direction in the image, not by the cut-out's shape.
    EXPECT_TRUE(page_on_its_side({axes(300, 40, -82), axes(300, 40, 98), tall, wide}));
    EXPECT_FALSE(page_on_its_side({axes(300, 40, -30), axes(300, 40, 20), tall}));
    // Short lines of a turned page (a price, a date) stand by little but
    // vote; near-square cut-outs (single characters) do not.
    EXPECT_TRUE(page_on_its_side({axes(30, 45, 0), axes(30, 46, 0), square, square, square}));
    EXPECT_FALSE(page_on_its_side({axes(30, 44, 0), square, square}));
    EXPECT_FALSE(page_on_its_side({square, square, axes(0, 0, 0)}));
}

TEST(OrientationRules, CutOutsOfASidewaysPageAllReadDownTheImage) {
    using OCR::detail::side_page_turns;
    // The text's direction after k counter-clockwise quarter turns runs
    // along u, v, -u, -v: each box below holds a line running down the
    // image, however its corners are ordered.
    EXPECT_EQ(side_page_turns(axes(40, 300, 0)), 1);     // tall, first corner top-left
    EXPECT_EQ(side_page_turns(axes(40, 300, 180)), 3);   // tall, first corner bottom-right
    EXPECT_EQ(side_page_turns(axes(300, 40, 90)), 0);    // wide, u pointing down
    EXPECT_EQ(side_page_turns(axes(300, 40, -82)), 2);   // wide, u pointing up (slanted)
    EXPECT_EQ(side_page_turns(axes(300, 40, 98)), 0);
    EXPECT_EQ(side_page_turns(axes(30, 50, 8)), 1);      // a short price, slanted
    // A line clearly across the page reads left to right.
    EXPECT_EQ(side_page_turns(axes(300, 40, 0)), 0);
    EXPECT_EQ(side_page_turns(axes(300, 40, 180)), 2);
    // A near-square cut-out reads along its side nearest to downwards.
    EXPECT_EQ(side_page_turns(axes(50, 55, 0)), 1);
    EXPECT_EQ(side_page_turns(axes(50, 55, 90)), 0);
    EXPECT_EQ(side_page_turns(axes(0, 0, 0)), 0);
}

TEST(OrientationRules, PageVoteIgnoresLinesReadPoorlyBothWays) {
    OCR::detail::PageVote vote;
    vote.add(reading(0.5f, -40.0f), reading(0.7f, -10.0f));  // noise: no say
    vote.add(reading(0.9f, -5.0f), LineReading{});           // not read turned: no say
    EXPECT_EQ(vote.evidence(), 0.0);
    EXPECT_FALSE(vote.turn());
    vote.add(reading(0.6f, -9.0f), reading(0.95f, -6.0f));
    EXPECT_NEAR(vote.evidence(), 3.0, 1e-6);
    EXPECT_TRUE(vote.turn());
    EXPECT_FALSE(vote.settled());
    vote.add(reading(0.97f, -2.0f), reading(0.7f, -9.0f));  // a line that reads better as it is
    EXPECT_FALSE(vote.turn());
    vote.add(reading(0.98f, -1.0f), reading(0.6f, -5.0f));
    EXPECT_TRUE(vote.settled());
    EXPECT_FALSE(vote.turn());
}

// ------------------------------------------------------ on the shipped models

const char* const kFont = "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc";

struct Page {
    cv::Mat img;
    std::vector<cv::Rect> boxes;  // each line's ink box, grown by a margin
};

// Black lines on a white page; long lines and short ones (a price, a
// date, a code), Latin and Chinese.
Page render_page() {
    const std::vector<std::pair<std::string, cv::Point>> lines = {
        {"Delivery Note 2024", cv::Point(60, 70)},   {"送货单 编号 DN-0611", cv::Point(60, 150)},
        {"Customer: Harbour Trading", cv::Point(60, 230)}, {"12.50", cv::Point(60, 310)},
        {"日期：6月11日", cv::Point(60, 390)},          {"Total 96.00", cv::Point(420, 310)},
        {"XK-4471", cv::Point(420, 390)},             {"Thank you for your business", cv::Point(60, 470)}};
    Page page;
    page.img = cv::Mat(520, 760, CV_8UC3, cv::Scalar::all(255));
    cv::Ptr<cv::freetype::FreeType2> ft2 = cv::freetype::createFreeType2();
    ft2->loadFontData(kFont, 0);
    for (const auto& l : lines) {
        cv::Mat one(page.img.size(), CV_8UC3, cv::Scalar::all(0)), grey;
        ft2->putText(one, l.first, l.second, 36, cv::Scalar::all(255), -1, cv::LINE_AA, true);
        ft2->putText(page.img, l.first, l.second, 36, cv::Scalar::all(0), -1, cv::LINE_AA, true);
        cv::cvtColor(one, grey, cv::COLOR_BGR2GRAY);
        const cv::Rect ink = cv::boundingRect(grey);
        page.boxes.push_back(cv::Rect(ink.x - 6, ink.y - 6, ink.width + 12, ink.height + 12) &
                             cv::Rect(0, 0, page.img.cols, page.img.rows));
    }
    return page;
}

// The image turned clockwise by `degrees` (0, 90, 180 or 270) and a
// rectangle of it mapped along, as a box with the detector's corner order.
cv::Mat turn_page(const cv::Mat& img, int degrees) {
    cv::Mat out;
    if (degrees == 0) out = img.clone();
    if (degrees == 90) cv::rotate(img, out, cv::ROTATE_90_CLOCKWISE);
    if (degrees == 180) cv::rotate(img, out, cv::ROTATE_180);
    if (degrees == 270) cv::rotate(img, out, cv::ROTATE_90_COUNTERCLOCKWISE);
    return out;
}

Box turn_box(const cv::Rect& r, const cv::Size& page, int degrees) {
    // Last pixel column and row of the rectangle: x0..x1, y0..y1.
    const int x0 = r.x, y0 = r.y, x1 = r.x + r.width - 1, y1 = r.y + r.height - 1;
    const int W = page.width, H = page.height;
    int l = x0, t = y0, rt = x1, b = y1;
    if (degrees == 90) l = H - 1 - y1, rt = H - 1 - y0, t = x0, b = x1;
    if (degrees == 180) l = W - 1 - x1, rt = W - 1 - x0, t = H - 1 - y1, b = H - 1 - y0;
    if (degrees == 270) l = y0, rt = y1, t = W - 1 - x1, b = W - 1 - x0;
    return {{l, t}, {rt + 1, t}, {rt + 1, b + 1}, {l, b + 1}};
}

class OrientationOnBoxes : public varnel_test::ShippedModels {
protected:
    // Reads the given boxes of one image through the line step of a request.
    std::vector<OCR::OCRPredictResult> read(const cv::Mat& img, const std::vector<Box>& boxes, bool orient = true) {
        std::vector<OCR::OCRPredictResult> dets;
        for (const Box& b : boxes) {
            OCR::OCRPredictResult d{};
            d.imgid = 0;
            d.box = b;
            dets.push_back(d);
        }
        std::vector<OCR::OCRPredictResult> out;
        std::vector<double> times(3, 0.0);
        const bool was = OCR::detail::PipelineSwitches::orientation(*g_ocr);
        OCR::detail::PipelineSwitches::set_orientation(*g_ocr, orient);
        int rc = -1;
        varnel_test::captured([&] { rc = OCR::detail::crop_and_recognise(*g_ocr, {img}, dets, true, times, out); });
        OCR::detail::PipelineSwitches::set_orientation(*g_ocr, was);
        EXPECT_EQ(rc, 0);
        return out;
    }

    static std::string texts(const std::vector<OCR::OCRPredictResult>& r) {
        std::string s;
        for (const auto& x : r) s += "  '" + x.text + "'\n";
        return s;
    }
};

TEST_F(OrientationOnBoxes, TurnedPagesReadLikeTheUprightPage) {
    ASSERT_TRUE(OCR::Utility::PathExists(kFont)) << kFont << " missing (fonts-wqy-zenhei)";
    const Page page = render_page();
    std::vector<Box> upright_boxes;
    for (const cv::Rect& r : page.boxes) upright_boxes.push_back(turn_box(r, page.img.size(), 0));
    const std::vector<OCR::OCRPredictResult> upright = read(page.img, upright_boxes);
    ASSERT_EQ(upright.size(), page.boxes.size());
    // The upright page reads as without the step, and reads the text.
    const std::vector<OCR::OCRPredictResult> plain = read(page.img, upright_boxes, false);
    ASSERT_EQ(plain.size(), upright.size());
    for (size_t i = 0; i < upright.size(); ++i) EXPECT_EQ(upright[i].text, plain[i].text);
    EXPECT_NE(upright[0].text.find("Delivery"), std::string::npos) << texts(upright);

    for (int degrees : {90, 180, 270}) {
        SCOPED_TRACE(degrees);
        const cv::Mat turned = turn_page(page.img, degrees);
        std::vector<Box> boxes;
        for (const cv::Rect& r : page.boxes) boxes.push_back(turn_box(r, page.img.size(), degrees));
        const std::vector<OCR::OCRPredictResult> got = read(turned, boxes);
        ASSERT_EQ(got.size(), upright.size()) << texts(got);
        // Every line, the short ones too, is cut out the right way up: the
        // same pixels as on the upright page, hence the same text.
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].text, upright[i].text) << "line " << i << "\n" << texts(got);
            EXPECT_EQ(got[i].box, boxes[i]);  // the records keep their boxes
        }
        if (degrees == 270) {
            // Without the step, lines on a page turned this way end upside
            // down or on their side.
            const std::vector<OCR::OCRPredictResult> before = read(turned, boxes, false);
            size_t same = 0;
            for (size_t i = 0; i < before.size(); ++i) same += before[i].text == upright[i].text ? 1 : 0;
            EXPECT_LT(same, before.size() / 2) << texts(before);
        }
    }
}

TEST_F(OrientationOnBoxes, OneLineUpsideDownAmongUprightOnes) {
    ASSERT_TRUE(OCR::Utility::PathExists(kFont)) << kFont << " missing (fonts-wqy-zenhei)";
    const Page page = render_page();
    std::vector<Box> boxes;
    for (const cv::Rect& r : page.boxes) boxes.push_back(turn_box(r, page.img.size(), 0));
    const std::vector<OCR::OCRPredictResult> upright = read(page.img, boxes);
    // Each line in turn stands on its head, alone on a page of upright ones.
    for (size_t k : {size_t(0), size_t(2), size_t(7)}) {
        SCOPED_TRACE(k);
        cv::Mat mixed = page.img.clone();
        cv::Mat region = mixed(page.boxes[k]);
        cv::rotate(region.clone(), region, cv::ROTATE_180);
        const std::vector<OCR::OCRPredictResult> got = read(mixed, boxes);
        ASSERT_EQ(got.size(), upright.size());
        for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].text, upright[i].text) << "line " << i;
    }
}

TEST_F(OrientationOnBoxes, UprightVerticalTextReadsAsBefore) {
    ASSERT_TRUE(OCR::Utility::PathExists(kFont)) << kFont << " missing (fonts-wqy-zenhei)";
    // A column of Chinese characters, one below the other, beside two lines
    // across: the column is cut out standing, as without the step.
    cv::Mat img(560, 640, CV_8UC3, cv::Scalar::all(255));
    cv::Ptr<cv::freetype::FreeType2> ft2 = cv::freetype::createFreeType2();
    ft2->loadFontData(kFont, 0);
    const std::vector<std::string> column = {"上", "海", "港", "务", "贸", "易"};
    for (size_t i = 0; i < column.size(); ++i)
        ft2->putText(img, column[i], cv::Point(520, 40 + 80 * static_cast<int>(i)), 60, cv::Scalar::all(0), -1,
                     cv::LINE_AA, false);
    ft2->putText(img, "Harbour Trading", cv::Point(40, 120), 40, cv::Scalar::all(0), -1, cv::LINE_AA, true);
    ft2->putText(img, "Invoice 20931", cv::Point(40, 260), 40, cv::Scalar::all(0), -1, cv::LINE_AA, true);
    cv::Mat grey;
    cv::cvtColor(img, grey, cv::COLOR_BGR2GRAY);
    std::vector<Box> boxes;
    for (const cv::Rect& band : {cv::Rect(500, 0, 140, 560), cv::Rect(0, 60, 480, 90), cv::Rect(0, 200, 480, 90)}) {
        cv::Mat ink = 255 - grey(band);
        cv::Rect r = cv::boundingRect(ink > 128);
        r = cv::Rect(band.x + r.x - 6, band.y + r.y - 6, r.width + 12, r.height + 12);
        boxes.push_back(turn_box(r, img.size(), 0));
    }
    const std::vector<OCR::OCRPredictResult> with = read(img, boxes, true);
    const std::vector<OCR::OCRPredictResult> without = read(img, boxes, false);
    ASSERT_EQ(with.size(), 3u);
    ASSERT_EQ(without.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(with[i].text, without[i].text) << "line " << i;
}

}  // namespace
