// Static helpers: dictionary reader, line cropping, argsort, channel
// conversion, diagnostic printing, path helpers, visualisation image.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "utility.h"

namespace {

using OCR::OCRPredictResult;
using OCR::Utility;

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/varnel-util-XXXXXX";
        if (mkdtemp(tmpl) != nullptr) path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string write(const std::string& name, const std::string& bytes) const {
        std::ofstream out(file(name), std::ios::binary);
        out << bytes;
        return file(name);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::vector<std::string> dict_of(const std::string& bytes) {
    TempDir dir;
    return Utility::ReadDict(dir.write("keys.txt", bytes));
}

// ------------------------------------------------------------ ReadDict

TEST(ReadDict, LinesGetBlankInFrontAndSpaceAtEnd) {
    const std::vector<std::string> want = {"#", "a", "b", "c", " "};
    EXPECT_EQ(dict_of("a\nb\nc\n"), want);
    EXPECT_EQ(dict_of("a\nb\nc"), want);  // no line feed after the last line
}

TEST(ReadDict, EntriesKeptExactlyAsTheyStand) {
    EXPECT_EQ(dict_of("a\n\nb\n"), (std::vector<std::string>{"#", "a", "", "b", " "}));
    EXPECT_EQ(dict_of("a\r\nb\r\n"), (std::vector<std::string>{"#", "a\r", "b\r", " "}));
    EXPECT_EQ(dict_of("\xEF\xBB\xBFx\ny\n"), (std::vector<std::string>{"#", "\xEF\xBB\xBFx", "y", " "}));
    EXPECT_EQ(dict_of(" z \n#\n \n"), (std::vector<std::string>{"#", " z ", "#", " ", " "}));
    EXPECT_EQ(dict_of("中\n文\n"), (std::vector<std::string>{"#", "中", "文", " "}));
}

TEST(ReadDict, EmptyFileAndLoneLineFeed) {
    EXPECT_EQ(dict_of(""), (std::vector<std::string>{"#", " "}));
    EXPECT_EQ(dict_of("\n"), (std::vector<std::string>{"#", "", " "}));
}

TEST(ReadDictDeathTest, MissingFileEndsProcessWithStatus1) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The message goes to standard output; the child sends that to its
    // standard error, which the death test matches.
    EXPECT_EXIT(
        {
            dup2(2, 1);
            Utility::ReadDict("/nonexistent-dir/keys.txt");
        },
        testing::ExitedWithCode(1), "no such label file: /nonexistent-dir/keys\\.txt, exit the program\\.\\.\\.\n");
}

// ------------------------------------------------------------ GetRotateCropImage

cv::Mat random_image(int rows, int cols, int type = CV_8UC3, int seed = 7) {
    cv::Mat img(rows, cols, type);
    cv::RNG rng(seed);
    rng.fill(img, cv::RNG::UNIFORM, 0, 256);
    return img;
}

using Box = std::vector<std::vector<int>>;

TEST(GetRotateCropImage, AxisAlignedBoxIsTheRegionWithoutLastRowAndColumn) {
    const cv::Mat src = random_image(20, 30);
    const cv::Mat before = src.clone();
    Box box = {{0, 0}, {9, 0}, {9, 4}, {0, 4}};
    const Box box_before = box;
    cv::Mat crop = Utility::GetRotateCropImage(src, box);
    ASSERT_EQ(crop.cols, 9);
    ASSERT_EQ(crop.rows, 4);
    EXPECT_EQ(crop.type(), src.type());
    EXPECT_EQ(cv::norm(crop, src(cv::Rect(0, 0, 9, 4)), cv::NORM_INF), 0.0);
    // Own pixels, caller's box and image untouched.
    EXPECT_NE(crop.data, src.data);
    EXPECT_EQ(box, box_before);
    EXPECT_EQ(cv::norm(src, before, cv::NORM_INF), 0.0);
}

TEST(GetRotateCropImage, OffsetBoxTakesItsOwnRegion) {
    const cv::Mat src = random_image(40, 50);
    cv::Mat crop = Utility::GetRotateCropImage(src, {{12, 7}, {32, 7}, {32, 17}, {12, 17}});
    ASSERT_EQ(crop.size(), cv::Size(20, 10));
    EXPECT_EQ(cv::norm(crop, src(cv::Rect(12, 7, 20, 10)), cv::NORM_INF), 0.0);
}

TEST(GetRotateCropImage, TallCropIsTurnedCounterClockwise) {
    const cv::Mat src = random_image(30, 10);
    cv::Mat crop = Utility::GetRotateCropImage(src, {{0, 0}, {4, 0}, {4, 19}, {0, 19}});
    // The warped image is columns 0..3, rows 0..18 of the source (4 x 19);
    // turned it is 4 rows high and 19 wide.
    ASSERT_EQ(crop.rows, 4);
    ASSERT_EQ(crop.cols, 19);
    const cv::Mat warped = src(cv::Rect(0, 0, 4, 19));
    for (int r = 0; r < warped.rows; ++r) {
        for (int c = 0; c < warped.cols; ++c) {
            ASSERT_EQ(crop.at<cv::Vec3b>(warped.cols - 1 - c, r), warped.at<cv::Vec3b>(r, c)) << r << "," << c;
        }
    }
    EXPECT_EQ(crop.at<cv::Vec3b>(0, 0), warped.at<cv::Vec3b>(0, 3));  // top-right becomes top-left
}

TEST(GetRotateCropImage, TurnsFromThreeTimesTheWidth) {
    const cv::Mat src = random_image(30, 30);
    cv::Mat equal = Utility::GetRotateCropImage(src, {{0, 0}, {5, 0}, {5, 15}, {0, 15}});
    EXPECT_EQ(equal.size(), cv::Size(15, 5));  // 15 >= 3 x 5: turned
    cv::Mat below = Utility::GetRotateCropImage(src, {{0, 0}, {5, 0}, {5, 14}, {0, 14}});
    EXPECT_EQ(below.size(), cv::Size(5, 14));  // not turned
}

TEST(GetRotateCropImage, EdgeLengthsAreTruncated) {
    const cv::Mat src = random_image(30, 30);
    // Top edge (0,0)-(2,3): 3.606 -> 3. Left edge (0,0)-(0,8): 8 (not turned).
    cv::Mat crop = Utility::GetRotateCropImage(src, {{0, 0}, {2, 3}, {5, 11}, {0, 8}});
    EXPECT_EQ(crop.cols, 3);
    EXPECT_EQ(crop.rows, 8);
    // (0,0)-(3,4): exactly 5.
    cv::Mat five = Utility::GetRotateCropImage(src, {{0, 0}, {3, 4}, {3, 14}, {0, 10}});
    EXPECT_EQ(five.cols, 5);
}

TEST(GetRotateCropImage, DegenerateAndOutsideBoxes) {
    const cv::Mat src = random_image(20, 20);
    // All corners on one row: no crop, never an image of the wrong size.
    cv::Mat flat = Utility::GetRotateCropImage(src, {{2, 5}, {12, 5}, {12, 5}, {2, 5}});
    EXPECT_TRUE(flat.empty());
    // All corners on one row or one column while the measured edges are
    // not zero (w 6 and h 8 here): nothing to warp from, no crop either.
    EXPECT_TRUE(Utility::GetRotateCropImage(src, {{0, 5}, {6, 5}, {6, 5}, {8, 5}}).empty());
    EXPECT_TRUE(Utility::GetRotateCropImage(src, {{5, 0}, {5, 6}, {5, 6}, {5, 8}}).empty());
    EXPECT_EQ(Utility::GetRotateCropImage(src, {{0, 5}, {6, 5}, {6, 5}, {8, 5}}).type(), src.type());
    // A box reaching outside the image is reported by the image library.
    EXPECT_THROW(Utility::GetRotateCropImage(src, {{10, 10}, {40, 10}, {40, 15}, {10, 15}}), cv::Exception);
    // Fewer than four corners, or a corner without both coordinates: no crop.
    EXPECT_TRUE(Utility::GetRotateCropImage(src, {{0, 0}, {9, 0}, {9, 4}}).empty());
    EXPECT_TRUE(Utility::GetRotateCropImage(src, {{0, 0}, {9, 0}, {9}, {0, 4}}).empty());
    EXPECT_TRUE(Utility::GetRotateCropImage(src, {}).empty());
    // Points after the fourth take no part.
    EXPECT_EQ(Utility::GetRotateCropImage(src, {{0, 0}, {9, 0}, {9, 4}, {0, 4}, {19, 19}}).size(), cv::Size(9, 4));
}

TEST(GetRotateCropImage, CropsBeyondTheWarpLimitAreCutInTiles) {
    // The image library warps only below 32767 pixels a side.
    const cv::Mat src = random_image(40, 40000);
    cv::Mat straight = Utility::GetRotateCropImage(src, {{100, 3}, {38100, 3}, {38100, 33}, {100, 33}});
    ASSERT_EQ(straight.size(), cv::Size(38000, 30));
    EXPECT_EQ(cv::norm(straight, src(cv::Rect(100, 3, 38000, 30)), cv::NORM_INF), 0.0);

    // A slanted box: sampled output pixels agree with bilinear sampling of
    // the source at the inversely mapped point.
    const Box box = {{100, 5}, {38100, 9}, {38100, 30}, {100, 26}};
    cv::Mat crop = Utility::GetRotateCropImage(src, box);
    ASSERT_EQ(crop.size(), cv::Size(38000, 21));
    const cv::Point2f from[4] = {{0, 0}, {38000, 4}, {38000, 25}, {0, 21}};  // box in region coordinates
    const cv::Point2f to[4] = {{0, 0}, {38000, 0}, {38000, 21}, {0, 21}};
    const cv::Mat inv = cv::getPerspectiveTransform(to, from);
    const cv::Mat region = src(cv::Rect(100, 5, 38000, 25));
    cv::RNG rng(3);
    int checked = 0;
    for (int i = 0; i < 400; ++i) {
        const int x = rng.uniform(0, crop.cols), y = rng.uniform(0, crop.rows);
        std::vector<cv::Point2f> p = {cv::Point2f(static_cast<float>(x), static_cast<float>(y))}, q;
        cv::perspectiveTransform(p, q, inv);
        const float u = q[0].x, v = q[0].y;
        const int u0 = static_cast<int>(std::floor(u)), v0 = static_cast<int>(std::floor(v));
        if (u0 < 0 || v0 < 0 || u0 + 1 >= region.cols || v0 + 1 >= region.rows) continue;
        const float fu = u - u0, fv = v - v0;
        for (int c = 0; c < 3; ++c) {
            const float want = (1 - fu) * (1 - fv) * region.at<cv::Vec3b>(v0, u0)[c] +
                               fu * (1 - fv) * region.at<cv::Vec3b>(v0, u0 + 1)[c] +
                               (1 - fu) * fv * region.at<cv::Vec3b>(v0 + 1, u0)[c] +
                               fu * fv * region.at<cv::Vec3b>(v0 + 1, u0 + 1)[c];
            ASSERT_NEAR(crop.at<cv::Vec3b>(y, x)[c], want, 8.0) << x << "," << y;
        }
        ++checked;
    }
    EXPECT_GT(checked, 300);
}

// ------------------------------------------------------------ argsort

TEST(Argsort, OrdersIndicesByValue) {
    EXPECT_EQ(Utility::argsort({0.5f, 0.2f, 0.9f}), (std::vector<int>{1, 0, 2}));
    EXPECT_TRUE(Utility::argsort({}).empty());
    std::vector<int> tie = Utility::argsort({1.0f, 1.0f});
    std::sort(tie.begin(), tie.end());
    EXPECT_EQ(tie, (std::vector<int>{0, 1}));
    EXPECT_EQ(Utility::argsort({3.f, -1.f, 2.f, 10.f, 0.f}), (std::vector<int>{1, 4, 2, 0, 3}));
}

TEST(Argmax, FirstMaximumWins) {
    const float v[] = {0.1f, 0.7f, 0.2f, 0.7f};
    EXPECT_EQ(Utility::argmax(v, v + 4), 1u);
    EXPECT_EQ(Utility::argmax(v, v), 0u);
}

// ------------------------------------------------------------ get_3channels_img

TEST(Get3ChannelsImg, FourChannelsBecomeInvertedAlpha) {
    cv::Mat img(1, 2, CV_8UC4);
    img.at<cv::Vec4b>(0, 0) = cv::Vec4b(10, 20, 30, 200);
    img.at<cv::Vec4b>(0, 1) = cv::Vec4b(1, 2, 3, 0);
    cv::Mat shared = img;  // another header over the same pixels
    Utility::get_3channels_img(img);
    ASSERT_EQ(img.type(), CV_8UC3);
    EXPECT_EQ(img.at<cv::Vec3b>(0, 0), cv::Vec3b(55, 55, 55));
    EXPECT_EQ(img.at<cv::Vec3b>(0, 1), cv::Vec3b(255, 255, 255));
    // The old pixels are not written.
    EXPECT_EQ(shared.type(), CV_8UC4);
    EXPECT_EQ(shared.at<cv::Vec4b>(0, 0), cv::Vec4b(10, 20, 30, 200));
}

TEST(Get3ChannelsImg, ConstantAlphaKeepsTheColourPlanes) {
    // Opaque everywhere (a page read with its alpha channel), and
    // transparent everywhere: the alpha plane carries no ink either way.
    for (const uchar alpha : {uchar(255), uchar(0), uchar(200)}) {
        cv::Mat img(2, 3, CV_8UC4);
        cv::randu(img, cv::Scalar::all(0), cv::Scalar::all(256));
        std::vector<cv::Mat> planes;
        cv::split(img, planes);
        planes[3].setTo(alpha);
        cv::merge(planes, img);
        cv::Mat want;
        cv::cvtColor(img, want, cv::COLOR_BGRA2BGR);
        cv::Mat shared = img;
        Utility::get_3channels_img(img);
        ASSERT_EQ(img.type(), CV_8UC3);
        EXPECT_EQ(cv::norm(img, want, cv::NORM_INF), 0.0) << int(alpha);
        EXPECT_EQ(shared.type(), CV_8UC4);
    }
    // One pixel of alpha 254 in an opaque page: the alpha carries ink.
    cv::Mat page(2, 2, CV_8UC4, cv::Scalar(10, 20, 30, 255));
    page.at<cv::Vec4b>(1, 1)[3] = 254;
    Utility::get_3channels_img(page);
    EXPECT_EQ(page.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 0));
    EXPECT_EQ(page.at<cv::Vec3b>(1, 1), cv::Vec3b(1, 1, 1));
    // No pixels: nothing to convert.
    cv::Mat empty(0, 0, CV_8UC4);
    Utility::get_3channels_img(empty);
    EXPECT_TRUE(empty.empty());
}

