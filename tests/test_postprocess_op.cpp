// Box post-processing: extraction and scoring, expansion, corner ordering,
// mapping to source pixels, and the detector's per-plane path and loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include <omp.h>
#include <opencv2/imgproc.hpp>

#include "det.h"
#include "det_internal.h"
#include "postprocess_op.h"

namespace {

using FBox = std::vector<std::vector<float>>;
using IBox = std::vector<std::vector<int>>;
using Boxes = std::vector<IBox>;

FBox rect_box(float x0, float y0, float x1, float y1) { return {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}}; }

// ------------------------------------------------------------ expansion

TEST(UnClip, AxisAlignedBoxGrowsByAreaTimesRatioOverPerimeterOnEverySide) {
    OCR::PostProcessor pp;
    const FBox box = rect_box(10, 20, 50, 30);  // 40 x 10
    float distance = 1.0f;
    pp.GetContourArea(box, 2.0f, distance);
    EXPECT_FLOAT_EQ(distance, 8.0f);

    const cv::RotatedRect r = pp.UnClip(box, 2.0f);
    const float long_side = std::max(r.size.width, r.size.height);
    const float short_side = std::min(r.size.width, r.size.height);
    EXPECT_NEAR(long_side, 56.0f, 1e-3);
    EXPECT_NEAR(short_side, 26.0f, 1e-3);
    EXPECT_NEAR(r.center.x, 30.0f, 1e-3);
    EXPECT_NEAR(r.center.y, 25.0f, 1e-3);
}

TEST(UnClip, NegativeFractionsAreTruncatedTowardsZeroNotFloored) {
    OCR::PostProcessor pp;
    // Truncated corners (0,0) (40,0) (40,10) (0,10): centre (20, 5). Flooring
    // would give (-1,-1) .. (40,10) and centre (19.5, 4.5).
    const cv::RotatedRect r = pp.UnClip(rect_box(-0.7f, -0.7f, 40.9f, 10.9f), 2.0f);
    EXPECT_NEAR(r.center.x, 20.0f, 1e-3);
    EXPECT_NEAR(r.center.y, 5.0f, 1e-3);
}

TEST(UnClip, DegenerateBoxesGiveTheUnitRectangleAtTheOrigin) {
    OCR::PostProcessor pp;
    // All corners equal: no perimeter, the distance would be 0 / 0.
    const cv::RotatedRect point = pp.UnClip(rect_box(7, 7, 7, 7), 2.0f);
    EXPECT_EQ(point.center, cv::Point2f(0, 0));
    EXPECT_EQ(point.size, cv::Size2f(1, 1));
    EXPECT_EQ(point.angle, 0.0f);

    // A flat box: zero area, distance 0, nothing comes back from the offsetting.
    const cv::RotatedRect flat = pp.UnClip(rect_box(3, 9, 30, 9), 2.0f);
    EXPECT_EQ(flat.center, cv::Point2f(0, 0));
    EXPECT_EQ(flat.size, cv::Size2f(1, 1));
}

TEST(FourCornerOperations, BoxesWithoutFourCornersAreNotRead) {
    OCR::PostProcessor pp;
    const FBox three = {{0, 0}, {10, 0}, {10, 10}};
    const FBox short_point = {{0, 0}, {10, 0}, {10}, {0, 10}};
    for (const FBox& bad : {three, short_point, FBox{}}) {
        float distance = 7.0f;
        pp.GetContourArea(bad, 2.0f, distance);
        EXPECT_EQ(distance, 7.0f);
        const cv::RotatedRect r = pp.UnClip(bad, 2.0f);
        EXPECT_EQ(r.size, cv::Size2f(1, 1));
        EXPECT_EQ(r.center, cv::Point2f(0, 0));
        EXPECT_EQ(pp.BoxScoreFast(bad, cv::Mat::ones(20, 20, CV_32FC1)), 0.0f);
    }
    const IBox three_int = {{5, 9}, {5, 1}, {20, 1}};
    EXPECT_EQ(pp.OrderPointsClockwise(three_int), three_int);
    const IBox flat_point = {{5, 9}, {5}, {20, 1}, {20, 9}};
    EXPECT_EQ(pp.OrderPointsClockwise(flat_point), flat_point);
}

