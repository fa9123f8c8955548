// Debug drawing. The drawing tests show real windows: they need an X
// server. Run them under xvfb-run; without a DISPLAY the test starts its own
// Xvfb (when installed) for as long as it runs.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "draw.h"
#include "global.h"

namespace {

// Starts Xvfb on a free display number and points DISPLAY at it when no
// display is set; stops it at the end of the test program.
class XServer : public testing::Environment {
public:
    void SetUp() override {
        const char* d = getenv("DISPLAY");
        if (d != nullptr && d[0] != '\0') return;
        if (access("/usr/bin/Xvfb", X_OK) != 0) return;
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0",
                  "1024x768x24", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        char c;
        while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        close(fds[0]);
        if (!number.empty()) setenv("DISPLAY", (":" + number).c_str(), 1);
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

private:
    pid_t pid_ = -1;
};

const testing::Environment* const kXServer = testing::AddGlobalTestEnvironment(new XServer);

// Runs `fn` with DISPLAY unset and puts it back afterwards.
template <class Fn>
void without_display(Fn fn) {
    const char* d = getenv("DISPLAY");
    const std::string saved = d != nullptr ? d : "";
    unsetenv("DISPLAY");
    fn();
    if (!saved.empty()) setenv("DISPLAY", saved.c_str(), 1);
}

const cv::Vec3b kGreen(0, 255, 0), kRed(0, 0, 255), kWhite(255, 255, 255), kBackground(128, 128, 128);

BOX_RESULT record(std::vector<cv::Point> pts, std::string text, int matched) {
    BOX_RESULT r;
    r.imgid = 0;
    r.text = std::move(text);
    r.matched = matched;
    r.points = std::move(pts);
    return r;
}

std::vector<cv::Point> rect_points(int l, int t, int r, int b) {
    return {cv::Point(l, t), cv::Point(r, t), cv::Point(r, b), cv::Point(l, b)};
}

int count(const cv::Mat& img, const cv::Vec3b& colour, cv::Rect area = cv::Rect()) {
    if (area.area() == 0) area = cv::Rect(0, 0, img.cols, img.rows);
    int n = 0;
    for (int y = area.y; y < area.y + area.height; ++y)
        for (int x = area.x; x < area.x + area.width; ++x) n += img.at<cv::Vec3b>(y, x) == colour ? 1 : 0;
    return n;
}

int dark(const cv::Mat& img, cv::Rect area) {
    int n = 0;
    for (int y = area.y; y < area.y + area.height; ++y)
        for (int x = area.x; x < area.x + area.width; ++x) {
            const cv::Vec3b p = img.at<cv::Vec3b>(y, x);
            n += (p[0] < 80 && p[1] < 80 && p[2] < 80) ? 1 : 0;
        }
    return n;
}

class Draw : public testing::Test {
protected:
    void SetUp() override { setDebugShow(1); }
    void TearDown() override { setDebugShow(0); }
    cv::Mat img_ = cv::Mat(200, 320, CV_8UC3, cv::Scalar::all(128));
};

bool have_display() {
    const char* d = getenv("DISPLAY");
    return d != nullptr && d[0] != '\0';
}

TEST_F(Draw, EdgesAndLabelsLandInTheCallersImage) {
    ASSERT_TRUE(have_display()) << "no X server: run under xvfb-run or install Xvfb";
    std::vector<BOX_RESULT> results = {record(rect_points(40, 60, 200, 100), "AB中", 1),
                                       record(rect_points(40, 130, 200, 170), "x", 0),
                                       record(rect_points(220, 20, 300, 50), "skipped", -1),
                                       record(rect_points(220, 120, 300, 180), "other", 5)};
    const std::vector<BOX_RESULT> copy = results;
    ASSERT_NO_THROW(draw_box_result(img_, results));

    // Matched: green edges; unmatched and any other value: red; -1: nothing.
    EXPECT_EQ(img_.at<cv::Vec3b>(100, 120), kGreen);  // bottom edge
    EXPECT_EQ(img_.at<cv::Vec3b>(80, 200), kGreen);   // right edge
    EXPECT_EQ(img_.at<cv::Vec3b>(80, 40), kGreen);    // left edge
    EXPECT_EQ(img_.at<cv::Vec3b>(170, 120), kRed);
    EXPECT_EQ(img_.at<cv::Vec3b>(150, 300), kRed);
    EXPECT_EQ(count(img_, kGreen, cv::Rect(215, 15, 90, 40)), 0);
    EXPECT_EQ(count(img_, kRed, cv::Rect(215, 15, 90, 40)), 0);

    // White label with dark glyphs directly above the first corner.
    const cv::Rect above(40, 60 - 20, 60, 20);
    EXPECT_GT(count(img_, kWhite, above), 100);
    EXPECT_GT(dark(img_, above), 10);
    EXPECT_EQ(img_.at<cv::Vec3b>(59, 30), kBackground);  // left of the label
    EXPECT_EQ(img_.at<cv::Vec3b>(75, 120), kBackground);  // inside the box

    // The records are only read.
    ASSERT_EQ(results.size(), copy.size());
    for (size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i].text, copy[i].text);
        EXPECT_EQ(results[i].matched, copy[i].matched);
        EXPECT_EQ(results[i].points, copy[i].points);
    }
}