TEST(Get3ChannelsImg, GreyIsInvertedIntoThreeChannels) {
    cv::Mat img(1, 2, CV_8UC1);
    img.at<uchar>(0, 0) = 30;
    img.at<uchar>(0, 1) = 255;
    Utility::get_3channels_img(img);
    ASSERT_EQ(img.type(), CV_8UC3);
    EXPECT_EQ(img.at<cv::Vec3b>(0, 0), cv::Vec3b(225, 225, 225));
    EXPECT_EQ(img.at<cv::Vec3b>(0, 1), cv::Vec3b(0, 0, 0));
}

TEST(Get3ChannelsImg, OtherLayoutsUntouched) {
    cv::Mat three = random_image(3, 3);
    const uchar* data = three.data;
    Utility::get_3channels_img(three);
    EXPECT_EQ(three.data, data);
    cv::Mat two = random_image(3, 3, CV_8UC2);
    data = two.data;
    Utility::get_3channels_img(two);
    EXPECT_EQ(two.data, data);
    EXPECT_EQ(two.type(), CV_8UC2);
}

// ------------------------------------------------------------ print_result

std::string printed(const std::vector<OCRPredictResult>& results) {
    testing::internal::CaptureStdout();
    Utility::print_result(results);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

OCRPredictResult result(Box box, std::string text, float score, int cls_label = -1, float cls_score = 0.f) {
    OCRPredictResult r{};
    r.imgid = 0;
    r.box = std::move(box);
    r.text = std::move(text);
    r.score = score;
    r.cls_label = cls_label;
    r.cls_score = cls_score;
    return r;
}

TEST(PrintResult, Layout) {
    EXPECT_EQ(printed({}), "");
    EXPECT_EQ(printed({result({}, "", -1.0f)}), "0\t\n");
    EXPECT_EQ(printed({result({{1, 2}, {3, 4}, {5, 6}, {7, 8}}, "abc", 0.5f)}),
              "0\tdet boxes: [[1,2],[3,4],[5,6],[7,8]]  rec text: abc\n rec score: 0.5 \n");
    EXPECT_EQ(printed({result({}, "x", -1.0f), result({{0, 0}}, "y", 0.25f, 2, 0.125f)}),
              "0\t\n1\tdet boxes: [[0,0]]  rec text: y\n rec score: 0.25  cls label: 2 cls score: 0.125\n");
    // A NaN score prints; a coordinate a point lacks prints as 0.
    EXPECT_EQ(printed({result({{4}, {}}, "z", std::nanf(""))}),
              "0\tdet boxes: [[4,0],[0,0]]  rec text: z\n rec score: nan \n");
}

// ------------------------------------------------------------ path helpers

TEST(Basename, Table) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a/b/c.txt", "c.txt"}, {"a\\b", "b"}, {"a/b/", "b"}, {"/abc/", "abc"}, {"abc/", "abc"},
        {"abc", "abc"},         {"/", "/"},    {"a//", ""},   {"", ""},         {"x\\y\\", "y"},
    };
    for (const auto& c : cases) EXPECT_EQ(Utility::basename(c.first), c.second) << "path: " << c.first;
}

