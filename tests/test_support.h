// Helpers shared by the tests: standard output captured around a call, a
// substring test, and a white page with black bars. Header-only; includes no header of the library, so a
// test that declares the library's interface itself can use it too.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

namespace varnel_test {

// Everything `fn` writes to standard output; stdout is flushed before the
// capture ends, since zel_log does not flush.
inline std::string captured(const std::function<void()>& fn) {
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

inline bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

// A white 8-bit three-channel page of cols x rows with each rectangle
// filled black.
inline cv::Mat page(int cols, int rows, const std::vector<cv::Rect>& bars) {
    cv::Mat img(rows, cols, CV_8UC3, cv::Scalar::all(255));
    for (const cv::Rect& r : bars) img(r).setTo(cv::Scalar::all(0));
    return img;
}

}  // namespace varnel_test