TEST(Mat2Vector, RowsOfFloatsAndOtherTypesRefused) {
    OCR::PostProcessor pp;
    cv::Mat m(2, 3, CV_32FC1);
    for (int i = 0; i < 6; i++) m.at<float>(i / 3, i % 3) = float(i) + 0.5f;
    EXPECT_EQ(pp.Mat2Vector(m), (FBox{{0.5f, 1.5f, 2.5f}, {3.5f, 4.5f, 5.5f}}));
    float** rows = pp.Mat2Vec(m);
    ASSERT_NE(rows, nullptr);
    EXPECT_EQ(rows[1][2], 5.5f);
    EXPECT_EQ(rows[0][0], 0.5f);
    for (int r = 0; r < 2; r++) delete[] rows[r];
    delete[] rows;
    EXPECT_TRUE(pp.Mat2Vector(cv::Mat()).empty());

    // Reading 8-bit or multi-channel data as floats would run past each row.
    for (int type : {CV_8UC1, CV_32FC2, CV_64FC1}) {
        const cv::Mat other(4, 2, type, cv::Scalar::all(1));
        EXPECT_THROW(pp.Mat2Vector(other), cv::Exception) << type;
        EXPECT_THROW(pp.Mat2Vec(other), cv::Exception) << type;
    }
}

// ------------------------------------------------------------ corner order

TEST(GetMiniBoxes, OrdersCornersTopLeftClockwiseAndReportsTheLongerSide) {
    OCR::PostProcessor pp;
    float ssid = 0.f;
    const FBox b = pp.GetMiniBoxes(cv::RotatedRect(cv::Point2f(50, 40), cv::Size2f(60, 20), 0), ssid);
    EXPECT_FLOAT_EQ(ssid, 60.0f);
    EXPECT_EQ(b, (FBox{{20, 30}, {80, 30}, {80, 50}, {20, 50}}));

    // A rotated rectangle: corner 0 is left of corner 1, corner 3 below corner 0.
    const FBox r = pp.GetMiniBoxes(cv::RotatedRect(cv::Point2f(50, 50), cv::Size2f(60, 20), 20), ssid);
    EXPECT_LT(r[0][0], r[1][0]);
    EXPECT_LT(r[3][0], r[2][0]);
    EXPECT_LT(r[0][1], r[3][1]);
    EXPECT_LT(r[1][1], r[2][1]);
}

TEST(OrderPointsClockwise, SortsByXThenSplitsPairsByY) {
    OCR::PostProcessor pp;
    EXPECT_EQ(pp.OrderPointsClockwise({{5, 9}, {5, 1}, {20, 1}, {20, 9}}),
              (IBox{{5, 1}, {20, 1}, {20, 9}, {5, 9}}));
    // Equal y in the left pair: the sorted order stays, the first is top-left.
    EXPECT_EQ(pp.OrderPointsClockwise({{3, 5}, {10, 9}, {1, 5}, {10, 0}}),
              (IBox{{1, 5}, {10, 0}, {10, 9}, {3, 5}}));
    // Equal x keeps the input order (stable sort) before the y split.
    EXPECT_EQ(pp.OrderPointsClockwise({{0, 8}, {0, 2}, {9, 2}, {9, 8}}),
              (IBox{{0, 2}, {9, 2}, {9, 8}, {0, 8}}));
}

// ------------------------------------------------------------ mapping

TEST(FilterTagDetRes, MapsThroughRatioAndPaddingWithTruncation) {
    OCR::PostProcessor pp;
    Boxes half = {{{101, 100}, {200, 100}, {200, 150}, {101, 150}}};
    Boxes out = pp.FilterTagDetRes(half, 0.5f, 0.5f, 20, 1000, 1000);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][0], (std::vector<int>{182, 180}));  // int(202.0) - 20, int(200.0) - 20
    EXPECT_EQ(out[0][2], (std::vector<int>{380, 280}));

    Boxes third = {{{10, 100}, {100, 100}, {100, 150}, {10, 150}}};
    out = pp.FilterTagDetRes(third, 0.3f, 0.3f, 20, 1000, 1000);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][0][0], 13);  // int(33.33) - 20
}

TEST(FilterTagDetRes, ClampsToTheLastPixelAndOrdersCornersBeforeMapping) {
    OCR::PostProcessor pp;
    // Corners given bottom-right first; mapped -20 .. 280 in a 200 x 150 image.
    Boxes b = {{{300, 300}, {0, 300}, {0, 0}, {300, 0}}};
    const Boxes out = pp.FilterTagDetRes(b, 1.0f, 1.0f, 20, 150, 200);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], (IBox{{0, 0}, {199, 0}, {199, 149}, {0, 149}}));
    // The caller's list is untouched.
    EXPECT_EQ(b[0][0], (std::vector<int>{300, 300}));
}

