// Clock, debug-show switch, file test and the rotated-rectangle helpers.
#include <gtest/gtest.h>

#include <sys/time.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>

#include <opencv2/core.hpp>

#include "global.h"
#include "utils.h"

namespace {

double now_ms() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0;
}

TEST(Clock, WallClockMilliseconds) {
    for (int i = 0; i < 3; ++i) {
        const double before = now_ms();
        const double t = zel_get_current_time();
        const double after = now_ms();
        EXPECT_LE(before, t);
        EXPECT_LE(t, after);
    }
    // Sub-millisecond resolution: the microseconds are kept as a fraction.
    bool fraction_seen = false;
    for (int i = 0; i < 50 && !fraction_seen; ++i) {
        const double t = zel_get_current_time();
        fraction_seen = t != std::floor(t);
        usleep(37);
    }
    EXPECT_TRUE(fraction_seen);
}

TEST(DebugShow, OnOnlyWhenExactlyOne) {
    EXPECT_FALSE(isDebugShow());  // 0 at load
    setDebugShow(1);
    EXPECT_TRUE(isDebugShow());
    setDebugShow(2);
    EXPECT_FALSE(isDebugShow());
    EXPECT_EQ(g_debug_show, 2);
    setDebugShow(-1);
    EXPECT_FALSE(isDebugShow());
    setDebugShow(0);
    EXPECT_FALSE(isDebugShow());
}

