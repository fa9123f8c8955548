// Logging: levels under the quiet switch, the log file (append, size cap,
// switching off and on, open errors), long messages and long paths; and the
// UTF-8 aware text cutting of the logging unit.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "model_dir.h"
#include "text_util.h"
#include "zel_log.h"

namespace {

using OCR::detail::utf8_cut;
using OCR::detail::utf8_prefix;

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Runs before any test of this program touches the switches (and each test
// runs in a process of its own under ctest).
TEST(ZelLogAtLoad, VerboseWithFileLoggingOff) {
    EXPECT_EQ(g_log_dummy, 0);
    EXPECT_EQ(g_log_file_dummy, 1);
    EXPECT_STREQ(g_log_file_name, "");
}

class ZelLog : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp_.ok());
        dir_ = tmp_.path();
        zel_set_log_dummy(0);
        zel_set_log_file(nullptr);
        memset(g_log_file_name, 0, sizeof(g_log_file_name));
    }
    void TearDown() override {
        zel_set_log_dummy(0);
        zel_set_log_file(nullptr);
    }

    void begin() { testing::internal::CaptureStdout(); }
    std::string end() {
        fflush(stdout);  // zel_log does not flush
        return testing::internal::GetCapturedStdout();
    }

    varnel_test::ModelDir tmp_;  // a fresh directory, removed with its files
    std::string dir_;
};

TEST_F(ZelLog, QuietSwitchKeepsOnlyLevelOne) {
    begin();
    zel_log(0, "zero %d", 0);
    zel_log(1, "one %s", "x");
    zel_log(2, "two");
    zel_log(-1, "minus");
    EXPECT_EQ(end(), "zero 0\none x\ntwo\nminus\n");

    zel_set_log_dummy(5);  // any non-zero value makes logging quiet
    EXPECT_EQ(g_log_dummy, 5);
    begin();
    zel_log(0, "zero");
    zel_log(1, "one");
    zel_log(2, "two");
    EXPECT_EQ(end(), "one\n");

    zel_set_log_dummy(0);
    begin();
    zel_log(2, "two again");
    EXPECT_EQ(end(), "two again\n");
}

TEST_F(ZelLog, LinesAreAppendedToTheLogFileAsPrinted) {
    const std::string path = dir_ + "/a.log";
    zel_set_log_file(path.c_str());
    EXPECT_EQ(g_log_file_dummy, 0);
    EXPECT_FALSE(exists(path));  // nothing is created until a line comes

    begin();
    zel_log(1, "%s", "abc");
    zel_log(0, "load model error!\n");  // ends in "\n": an empty line follows
    zel_log(0, "utf-8 %s", "批处理");
    const std::string printed = end();
    EXPECT_EQ(printed, "abc\nload model error!\n\nutf-8 批处理\n");
    EXPECT_EQ(slurp(path), printed);

    // Quiet: level-0 lines reach neither stdout nor the file.
    zel_set_log_dummy(1);
    begin();
    zel_log(0, "hidden");
    zel_log(1, "shown");
    EXPECT_EQ(end(), "shown\n");
    EXPECT_EQ(slurp(path), printed + "shown\n");
}

TEST_F(ZelLog, FileLoggingOffKeepsNameAndNewPathTurnsItOn) {
    const std::string a = dir_ + "/a.log", b = dir_ + "/b.log";
    zel_set_log_file(a.c_str());
    begin();
    zel_log(1, "first");
    zel_set_log_file(nullptr);
    EXPECT_EQ(g_log_file_dummy, 1);
    EXPECT_STREQ(g_log_file_name, a.c_str());
    zel_log(1, "second");
    zel_set_log_file(b.c_str());
    zel_log(1, "third");
    EXPECT_EQ(end(), "first\nsecond\nthird\n");
    EXPECT_EQ(slurp(a), "first\n");
    EXPECT_EQ(slurp(b), "third\n");
}