TEST(FilterTagDetRes, DropsBoxesWhoseTruncatedSidesAreFourOrLessAndKeepsTheOrder) {
    OCR::PostProcessor pp;
    const IBox keep_a = {{10, 10}, {14, 13}, {14, 40}, {10, 40}};  // width int(5.0) = 5
    const IBox small = {{10, 10}, {14, 12}, {14, 40}, {10, 40}};   // width int(4.47) = 4
    const IBox keep_b = {{50, 50}, {90, 50}, {90, 60}, {50, 60}};
    const IBox flat = {{50, 50}, {90, 50}, {90, 54}, {50, 54}};    // height 4
    const Boxes out = pp.FilterTagDetRes({keep_a, small, keep_b, flat}, 1.0f, 1.0f, 0, 100, 100);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], keep_a);
    EXPECT_EQ(out[1], keep_b);
    EXPECT_TRUE(pp.FilterTagDetRes({}, 1.0f, 1.0f, 20, 10, 10).empty());
}

TEST(FilterTagDetRes, QuotientsBeyondTheIntRangeAreClampedLikeAnyOther) {
    OCR::PostProcessor pp;
    const IBox box = {{0, 10}, {200, 10}, {200, 90}, {0, 90}};
    // A ratio near zero makes the x quotients huge: they clamp to the last
    // column (not wrap to a negative int and clamp to 0), whatever the
    // border; 0 / 0 clamps to 0.
    for (int padding : {0, 20, -20}) {
        const Boxes out = pp.FilterTagDetRes({box}, 1.0f, 1e-9f, padding, 100, 300);
        ASSERT_EQ(out.size(), 1u) << padding;
        EXPECT_EQ(out[0][1][0], 299) << padding;
        EXPECT_EQ(out[0][2][0], 299) << padding;
        EXPECT_EQ(out[0][0][0], std::max(0, -padding)) << padding;
    }
    const Boxes zero = pp.FilterTagDetRes({box}, 1.0f, 0.0f, 20, 100, 300);
    ASSERT_EQ(zero.size(), 1u);
    EXPECT_EQ(zero[0], (IBox{{0, 0}, {299, 0}, {299, 70}, {0, 70}}));
}

TEST(FilterTagDetRes, MalformedBoxesAreDroppedNotRead) {
    OCR::PostProcessor pp;
    const IBox good = {{10, 10}, {40, 10}, {40, 40}, {10, 40}};
    const Boxes out = pp.FilterTagDetRes({{{1, 1}, {2, 2}, {3, 3}}, good, {{1}, {2}, {3}, {4}}, {}}, 1.0f, 1.0f, 0,
                                         100, 100);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], good);
}

// ------------------------------------------------------------ scoring

TEST(BoxScoreFast, AveragesOnlyThePolygonPixelsInsideTheMap) {
    OCR::PostProcessor pp;
    cv::Mat pred = cv::Mat::zeros(10, 10, CV_32FC1);
    pred(cv::Rect(5, 0, 5, 10)).setTo(1.0f);
    // Half of the box lies right of the map; the inside half is all 1.0.
    EXPECT_FLOAT_EQ(pp.BoxScoreFast(rect_box(5, 2, 15, 6), pred), 1.0f);
    EXPECT_FLOAT_EQ(pp.BoxScoreFast(rect_box(0, 2, 4, 6), pred), 0.0f);
    // Wholly outside: a one-pixel region at the border, nothing covered.
    EXPECT_FLOAT_EQ(pp.BoxScoreFast(rect_box(20, 20, 30, 30), pred), 0.0f);
    EXPECT_FLOAT_EQ(pp.BoxScoreFast(rect_box(-30, -30, -20, -20), pred), 0.0f);
    // An empty map has nothing to average.
    EXPECT_FLOAT_EQ(pp.BoxScoreFast(rect_box(0, 0, 3, 3), cv::Mat()), 0.0f);
}