TEST(PathHelpers, ExistsAndCreate) {
    TempDir dir;
    EXPECT_TRUE(Utility::PathExists(dir.path()));
    EXPECT_FALSE(Utility::PathExists(dir.file("no/such")));
    const std::string sub = dir.file("sub");
    EXPECT_FALSE(Utility::PathExists(sub));
    Utility::CreateDir(sub);
    EXPECT_TRUE(Utility::PathExists(sub));
    Utility::CreateDir(sub);  // already there: nothing changes
    EXPECT_TRUE(std::filesystem::is_directory(sub));
    Utility::CreateDir(dir.file("a/b"));  // no parents are made
    EXPECT_FALSE(Utility::PathExists(dir.file("a")));
}

// ------------------------------------------------------------ VisualizeBboxes

int count_red(const cv::Mat& img) {
    int n = 0;
    for (int r = 0; r < img.rows; ++r)
        for (int c = 0; c < img.cols; ++c) {
            const cv::Vec3b p = img.at<cv::Vec3b>(r, c);
            if (p[2] > 200 && p[1] < 60 && p[0] < 60) ++n;
        }
    return n;
}

TEST(VisualizeBboxes, DrawsBoxesAndTextIntoFile) {
    TempDir dir;
    const cv::Mat src(120, 200, CV_8UC3, cv::Scalar::all(255));
    const cv::Mat before = src.clone();
    std::vector<OCRPredictResult> results = {result({{20, 30}, {150, 30}, {150, 60}, {20, 60}}, "A中", 0.9f),
                                             result({{10, 80}, {60, 80}, {60, 100}, {10, 100}}, "", 0.5f)};
    const std::string out = dir.file("vis.png");
    testing::internal::CaptureStdout();
    Utility::VisualizeBboxes(src, results, out);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "The detection visualized image saved in " + out + "\n");
    EXPECT_EQ(cv::norm(src, before, cv::NORM_INF), 0.0);

    cv::Mat vis = cv::imread(out);
    ASSERT_FALSE(vis.empty());
    ASSERT_EQ(vis.size(), src.size());
    // Red polygon edges, 2 pixels thick, on both boxes.
    const cv::Vec3b red(0, 0, 255);
    EXPECT_EQ(vis.at<cv::Vec3b>(45, 150), red);  // right edge of box 0
    EXPECT_EQ(vis.at<cv::Vec3b>(60, 85), red);   // bottom edge of box 0
    EXPECT_EQ(vis.at<cv::Vec3b>(100, 35), red);  // bottom edge of box 1
    EXPECT_EQ(vis.at<cv::Vec3b>(5, 5), cv::Vec3b(255, 255, 255));
    // The text of box 0 is drawn in red below its first corner (top-left
    // origin); box 1 has none, so inside it only its edges are red.
    EXPECT_GT(count_red(vis(cv::Rect(22, 32, 60, 24))), 10);
    EXPECT_EQ(count_red(vis(cv::Rect(13, 83, 44, 14))), 0);
}

