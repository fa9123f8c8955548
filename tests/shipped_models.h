// Helpers for the tests on the shipped models (models/boxv3.p,
// models/ocrv4_cn.p, models/ocrv3_cn.txt): their directory, a printout of a
// request's records, and a fixture whose tests share one pipeline loaded
// from them. Header-only.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "crnn.h"
#include "test_support.h"
#include "utility.h"

namespace varnel_test {

inline std::string shipped_model_dir() { return std::string(VARNEL_SOURCE_DIR) + "/models"; }

// One line per record: image index, match flag, corners and text.
inline std::string describe(const std::vector<BOX_RESULT>& results) {
    std::string s;
    for (const BOX_RESULT& r : results) {
        char buf[160];
        snprintf(buf, sizeof buf, "  [%d] matched %d", r.imgid, r.matched);
        s += buf;
        for (const cv::Point& p : r.points) s += " (" + std::to_string(p.x) + "," + std::to_string(p.y) + ")";
        s += " '" + r.text + "'\n";
    }
    return s;
}

// The tests of a suite share one pipeline, made by init_crnn on the shipped
// models before the suite and removed after it. Every test fails, with the
// missing files named, when the models are not there, and when they did
// not load.
class ShippedModels : public testing::Test {
protected:
    static void SetUpTestSuite() {
        missing_.clear();
        init_code_ = -1;
        std::string dir = shipped_model_dir();
        for (const char* f : {"boxv3.p", "ocrv4_cn.p", "ocrv3_cn.txt"}) {
            if (!OCR::Utility::PathExists(dir + "/" + f)) missing_ += dir + "/" + f + " ";
        }
        if (!missing_.empty()) return;
        captured([&] { init_code_ = init_crnn(dir, "cpu", 0); });
    }
    static void TearDownTestSuite() {
        captured([] { uninit_crnn(); });
    }
    void SetUp() override {
        ASSERT_TRUE(missing_.empty()) << "trained models missing: " << missing_;
        ASSERT_EQ(init_code_, 0) << "init_crnn on " << shipped_model_dir() << " failed";
    }

    static inline std::string missing_;
    static inline int init_code_ = -1;
};

}  // namespace varnel_test