TEST(BoxScoreFast, CornersBeyondTheIntRangeOrNotANumberStillGiveAScore) {
    OCR::PostProcessor pp;
    cv::Mat pred = cv::Mat::zeros(10, 10, CV_32FC1);
    pred.rowRange(0, 6).setTo(1.0f);
    // Two corners far right: the polygon covers rows 0..5 of every column.
    EXPECT_FLOAT_EQ(pp.BoxScoreFast(rect_box(0, 0, 1e20f, 5), pred), 1.0f);
    EXPECT_FLOAT_EQ(pp.BoxScoreFast(rect_box(-3e9f, 0, 3e9f, 5), pred), 1.0f);
    EXPECT_FLOAT_EQ(pp.PolygonScoreAcc({{0, 0}, {9, 0}, {9, 5}, {0, 5}}, pred), 1.0f);
    // A corner that is not a number does not make the score undefined.
    const float s = pp.BoxScoreFast({{0, 0}, {std::nanf(""), 0}, {9, 5}, {0, 5}}, pred);
    EXPECT_GE(s, 0.0f);
    EXPECT_LE(s, 1.0f);
}

TEST(BoxScoreFast, CornersAreTruncatedBeforeTheShift) {
    OCR::PostProcessor pp;
    cv::Mat pred(1, 10, CV_32FC1);
    for (int c = 0; c < 10; c++) pred.at<float>(0, c) = float(c);
    // xmin 3, xmax ceil(7.9) = 8; x = 7.9 becomes mask column 4 (map column
    // 7), so the mean is over columns 3..7, not 3..8.
    const FBox line = {{3.0f, 0.0f}, {7.9f, 0.0f}, {7.9f, 0.0f}, {3.0f, 0.0f}};
    EXPECT_FLOAT_EQ(pp.BoxScoreFast(line, pred), 5.0f);
}

TEST(PolygonScoreAcc, ScoresTheOutlineItselfNotItsBox) {
    OCR::PostProcessor pp;
    cv::Mat pred = cv::Mat::zeros(40, 40, CV_32FC1);
    // An L: a 30 x 6 bar and a 6 x 30 bar sharing the top-left corner.
    std::vector<cv::Point> l = {{0, 0}, {29, 0}, {29, 5}, {5, 5}, {5, 29}, {0, 29}};
    cv::fillPoly(pred, std::vector<std::vector<cv::Point>>{l}, cv::Scalar(1.0));
    EXPECT_FLOAT_EQ(pp.PolygonScoreAcc(l, pred), 1.0f);
    float ssid = 0.f;
    const FBox box = pp.GetMiniBoxes(cv::minAreaRect(l), ssid);
    EXPECT_LT(pp.BoxScoreFast(box, pred), 0.5f);
}

// ------------------------------------------------------------ extraction

struct Map {
    cv::Mat pred, bit;
    Map(int rows, int cols, float background = 0.0f)
        : pred(rows, cols, CV_32FC1, cv::Scalar(background)), bit(cv::Mat::zeros(rows, cols, CV_8UC1)) {}
    void blob(cv::Rect r, float p = 1.0f) {
        pred(r).setTo(p);
        bit(r).setTo(255);
    }
};

Boxes extract(const Map& m, float thresh = 0.3f, float ratio = 2.0f, bool polygon = false) {
    return OCR::PostProcessor().BoxesFromBitmap(m.pred, m.bit, thresh, ratio, polygon);
}

TEST(BoxesFromBitmap, OneRectangleGivesItsGrownBoxInMapPixels) {
    Map m(100, 100);
    m.blob(cv::Rect(30, 45, 40, 10));  // outline 39 x 9 from (30,45) to (69,54)
    const Boxes b = extract(m);
    ASSERT_EQ(b.size(), 1u);
    // Centre (49.5, 49.5), grown by 39 * 9 * 2 / (2 * 48) = 7.3125 on every
    // side: x 22.69 .. 76.31, y 37.69 .. 61.31, then rounded.
    EXPECT_EQ(b[0], (IBox{{23, 38}, {76, 38}, {76, 61}, {23, 61}}));
    EXPECT_TRUE(extract(Map(100, 100)).empty());
}

TEST(BoxesFromBitmap, CornersAreScaledFromTheBitmapToTheProbabilityMap) {
    // A bitmap half the size of the probability map: corners are divided by
    // the bitmap's size and multiplied by the map's, per axis.
    Map same(50, 80, 1.0f);
    same.blob(cv::Rect(20, 10, 40, 12));
    cv::Mat big(100, 240, CV_32FC1, cv::Scalar(1.0f));  // 2x rows, 3x cols
    const Boxes small_px = OCR::PostProcessor().BoxesFromBitmap(same.pred, same.bit, 0.3f, 2.0f, false);
    const Boxes big_px = OCR::PostProcessor().BoxesFromBitmap(big, same.bit, 0.3f, 2.0f, false);
    ASSERT_EQ(small_px.size(), 1u);
    ASSERT_EQ(big_px.size(), 1u);
    for (int k = 0; k < 4; k++) {
        EXPECT_NEAR(big_px[0][k][0], 3 * small_px[0][k][0], 2) << "corner " << k;
        EXPECT_NEAR(big_px[0][k][1], 2 * small_px[0][k][1], 1) << "corner " << k;
    }
    EXPECT_GT(big_px[0][1][0], 150);  // in map pixels, not bitmap pixels
}