TEST_F(ZelLog, FileIsTruncatedOncePastTenMillionBytes) {
    const std::string path = dir_ + "/big.log";
    zel_set_log_file(path.c_str());

    FILE* fp = fopen(path.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    fclose(fp);
    ASSERT_EQ(truncate(path.c_str(), 10000000), 0);
    begin();
    zel_log(1, "kept");
    end();
    EXPECT_EQ(get_file_size(path.c_str()), 10000005u);  // exactly 10,000,000: appended

    ASSERT_EQ(truncate(path.c_str(), 10000001), 0);
    begin();
    zel_log(1, "fresh");
    end();
    EXPECT_EQ(slurp(path), "fresh\n");
}

TEST_F(ZelLog, UnopenableLogFile) {
    const std::string path = dir_ + "/no/such/dir/x.log";
    zel_set_log_file(path.c_str());
    begin();
    zel_log(1, "one");
    zel_log(0, "zero");
    EXPECT_EQ(end(), "one\nopen log file [" + path + "] error\nzero\nopen log file [" + path + "] error\n");

    zel_set_log_dummy(1);
    begin();
    zel_log(1, "one");
    zel_log(0, "zero");
    EXPECT_EQ(end(), "one\n");
}

TEST_F(ZelLog, FileSizeHelper) {
    EXPECT_EQ(get_file_size((dir_ + "/missing").c_str()), 0u);
    const std::string path = dir_ + "/a.log";
    FILE* fp = fopen(path.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    fputs("12345", fp);
    fclose(fp);
    EXPECT_EQ(get_file_size(path.c_str()), 5u);
    // g_log_file_name is empty: the open fails, nothing is written.
    begin();
    write_log_file("678\n");
    EXPECT_EQ(end(), "open log file [] error\n");
    EXPECT_EQ(get_file_size(path.c_str()), 5u);
}

TEST_F(ZelLog, LongMessagesAreCutToFitAtACharacterBoundary) {
    const std::string path = dir_ + "/a.log";
    zel_set_log_file(path.c_str());
    std::string expected_all;

    struct Case {
        std::string message, line;
    };
    const std::string a1022(1022, 'a'), a1021(1021, 'a'), a1020(1020, 'a');
    const Case cases[] = {
        {a1022, a1022},                          // fits exactly
        {a1022 + "b", a1022},                    // one byte too many
        {std::string(5000, 'z'), std::string(1022, 'z')},
        {a1021 + "é", a1021},                    // 2-byte char would straddle the cut
        {a1020 + "é", a1020 + "é"},              // 2-byte char ends exactly at the cut
        {a1020 + "批x", a1020},                  // 3-byte char straddles
        {a1021 + "😀", a1021},                   // 4-byte char straddles
        {std::string(1019, 'a') + "😀", std::string(1019, 'a')},
        {std::string(1018, 'a') + "😀" + "b", std::string(1018, 'a') + "😀"},
    };
    for (const Case& c : cases) {
        begin();
        zel_log(1, "%s", c.message.c_str());
        const std::string out = end();
        EXPECT_EQ(out, c.line + "\n") << "message of " << c.message.size() << " bytes";
        expected_all += out;
    }
    EXPECT_EQ(slurp(path), expected_all);
}

TEST_F(ZelLog, OverlongLogPathIsRefused) {
    const std::string good = dir_ + "/a.log";
    zel_set_log_file(good.c_str());

    std::string p199 = dir_ + "/";
    p199 += std::string(199 - p199.size(), 'p');
    std::string p200 = p199 + "q";
    ASSERT_EQ(p199.size(), 199u);

    // 200 characters: refused, settings unchanged, message on stdout only.
    zel_set_log_dummy(1);  // level 1: printed even while quiet
    begin();
    zel_set_log_file(p200.c_str());
    EXPECT_EQ(end(), "log file path too long: 200 characters\n");
    EXPECT_STREQ(g_log_file_name, good.c_str());
    EXPECT_EQ(g_log_file_dummy, 0);
    EXPECT_FALSE(exists(good));  // the refusal was not written to the log file

    // Refused while file logging is off: it stays off.
    zel_set_log_file(nullptr);
    const std::string p1000(1000, 'x');
    begin();
    zel_set_log_file(p1000.c_str());
    EXPECT_EQ(end(), "log file path too long: 1000 characters\n");
    EXPECT_EQ(g_log_file_dummy, 1);
    EXPECT_STREQ(g_log_file_name, good.c_str());

    // 199 characters fit.
    zel_set_log_file(p199.c_str());
    EXPECT_EQ(g_log_file_dummy, 0);
    EXPECT_STREQ(g_log_file_name, p199.c_str());
}

TEST_F(ZelLog, CurrentNameHandedBackIsKept) {
    // The source and the destination of the copy are the same buffer.
    const std::string path = "/" + dir_ + "/same.log";  // "//tmp/...": the same file as "/tmp/..."
    zel_set_log_file(path.c_str());
    zel_set_log_file(nullptr);
    zel_set_log_file(g_log_file_name);
    EXPECT_STREQ(g_log_file_name, path.c_str());
    EXPECT_EQ(g_log_file_dummy, 0);
    // A tail of the current name overlaps it as well.
    const std::string tail = path.substr(1);
    zel_set_log_file(g_log_file_name + 1);
    EXPECT_STREQ(g_log_file_name, tail.c_str());
    begin();
    zel_log(1, "still logging");
    end();
    EXPECT_EQ(slurp(tail), "still logging\n");
}

// ------------------------------------------------------------ utf8_prefix

TEST(Utf8Prefix, CutsOnCharacterBoundaries) {
    EXPECT_EQ(utf8_prefix("abc", 5), "abc");
    EXPECT_EQ(utf8_prefix("abcdef", 3), "abc");
    const std::string zh = "中文字";  // 3 bytes each
    EXPECT_EQ(utf8_prefix(zh, 9), zh);
    EXPECT_EQ(utf8_prefix(zh, 8), "中文");
    EXPECT_EQ(utf8_prefix(zh, 7), "中文");
    EXPECT_EQ(utf8_prefix(zh, 6), "中文");
    EXPECT_EQ(utf8_prefix(zh, 2), "");
    EXPECT_EQ(utf8_prefix(std::string("ab\0cd", 5), 10), "ab");
    // 300 bytes of three-byte characters cut to 255: 85 whole characters.
    std::string long_text;
    for (int i = 0; i < 100; ++i) long_text += "汉";
    EXPECT_EQ(utf8_prefix(long_text, 255).size(), 255u);
    EXPECT_EQ(utf8_prefix(long_text, 254).size(), 252u);
    // Bytes that are not UTF-8 keep the plain cut.
    EXPECT_EQ(utf8_prefix(std::string(10, '\x80'), 4).size(), 4u);
}

TEST(Utf8Cut, CutsAByteRangeReadingNoFurtherThanTheCut) {
    EXPECT_EQ(utf8_cut("abc", 3, 3), 3u);
    EXPECT_EQ(utf8_cut("abc", 3, 5), 3u);
    EXPECT_EQ(utf8_cut("ab\0cd", 5, 10), 5u);  // a NUL is an ordinary byte here
    // "a" and the first two of the three bytes of a character: a cut at 2
    // falls inside the character and moves back to its lead byte.
    const char held[] = {'a', '\xE4', '\xB8'};
    EXPECT_EQ(utf8_cut(held, 3, 2), 1u);
    EXPECT_EQ(utf8_cut(held, 3, 1), 1u);
}

}  // namespace