TEST_F(Draw, LabelsAreKeptInsideTopAndRight) {
    ASSERT_TRUE(have_display()) << "no X server: run under xvfb-run or install Xvfb";
    // First corner 3 rows below the top: the label starts at row 0 and
    // covers the corner. Near the right edge: the label ends on the last
    // column.
    std::vector<BOX_RESULT> results = {record(rect_points(20, 3, 120, 40), "TOP", 1),
                                       record(rect_points(300, 120, 318, 150), "RIGHT", 1)};
    draw_box_result(img_, results);
    EXPECT_GT(count(img_, kWhite, cv::Rect(20, 0, 30, 3)), 30);
    EXPECT_NE(img_.at<cv::Vec3b>(3, 20), kGreen);  // the corner is under the label
    const cv::Rect right_edge(img_.cols - 1, 100, 1, 20);
    EXPECT_GT(count(img_, kWhite, right_edge) + dark(img_, right_edge), 5);
}

TEST_F(Draw, EmptyTextDrawsEdgesOnly) {
    ASSERT_TRUE(have_display()) << "no X server: run under xvfb-run or install Xvfb";
    std::vector<BOX_RESULT> results = {record(rect_points(60, 80, 200, 120), "", 0)};
    draw_box_result(img_, results);
    EXPECT_EQ(img_.at<cv::Vec3b>(120, 100), kRed);
    EXPECT_EQ(count(img_, kWhite), 0);
}

TEST_F(Draw, LongTextAndShortRecordsDoNotBreakTheDrawing) {
    ASSERT_TRUE(have_display()) << "no X server: run under xvfb-run or install Xvfb";
    std::string long_text;
    for (int i = 0; i < 200; ++i) long_text += "汉";  // 600 bytes: the label keeps 85 characters
    std::vector<BOX_RESULT> results = {record(rect_points(10, 100, 300, 140), long_text, 1),
                                       record({cv::Point(1, 1), cv::Point(5, 5)}, "two points", 1)};
    EXPECT_NO_THROW(draw_box_result(img_, results));
    EXPECT_EQ(img_.at<cv::Vec3b>(140, 150), kGreen);
    EXPECT_GT(count(img_, kWhite, cv::Rect(0, 80, 320, 20)), 1000);  // the label spans the width
}

TEST_F(Draw, TextBoxIsDrawnOnACopy) {
    ASSERT_TRUE(have_display()) << "no X server: run under xvfb-run or install Xvfb";
    const cv::Mat before = img_.clone();
    CvRect rect;
    rect.x = 10;
    rect.y = 10;
    rect.width = 50;
    rect.height = 30;
    EXPECT_NO_THROW(draw_text_box(img_, rect));
    rect.width = 0;
    EXPECT_NO_THROW(draw_text_box(img_, rect));
    EXPECT_EQ(cv::norm(img_, before, cv::NORM_INF), 0.0);
    EXPECT_EQ(rect.x, 10);
    EXPECT_EQ(rect.height, 30);
}

TEST_F(Draw, SwitchOffDoesNothing) {
    const cv::Mat before = img_.clone();
    std::vector<BOX_RESULT> results = {record(rect_points(40, 60, 200, 100), "AB", 1)};
    CvRect rect;
    rect.x = rect.y = 1;
    rect.width = rect.height = 10;
    for (int v : {0, 2, -1}) {
        setDebugShow(v);
        without_display([&] {
            EXPECT_NO_THROW(draw_box_result(img_, results));
            EXPECT_NO_THROW(draw_text_box(img_, rect));
        });
    }
    EXPECT_EQ(cv::norm(img_, before, cv::NORM_INF), 0.0);
}

TEST_F(Draw, NoDisplayIsReportedAfterDrawing) {
    std::vector<BOX_RESULT> results = {record(rect_points(40, 60, 200, 100), "AB", 1)};
    without_display([&] {
        try {
            draw_box_result(img_, results);
            ADD_FAILURE() << "no exception without a display";
        } catch (const cv::Exception& e) {
            EXPECT_NE(std::string(e.what()).find("cannot show window \"boxes\": DISPLAY is not set"),
                      std::string::npos)
                << e.what();
        }
        CvRect rect;
        rect.x = rect.y = 1;
        rect.width = rect.height = 10;
        const cv::Mat before = img_.clone();
        try {
            draw_text_box(img_, rect);
            ADD_FAILURE() << "no exception without a display";
        } catch (const cv::Exception& e) {
            EXPECT_NE(std::string(e.what()).find("\"textbox\""), std::string::npos) << e.what();
        }
        EXPECT_EQ(cv::norm(img_, before, cv::NORM_INF), 0.0);
    });
    // The drawing was made before the report.
    EXPECT_EQ(img_.at<cv::Vec3b>(100, 120), kGreen);
    EXPECT_GT(count(img_, kWhite, cv::Rect(40, 40, 40, 20)), 50);
}

TEST_F(Draw, UnreachableDisplayIsReported) {
    const char* d = getenv("DISPLAY");
    const std::string saved = d != nullptr ? d : "";
    setenv("DISPLAY", ":4711", 1);  // no server there
    std::vector<BOX_RESULT> results;
    EXPECT_THROW(draw_box_result(img_, results), cv::Exception);
    if (saved.empty()) {
        unsetenv("DISPLAY");
    } else {
        setenv("DISPLAY", saved.c_str(), 1);
    }
}

TEST_F(Draw, ImageThatCannotTakeTextRaisesAfterTheEdges) {
    cv::Mat grey(100, 200, CV_8UC1, cv::Scalar(128));
    std::vector<BOX_RESULT> results = {record(rect_points(20, 40, 150, 80), "AB", 1)};
    EXPECT_THROW(draw_box_result(grey, results), cv::Exception);
    EXPECT_EQ(grey.at<uchar>(80, 80), 0);  // the bottom edge, in the colour's first component
}

}  // namespace