TEST(BoxesFromBitmap, CornersAreClampedToTheMapSizeNotTheLastPixel) {
    Map m(64, 64);
    m.blob(cv::Rect(50, 20, 14, 20));  // touches the right edge
    const Boxes b = extract(m);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0][1][0], 64);
    EXPECT_EQ(b[0][2][0], 64);
    EXPECT_LT(b[0][0][0], 50);
}

TEST(BoxesFromBitmap, ScoreEqualToTheThresholdIsKeptJustBelowIsDropped) {
    Map at(60, 60, 0.3f);
    at.bit(cv::Rect(10, 10, 30, 12)).setTo(255);
    EXPECT_EQ(extract(at, 0.3f).size(), 1u);

    Map below(60, 60, 0.2999f);
    below.bit(cv::Rect(10, 10, 30, 12)).setTo(255);
    EXPECT_TRUE(extract(below, 0.3f).empty());
}

TEST(BoxesFromBitmap, LongerSideOfThreeGoesOnTwoIsSkipped) {
    // With a large ratio both would grow past the final size test; only the
    // early longer-side test tells them apart.
    Map three(40, 40);
    three.blob(cv::Rect(10, 10, 4, 2));  // outline 3 x 1
    EXPECT_EQ(extract(three, 0.3f, 8.0f).size(), 1u);

    Map two(40, 40);
    two.blob(cv::Rect(10, 10, 3, 2));  // outline 2 x 1
    EXPECT_TRUE(extract(two, 0.3f, 8.0f).empty());
}

TEST(BoxesFromBitmap, AtMostTheFirstThousandOutlinesAreExamined) {
    Map m(300, 500);
    int blobs = 0;
    for (int r = 0; r < 30; r++)
        for (int c = 0; c < 50; c++, blobs++) m.blob(cv::Rect(c * 10 + 2, r * 10 + 3, 6, 4));
    ASSERT_EQ(blobs, 1500);
    EXPECT_EQ(extract(m).size(), 1000u);

    Map fewer(300, 500);
    for (int i = 0; i < 999; i++) fewer.blob(cv::Rect((i % 50) * 10 + 2, (i / 50) * 10 + 3, 6, 4));
    EXPECT_EQ(extract(fewer).size(), 999u);
}

TEST(BoxesFromBitmap, PolygonScoreKeepsAnOutlineTheBoxScoreWouldDrop) {
    Map m(60, 60);
    std::vector<cv::Point> l = {{5, 5}, {44, 5}, {44, 9}, {9, 9}, {9, 44}, {5, 44}};
    cv::fillPoly(m.pred, std::vector<std::vector<cv::Point>>{l}, cv::Scalar(1.0));
    cv::fillPoly(m.bit, std::vector<std::vector<cv::Point>>{l}, cv::Scalar(255));
    EXPECT_TRUE(extract(m, 0.5f).empty());
    EXPECT_EQ(extract(m, 0.5f, 2.0f, true).size(), 1u);
}

// ------------------------------------------------------------ per-plane path

class PlanePath : public ::testing::Test {
protected:
    OCR::TextDetect det;
    Boxes run(const std::vector<float>& plane, int h, int w, int rows, int cols) {
        return OCR::detail::post_process_plane(det, plane.data(), h, w, 1.0f, 1.0f, 0, rows, cols);
    }
};

TEST_F(PlanePath, BinarisesAtByte102Background103Text) {
    std::vector<float> plane(64 * 64, 0.0f);
    auto fill = [&](float v) {
        for (int y = 20; y < 40; y++)
            for (int x = 10; x < 50; x++) plane[y * 64 + x] = v;
    };
    fill(0.4f);  // int(0.4 * 255) = 102: not above the threshold
    EXPECT_TRUE(run(plane, 64, 64, 64, 64).empty());
    fill(0.404f);  // 103
    EXPECT_EQ(run(plane, 64, 64, 64, 64).size(), 1u);
    fill(1.0f);  // 255
    EXPECT_EQ(run(plane, 64, 64, 64, 64).size(), 1u);
}