TEST(FileExists, FilesDirectoriesAndMissingPaths) {
    char tmpl[] = "/tmp/varnel_exists_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string file = dir + "/f.txt";
    EXPECT_TRUE(isFileExists(dir));
    EXPECT_FALSE(isFileExists(file));
    FILE* fp = fopen(file.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    fclose(fp);
    EXPECT_TRUE(isFileExists(file));
    EXPECT_FALSE(isFileExists(dir + "/f.txt/below"));
    EXPECT_FALSE(isFileExists(""));
    unlink(file.c_str());
    rmdir(dir.c_str());
}

// A rotated rectangle at angle 0 whose integer bounding rectangle is
// exactly (x, y, w, h).
cv::RotatedRect rect_with_bounds(float x, float y, float w, float h) {
    cv::RotatedRect r(cv::Point2f(x + (w - 1) / 2.0f, y + (h - 1) / 2.0f), cv::Size2f(w - 1, h - 1), 0);
    return r;
}

TEST(CalcSafeRect, MarginAndImageBounds) {
    const cv::Mat img(100, 100, CV_8UC3);
    struct Case {
        cv::Rect bounds;
        bool ok;
        cv::Rect_<float> out;
    };
    const Case cases[] = {
        {{10, 10, 20, 30}, true, {5, 5, 29, 39}},
        {{0, 0, 200, 200}, true, {0, 0, 99, 99}},
        {{5, 6, 10, 10}, true, {0, 1, 19, 19}},  // 5 - 5 is not greater than 0
        {{90, 90, 4, 4}, true, {85, 85, 13, 13}},  // 100 > 99: right edge 98
        {{150, 10, 20, 20}, false, {}},  // wholly right of the image
        {{10, 150, 20, 20}, false, {}},  // wholly below
    };
    for (const Case& c : cases) {
        const cv::RotatedRect r = rect_with_bounds(c.bounds.x, c.bounds.y, c.bounds.width, c.bounds.height);
        ASSERT_EQ(r.boundingRect(), c.bounds);
        const cv::Rect_<float> sentinel(-7, -7, -7, -7);
        cv::Rect_<float> out = sentinel;
        EXPECT_EQ(calcSafeRect(r, img, out), c.ok) << c.bounds;
        EXPECT_EQ(out, c.ok ? c.out : sentinel) << c.bounds;
    }
}

cv::Mat random_image(int rows, int cols) {
    cv::Mat img(rows, cols, CV_8UC3);
    cv::RNG rng(12345);
    rng.fill(img, cv::RNG::UNIFORM, 0, 256);
    return img;
}

double max_diff(const cv::Mat& a, const cv::Mat& b) { return cv::norm(a, b, cv::NORM_INF); }

TEST(CropRotateRect, LyingRectangleIsCutAsIs) {
    cv::Mat img = random_image(200, 200);
    cv::RotatedRect r(cv::Point2f(59.5f, 39.5f), cv::Size2f(100, 20), 0);
    const cv::Mat patch = cropRotateRect(img, r);
    ASSERT_EQ(patch.size(), cv::Size(100, 20));
    EXPECT_EQ(patch.type(), img.type());
    EXPECT_EQ(max_diff(patch, img(cv::Rect(10, 30, 100, 20))), 0.0);
}

TEST(CropRotateRect, StandingRectangleAndSquareAreTurnedToLie) {
    cv::Mat img = random_image(200, 200);
    // 20 wide, 100 high at angle 0: turned by 90 degrees, 100 x 20 patch.
    cv::RotatedRect standing(cv::Point2f(99.5f, 99.5f), cv::Size2f(20, 100), 0);
    const cv::Mat patch = cropRotateRect(img, standing);
    ASSERT_EQ(patch.size(), cv::Size(100, 20));
    cv::Mat expect;
    cv::rotate(img(cv::Rect(90, 50, 20, 100)), expect, cv::ROTATE_90_COUNTERCLOCKWISE);
    EXPECT_LE(max_diff(patch, expect), 1.0);

    // Equal sides take the turn as well.
    cv::RotatedRect square(cv::Point2f(99.5f, 99.5f), cv::Size2f(40, 40), 0);
    const cv::Mat sq = cropRotateRect(img, square);
    ASSERT_EQ(sq.size(), cv::Size(40, 40));
    cv::rotate(img(cv::Rect(80, 80, 40, 40)), expect, cv::ROTATE_90_COUNTERCLOCKWISE);
    EXPECT_LE(max_diff(sq, expect), 1.0);
    EXPECT_GT(max_diff(sq, img(cv::Rect(80, 80, 40, 40))), 10.0);

    // A standing rectangle at -80 degrees comes out as the lying one at +10.
    cv::RotatedRect tilted_standing(cv::Point2f(99.5f, 99.5f), cv::Size2f(20, 100), -80);
    cv::RotatedRect tilted_lying(cv::Point2f(99.5f, 99.5f), cv::Size2f(100, 20), 10);
    const cv::Mat p1 = cropRotateRect(img, tilted_standing);
    const cv::Mat p2 = cropRotateRect(img, tilted_lying);
    ASSERT_EQ(p1.size(), cv::Size(100, 20));
    EXPECT_EQ(max_diff(p1, p2), 0.0);
}

TEST(CropRotateRect, AreaOutsideTheImageIsGray200) {
    cv::Mat img(50, 50, CV_8UC3, cv::Scalar(0, 0, 0));
    cv::RotatedRect r(cv::Point2f(49.5f, 24.5f), cv::Size2f(40, 10), 0);
    const cv::Mat patch = cropRotateRect(img, r);
    ASSERT_EQ(patch.size(), cv::Size(40, 10));
    EXPECT_EQ(max_diff(patch.colRange(0, 20), cv::Mat(10, 20, CV_8UC3, cv::Scalar(0, 0, 0))), 0.0);
    EXPECT_EQ(max_diff(patch.colRange(20, 40), cv::Mat(10, 20, CV_8UC3, cv::Scalar(200, 200, 200))), 0.0);

    // Inside the frame but turned in from outside the source: a 100 x 40
    // image turned by 90 degrees about its centre covers only columns 30 to
    // 69 of the frame.
    cv::Mat wide(40, 100, CV_8UC3, cv::Scalar(0, 0, 0));
    cv::RotatedRect standing(cv::Point2f(49.5f, 19.5f), cv::Size2f(10, 60), 0);
    const cv::Mat turned = cropRotateRect(wide, standing);
    ASSERT_EQ(turned.size(), cv::Size(60, 10));
    const cv::Mat gray(10, 10, CV_8UC3, cv::Scalar(200, 200, 200));
    EXPECT_EQ(max_diff(turned.colRange(0, 10), gray), 0.0);
    EXPECT_EQ(max_diff(turned.colRange(10, 50), cv::Mat(10, 40, CV_8UC3, cv::Scalar(0, 0, 0))), 0.0);
    EXPECT_EQ(max_diff(turned.colRange(50, 60), gray), 0.0);

    // The source is only read.
    EXPECT_EQ(cv::countNonZero(img.reshape(1)), 0);
    EXPECT_EQ(r.angle, 0.0f);
    EXPECT_EQ(r.size, cv::Size2f(40, 10));
}

TEST(CropRotateRect, CentresFarOutsideOrNotANumberGiveAllGrayPatches) {
    // Framing the whole image out to such a centre would need terabytes (or
    // an int the centre does not fit); the patch is gray whatever the image.
    cv::Mat img = random_image(100, 100);
    const float centres[][2] = {{1e6f, 1e6f}, {-1e6f, 50}, {50, 3e9f}, {NAN, 50}, {50, INFINITY}};
    for (const auto& c : centres) {
        cv::RotatedRect r(cv::Point2f(c[0], c[1]), cv::Size2f(30, 10), 0);
        const cv::Mat patch = cropRotateRect(img, r);
        ASSERT_EQ(patch.size(), cv::Size(30, 10)) << c[0] << "," << c[1];
        ASSERT_EQ(patch.type(), img.type());
        EXPECT_EQ(max_diff(patch, cv::Mat(10, 30, CV_8UC3, cv::Scalar(200, 200, 200))), 0.0) << c[0] << "," << c[1];
    }

    // A patch reaching just past a corner: inside pixels kept, the rest gray.
    cv::RotatedRect corner(cv::Point2f(99.5f, 99.5f), cv::Size2f(20, 10), 0);
    const cv::Mat patch = cropRotateRect(img, corner);
    ASSERT_EQ(patch.size(), cv::Size(20, 10));
    EXPECT_EQ(max_diff(patch(cv::Rect(0, 0, 10, 5)), img(cv::Rect(90, 95, 10, 5))), 0.0);
    EXPECT_EQ(max_diff(patch(cv::Rect(10, 0, 10, 10)), cv::Mat(10, 10, CV_8UC3, cv::Scalar::all(200))), 0.0);
    EXPECT_EQ(max_diff(patch(cv::Rect(0, 5, 20, 5)), cv::Mat(5, 20, CV_8UC3, cv::Scalar::all(200))), 0.0);
}

}  // namespace