TEST(VisualizeBboxes, EmptyListWritesPlainCopyAndUnwritablePathIsStillNamed) {
    TempDir dir;
    const cv::Mat src = random_image(16, 24);
    const std::string out = dir.file("plain.png");
    testing::internal::CaptureStdout();
    Utility::VisualizeBboxes(src, {}, out);
    const std::string bad = dir.file("missing-dir/x.png");
    Utility::VisualizeBboxes(src, {}, bad);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "The detection visualized image saved in " + out +
                                                          "\nThe detection visualized image saved in " + bad + "\n");
    cv::Mat back = cv::imread(out);
    ASSERT_FALSE(back.empty());
    EXPECT_EQ(cv::norm(back, src, cv::NORM_INF), 0.0);
    EXPECT_FALSE(Utility::PathExists(bad));
}

TEST(VisualizeBboxes, ShortBoxRunsToTheOrigin) {
    TempDir dir;
    const cv::Mat src(50, 50, CV_8UC3, cv::Scalar::all(255));
    const std::string out = dir.file("short.png");
    testing::internal::CaptureStdout();
    Utility::VisualizeBboxes(src, {result({{40, 40}, {40, 10}}, "", 1.f)}, out);
    fflush(stdout);
    testing::internal::GetCapturedStdout();
    cv::Mat vis = cv::imread(out);
    ASSERT_FALSE(vis.empty());
    EXPECT_EQ(vis.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 255));    // missing corners are (0, 0)
    EXPECT_EQ(vis.at<cv::Vec3b>(20, 20), cv::Vec3b(0, 0, 255));  // the edge (40,40)-(0,0)
}

}  // namespace