TEST_F(PlanePath, DegenerateMapsGiveSensibleBoxesOrNone) {
    std::vector<float> zeros(50 * 80, 0.0f), ones(50 * 80, 1.0f), nan(50 * 80, std::nanf(""));
    EXPECT_TRUE(run(zeros, 50, 80, 50, 80).empty());
    EXPECT_TRUE(run(nan, 50, 80, 50, 80).empty());
    const Boxes all = run(ones, 50, 80, 50, 80);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0], (IBox{{0, 0}, {79, 0}, {79, 49}, {0, 49}}));

    const std::vector<float> one = {1.0f};
    EXPECT_TRUE(run(one, 1, 1, 1, 1).empty());
    std::vector<float> row(1 * 300, 1.0f), col(300 * 1, 1.0f);
    EXPECT_TRUE(run(row, 1, 300, 1, 300).empty());
    EXPECT_TRUE(run(col, 300, 1, 300, 1).empty());
    EXPECT_TRUE(run(one, 0, 1, 1, 1).empty());
    EXPECT_TRUE(run(one, 1, -3, 1, 1).empty());
    EXPECT_TRUE(OCR::detail::post_process_plane(det, nullptr, 10, 10, 1.f, 1.f, 0, 10, 10).empty());
}

TEST_F(PlanePath, DilationJoinsRegionsOnePixelApart) {
    std::vector<float> plane(40 * 80, 0.0f);
    for (int y = 10; y < 30; y++)
        for (int x = 5; x < 75; x++)
            if (x != 40) plane[y * 80 + x] = 1.0f;  // a one-pixel gap at x = 40
    EXPECT_EQ(run(plane, 40, 80, 40, 80).size(), 2u);
    det.use_dilation = true;
    EXPECT_EQ(run(plane, 40, 80, 40, 80).size(), 1u);
}

TEST_F(PlanePath, BoxesAreMappedWithTheGivenRatiosAndPadding) {
    std::vector<float> plane(64 * 128, 0.0f);
    for (int y = 20; y < 40; y++)
        for (int x = 30; x < 90; x++) plane[y * 128 + x] = 1.0f;
    const Boxes map_px = OCR::detail::post_process_plane(det, plane.data(), 64, 128, 1.0f, 1.0f, 0, 64, 128);
    const Boxes src_px = OCR::detail::post_process_plane(det, plane.data(), 64, 128, 0.5f, 0.25f, 20, 1000, 1000);
    ASSERT_EQ(map_px.size(), 1u);
    ASSERT_EQ(src_px.size(), 1u);
    for (int k = 0; k < 4; k++) {
        EXPECT_EQ(src_px[0][k][0], std::max(int(float(map_px[0][k][0]) / 0.25f) - 20, 0));
        EXPECT_EQ(src_px[0][k][1], std::max(int(float(map_px[0][k][1]) / 0.5f) - 20, 0));
    }
    EXPECT_EQ(src_px[0][0][1], 0);  // 6 / 0.5 - 20 = -8, clamped
}

// ------------------------------------------------------------ plane loop

TEST(RunPlaneLoop, FirstExceptionByIndexIsReturnedAfterEveryIterationRan) {
    omp_set_num_threads(4);
    std::atomic<int> ran{0};
    std::vector<int> done(8, 0);
    std::exception_ptr e = OCR::detail::run_plane_loop(8, [&](int i) {
        ran++;
        if (i == 5) throw std::runtime_error("plane 5");
        if (i == 2) throw std::out_of_range("plane 2");
        done[i] = 1;
    });
    EXPECT_EQ(ran.load(), 8);
    EXPECT_EQ(done, (std::vector<int>{1, 1, 0, 1, 1, 0, 1, 1}));
    ASSERT_TRUE(e);
    try {
        std::rethrow_exception(e);
        FAIL() << "no exception";
    } catch (const std::out_of_range& ex) {
        EXPECT_STREQ(ex.what(), "plane 2");
    }
}

TEST(RunPlaneLoop, NoExceptionNoCountNoError) {
    std::vector<int> seen(5, 0);
    EXPECT_FALSE(OCR::detail::run_plane_loop(5, [&](int i) { seen[i]++; }));
    EXPECT_EQ(seen, (std::vector<int>{1, 1, 1, 1, 1}));
    EXPECT_FALSE(OCR::detail::run_plane_loop(0, [](int) { throw 1; }));
    EXPECT_FALSE(OCR::detail::run_plane_loop(-2, [](int) { throw 1; }));
}

}  // namespace
